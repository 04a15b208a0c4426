// Locating a value among a knot sequence, shared by the piecewise-linear curve and the 2-D table.
#pragma once

#include <cstddef>

#include "numeric.hpp"

namespace mirelon::transform {

// Holds v to [knots[0], knots[m-1]]: the maximum with the first knot first, then the minimum with
// the last one, both ignoring NaN (a NaN query lands on the first knot when the knots ascend).
template <typename T>
inline T knot_clamp(const T* knots, size_t m, T v) {
  return min_ignoring_nan(max_ignoring_nan(v, knots[0]), knots[m - 1]);
}

// Bisection for the interval [knots[i], knots[i+1]] holding c, 0 <= i <= m - 2 (m >= 2). A value
// on an interior knot gets the interval to its right; an unordered comparison (NaN) moves left.
// Written with selects rather than branches: the outcome of each step is unpredictable.
template <typename T>
inline size_t knot_search(const T* knots, size_t m, T c) {
  size_t lo = 0;
  size_t hi = m - 1;
  while (hi - lo >= 2) {
    const size_t mid = lo + (hi - lo) / 2;
    const bool right = c >= knots[mid];
    lo = right ? mid : lo;
    hi = right ? hi : mid;
  }
  return lo;
}

// Guard added to a knot spacing so that a zero-width interval never divides by zero. In 32-bit
// this is the single-precision value nearest to 1e-12.
template <typename T>
inline constexpr T kSpacingGuard = static_cast<T>(1e-12);

}  // namespace mirelon::transform
