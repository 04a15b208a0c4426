#include "handlers.hpp"

#include <exception>
#include <new>
#include <string>

#include "frame.hpp"
#include "targets.hpp"

namespace mirelon {
namespace {

// Most inputs or outputs of any target; the entries decode into records of this many on the
// stack, so a call allocates nothing before its kernel runs.
constexpr size_t kMaxOperands = 8;
#define MIRELON_FITS(kernel, n_in, n_out) \
  static_assert((n_in) <= kMaxOperands && (n_out) <= kMaxOperands, #kernel);
MIRELON_FOR_EACH_TARGET(MIRELON_FITS)
#undef MIRELON_FITS

xla::XLA_FFI_Error* run_checked(const xla::XLA_FFI_CallFrame* frame, std::string_view name,
                                size_t n_in, size_t n_out, KernelFn k64, KernelFn k32) {
  if (!is_execute_call(frame)) return nullptr;
  const size_t got_in = operand_count(frame->args.size);
  const size_t got_out = operand_count(frame->rets.size);
  if (got_in != n_in || got_out != n_out) {
    return make_ffi_error(frame, message(name, ": expected ", n_in, " inputs / ", n_out,
                                         " outputs, got ", got_in, " / ", got_out));
  }
  KernelBuffer args[kMaxOperands];
  KernelBuffer rets[kMaxOperands];
  const KernelBuffer* refs[2 * kMaxOperands];
  for (size_t i = 0; i < n_in; ++i) {
    decode_buffer(frame->args.args[i], args[i]);
    refs[i] = &args[i];
  }
  for (size_t i = 0; i < n_out; ++i) {
    decode_buffer(frame->rets.rets[i], rets[i]);
    refs[n_in + i] = &rets[i];
  }
  DType dtype;
  std::string error;
  if (!check_uniform_dtype(std::span(refs, n_in + n_out), dtype, error))
    return make_ffi_error(frame, error);
  const size_t element_size = dtype == DType::F64 ? sizeof(double) : sizeof(float);
  for (size_t i = 0; i < n_in + n_out; ++i) {
    const char* excess = extents_overflow(refs[i]->dims) ? " multiply to more elements than 64 bits can count"
                         : bytes_exceed_one_buffer(*refs[i], element_size)
                             ? " multiply to more bytes than one buffer can hold"
                             : nullptr;
    if (excess != nullptr) {
      return make_ffi_error(frame, message(name, ": the extents of ", i < n_in ? "input " : "output ",
                                           i < n_in ? i : i - n_in, excess));
    }
  }
  KernelResult result;
  (dtype == DType::F64 ? k64 : k32)(result, args, n_in, rets, n_out);
  return result.ok ? nullptr : make_ffi_error(frame, result.message);
}

// The generic entry: no exception leaves it. The fallback texts are literals, so reporting a
// failure needs no allocation even when memory has run out.
xla::XLA_FFI_Error* run_entry(xla::XLA_FFI_CallFrame* frame, std::string_view name, size_t n_in,
                              size_t n_out, KernelFn k64, KernelFn k32) noexcept {
  try {
    return run_checked(frame, name, n_in, n_out, k64, k32);
  } catch (const std::bad_alloc&) {
    return create_ffi_error(frame, "mirelon kernel error: out of memory");
  } catch (const std::exception& e) {
    try {
      return make_ffi_error(frame, message(name, ": internal error: ", e.what()));
    } catch (...) {
      return create_ffi_error(frame, "mirelon kernel error");
    }
  } catch (...) {
    return create_ffi_error(frame, "mirelon kernel error");
  }
}

#define MIRELON_ENTRY(kernel, n_in, n_out)                                               \
  xla::XLA_FFI_Error* entry_##kernel(xla::XLA_FFI_CallFrame* frame) {                   \
    return run_entry(frame, "mirelon_" #kernel, n_in, n_out, &kernel<double>, &kernel<float>); \
  }
MIRELON_FOR_EACH_TARGET(MIRELON_ENTRY)
#undef MIRELON_ENTRY

}  // namespace

#define MIRELON_ROW(kernel, n_in, n_out) \
  TargetRow{"mirelon_" #kernel, sizeof("mirelon_" #kernel) - 1, &entry_##kernel},
const TargetRow kTargetTable[kTargetCount] = {MIRELON_FOR_EACH_TARGET(MIRELON_ROW)};
#undef MIRELON_ROW

}  // namespace mirelon
