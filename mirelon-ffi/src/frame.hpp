// Decoding of the XLA FFI call frame into operand records, the answer to XLA's metadata query,
// the common element-type check and the error return through the frame's API table.
#pragma once

#include <optional>
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

// Answers a metadata query (API version 0.3, no traits) before reading anything else, and
// returns nothing-to-do for it and for every stage but execute. Never fails.
std::optional<DecodedCall> decode_call_frame(const xla::XLA_FFI_CallFrame* frame);

// One record per XLA_FFI_Buffer pointer, in array order; a negative count reads as 0.
std::vector<KernelBuffer> collect_buffers(void* const* pointers, int64_t count);

// All args, then all rets.
std::vector<const KernelBuffer*> buffer_refs(const std::vector<KernelBuffer>& args,
                                             const std::vector<KernelBuffer>& rets);

// The common element type of the referenced records, or the message of the first failure.
bool check_uniform_dtype(const std::vector<const KernelBuffer*>& refs, DType& dtype,
                         std::string& error);

// An INVALID_ARGUMENT error for a NUL-terminated text, created through the frame's API table;
// allocates nothing on our side.
xla::XLA_FFI_Error* create_ffi_error(const xla::XLA_FFI_CallFrame* frame,
                                     const char* text) noexcept;

// An INVALID_ARGUMENT error created through the frame's API table. A message holding a NUL byte
// is replaced whole by "mirelon kernel error".
xla::XLA_FFI_Error* make_ffi_error(const xla::XLA_FFI_CallFrame* frame, std::string_view message);

}  // namespace mirelon
