#include "handlers.hpp"

#include <exception>
#include <new>
#include <string>

#include "frame.hpp"
#include "targets.hpp"

namespace mirelon {
namespace {

xla::XLA_FFI_Error* run_checked(const xla::XLA_FFI_CallFrame* frame, std::string_view name,
                                size_t n_in, size_t n_out, KernelFn k64, KernelFn k32) {
  std::optional<DecodedCall> call = decode_call_frame(frame);
  if (!call) return nullptr;
  if (call->args.size() != n_in || call->rets.size() != n_out) {
    return make_ffi_error(frame, message(name, ": expected ", n_in, " inputs / ", n_out,
                                         " outputs, got ", call->args.size(), " / ",
                                         call->rets.size()));
  }
  DType dtype;
  std::string error;
  if (!check_uniform_dtype(buffer_refs(call->args, call->rets), dtype, error))
    return make_ffi_error(frame, error);
  KernelResult result;
  (dtype == DType::F64 ? k64 : k32)(result, call->args.data(), n_in, call->rets.data(), n_out);
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
