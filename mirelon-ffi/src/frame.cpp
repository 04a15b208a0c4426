#include "frame.hpp"

#include <cstring>
#include <memory>

namespace mirelon {

bool is_execute_call(const xla::XLA_FFI_CallFrame* frame) {
  for (const xla::XLA_FFI_Extension_Base* ext = frame->extension_start; ext != nullptr;
       ext = ext->next) {
    if (ext->type != xla::XLA_FFI_Extension_Metadata) continue;
    auto* md = reinterpret_cast<const xla::XLA_FFI_Metadata_Extension*>(ext)->metadata;
    if (md != nullptr) {
      md->api_version.major_version = 0;
      md->api_version.minor_version = 3;
      md->traits = 0;
    }
    return false;
  }
  return frame->stage == xla::XLA_FFI_ExecutionStage_EXECUTE;
}

size_t operand_count(int64_t size) { return size <= 0 ? 0 : static_cast<size_t>(size); }

void decode_buffer(const void* pointer, KernelBuffer& out) {
  const auto* b = static_cast<const xla::XLA_FFI_Buffer*>(pointer);
  if (b->rank > 0) {
    out.dims.assign(b->dims, b->dims + b->rank);
  } else {
    out.dims.assign(nullptr, nullptr);
  }
  out.data = b->data;
  out.dtype = b->dtype;
}

std::optional<DecodedCall> decode_call_frame(const xla::XLA_FFI_CallFrame* frame) {
  if (!is_execute_call(frame)) return std::nullopt;
  DecodedCall call;
  call.args = collect_buffers(frame->args.args, frame->args.size);
  call.rets = collect_buffers(frame->rets.rets, frame->rets.size);
  return call;
}

std::vector<KernelBuffer> collect_buffers(void* const* pointers, int64_t count) {
  std::vector<KernelBuffer> out(operand_count(count));
  for (size_t i = 0; i < out.size(); ++i) decode_buffer(pointers[i], out[i]);
  return out;
}

std::vector<const KernelBuffer*> buffer_refs(const std::vector<KernelBuffer>& args,
                                             const std::vector<KernelBuffer>& rets) {
  std::vector<const KernelBuffer*> refs;
  refs.reserve(args.size() + rets.size());
  for (const auto& b : args) refs.push_back(&b);
  for (const auto& b : rets) refs.push_back(&b);
  return refs;
}

namespace {
bool supported(int32_t code) { return static_cast<uint32_t>(code) - 11u <= 1u; }
}  // namespace

bool check_uniform_dtype(std::span<const KernelBuffer* const> refs, DType& dtype,
                         std::string& error) {
  if (refs.empty()) {
    error = "kernel called with no buffers";
    return false;
  }
  const int32_t first = refs[0]->dtype;
  if (!supported(first)) {
    error = message("unsupported buffer dtype ", first);
    return false;
  }
  for (size_t i = 1; i < refs.size(); ++i) {
    const int32_t code = refs[i]->dtype;
    if (!supported(code)) {
      error = message("unsupported buffer dtype ", code);
      return false;
    }
    if (code != first) {
      error = message("mixed buffer dtypes (", first, " vs ", code,
                      "); all mirelon kernel operands must match");
      return false;
    }
  }
  dtype = static_cast<DType>(first);
  return true;
}

xla::XLA_FFI_Error* create_ffi_error(const xla::XLA_FFI_CallFrame* frame,
                                     const char* text) noexcept {
  xla::XLA_FFI_Error_Create_Args args{};
  args.struct_size = sizeof(xla::XLA_FFI_Error_Create_Args);
  args.extension_start = nullptr;
  args.message = text;
  args.errc = xla::XLA_FFI_Error_Code_INVALID_ARGUMENT;
  return xla::error_create_of(frame->api)(&args);
}

xla::XLA_FFI_Error* make_ffi_error(const xla::XLA_FFI_CallFrame* frame, std::string_view text) {
  static constexpr std::string_view kSubstitute = "mirelon kernel error";
  if (text.find('\0') != std::string_view::npos) text = kSubstitute;
  const std::string copy(text);  // NUL-terminated for the duration of the call
  return create_ffi_error(frame, copy.c_str());
}

}  // namespace mirelon
