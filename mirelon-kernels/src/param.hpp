// A parameter operand that holds one value for every element or one value per element, and the
// gradient output of such a parameter, which sums into its single element when it holds one.
// The density, transform and multivariate kernels all read their [1|n] parameters through these.
#pragma once

#include <cstddef>

#include "kernel.hpp"
#include "numeric.hpp"

namespace mirelon {

// One value (stride 0, read for every element) or one per element (stride 1).
template <typename T>
struct Param {
  const T* data = nullptr;
  size_t count = 0;
  size_t stride = 1;

  static Param of(const KernelBuffer& b) {
    const size_t n = element_count(b);
    return {static_cast<const T*>(b.data), n, n == 1 ? size_t{0} : size_t{1}};
  }
  bool broadcast() const { return stride == 0; }
  T operator[](size_t i) const { return stride == 0 ? data[0] : data[i]; }
  // Whether the parameter can serve n elements under `rule` (one_or_exactly or one_or_at_least).
  bool covers(size_t n, LengthRule rule) const { return length_follows(count, n, rule); }
};

// The gradient of a Param: slot i is element i, or element 0 (the sum over every element) when
// the output holds one value. Callers zero-fill it first and add into slots in increasing i.
template <typename T>
struct ParamGrad {
  T* data = nullptr;
  size_t count = 0;
  size_t stride = 1;

  static ParamGrad of(const KernelBuffer& b) {
    const size_t n = element_count(b);
    return {static_cast<T*>(b.data), n, n == 1 ? size_t{0} : size_t{1}};
  }
  bool summed() const { return stride == 0; }
  T& operator[](size_t i) const { return stride == 0 ? data[0] : data[i]; }
};

}  // namespace mirelon
