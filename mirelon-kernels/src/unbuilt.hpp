// A kernel that is not part of this build: it answers with an error naming its target, after
// the entry has checked the operand counts and the element type.
#pragma once

#include "targets.hpp"

#define MIRELON_UNBUILT(name)                                                            \
  template <typename T>                                                                  \
  void name(KernelResult& result, const KernelBuffer*, size_t, const KernelBuffer*, size_t) { \
    result.fail("mirelon_" #name ": kernel not built");                                 \
  }                                                                                      \
  MIRELON_INSTANTIATE_KERNEL(name)
