// Decoding of the XLA FFI call frame into operand records, the answer to XLA's metadata query,
// the common element-type check and the error return through the frame's API table.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kernel.hpp"
#include "xla_ffi.hpp"

namespace mirelon {

// The operands of an execute-stage call; empty (nullopt) when there is nothing to do.
struct DecodedCall {
  std::vector<KernelBuffer> args;
  std::vector<KernelBuffer> rets;
};

// Answers a metadata query (API version 0.3, no traits) before reading anything else. True for an
// execute-stage call that has operands to decode, false when there is nothing to do: a metadata
// query or any other stage. Never fails.
bool is_execute_call(const xla::XLA_FFI_CallFrame* frame);

// The number of operands an XLA_FFI_Args or XLA_FFI_Rets size announces; negative reads as 0.
size_t operand_count(int64_t size);

// Copies the XLA_FFI_Buffer at `pointer` into `out` (its extents are copied, its data stays).
void decode_buffer(const void* pointer, KernelBuffer& out);

// is_execute_call, then every operand decoded in frame order. Allocates; the handler entries
// decode into records of their own instead.
std::optional<DecodedCall> decode_call_frame(const xla::XLA_FFI_CallFrame* frame);

// One record per XLA_FFI_Buffer pointer, in array order; a negative count reads as 0.
std::vector<KernelBuffer> collect_buffers(void* const* pointers, int64_t count);

// All args, then all rets.
std::vector<const KernelBuffer*> buffer_refs(const std::vector<KernelBuffer>& args,
                                             const std::vector<KernelBuffer>& rets);

// The common element type of the referenced records, or the message of the first failure.
bool check_uniform_dtype(std::span<const KernelBuffer* const> refs, DType& dtype,
                         std::string& error);

// An INVALID_ARGUMENT error for a NUL-terminated text, created through the frame's API table;
// allocates nothing on our side.
xla::XLA_FFI_Error* create_ffi_error(const xla::XLA_FFI_CallFrame* frame,
                                     const char* text) noexcept;

// An INVALID_ARGUMENT error created through the frame's API table. A message holding a NUL byte
// is replaced whole by "mirelon kernel error".
xla::XLA_FFI_Error* make_ffi_error(const xla::XLA_FFI_CallFrame* frame, std::string_view message);

}  // namespace mirelon
