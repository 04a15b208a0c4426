// The FFI target table: the 108 targets in their fixed order, each with its handler entry.
#pragma once

#include <cstddef>
#include <string_view>

#include "xla_ffi.hpp"

namespace mirelon {

struct TargetRow {
  const char* name;  // not NUL-terminated for readers: use name_len
  size_t name_len;
  xla::XLA_FFI_Handler* handler;

  std::string_view name_view() const { return {name, name_len}; }
};

inline constexpr size_t kTargetCount = 108;

extern const TargetRow kTargetTable[kTargetCount];

}  // namespace mirelon
