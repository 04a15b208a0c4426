// Locating a value among a knot sequence, shared by the piecewise-linear curve and the 2-D table.
// The helpers are always inlined: they sit in the inner loops of the pool bodies.
#pragma once

#include <cstddef>

#include "numeric.hpp"

namespace mirelon::transform {

// Holds v to [knots[0], knots[m-1]]: the maximum with the first knot first, then the minimum with
// the last one, both ignoring NaN (a NaN query lands on the first knot when the knots ascend).
template <typename T>
[[gnu::always_inline]] inline T knot_clamp(const T* knots, size_t m, T v) {
  return min_ignoring_nan(max_ignoring_nan(v, knots[0]), knots[m - 1]);
}

// Number of bisection steps that locate a value among m >= 2 knots: the interval length
// (hi - lo) starts at m - 1 and is at most halved, rounding up, by each step.
inline size_t knot_search_steps(size_t m) {
  size_t steps = 0;
  for (size_t len = m - 1; len >= 2; len -= len / 2) ++steps;
  return steps;
}

// Bisection for the interval [knots[i], knots[i+1]] holding c, 0 <= i <= m - 2 (m >= 2): lo = 0,
// hi = m - 1; while hi - lo >= 2, mid = floor((lo + hi) / 2) and lo = mid when c >= knots[mid],
// hi = mid otherwise (also when the comparison is unordered, NaN). A value on an interior knot
// gets the interval to its right.
//
// Kept as (lo, len = hi - lo) so that mid = lo + len / 2, and run for the fixed `steps` of
// knot_search_steps: once len < 2 a further step probes knots[lo] and leaves lo unchanged, so the
// extra steps do not alter the result. With a fixed trip count and masks instead of branches the
// loop has no unpredictable jumps, and successive queries overlap in the pipeline.
template <typename T>
[[gnu::always_inline]] inline size_t knot_search(const T* knots, size_t m, size_t steps, T c) {
  size_t lo = 0;
  size_t len = m - 1;
  for (size_t s = 0; s < steps; ++s) {
    const size_t half = len / 2;
    const size_t right = -static_cast<size_t>(c >= knots[lo + half]);  // all ones or zero
    lo += half & right;
    len = half + ((len & 1) & right);  // len - half when moving right, half otherwise
  }
  return lo;
}

// The same search for W values at once, the lanes stepping in lockstep: each lane's steps form a
// chain of dependent loads, and interleaving W independent chains keeps the loads in flight
// together. lo[w] receives the interval of c[w], exactly as knot_search would give it.
template <size_t W, typename T>
[[gnu::always_inline]] inline void knot_search_lanes(const T* knots, size_t m, size_t steps,
                                                    const T* c, size_t* lo) {
  size_t len[W];
  for (size_t w = 0; w < W; ++w) {
    lo[w] = 0;
    len[w] = m - 1;
  }
  for (size_t s = 0; s < steps; ++s) {
    for (size_t w = 0; w < W; ++w) {
      const size_t half = len[w] / 2;
      const size_t right = -static_cast<size_t>(c[w] >= knots[lo[w] + half]);
      lo[w] += half & right;
      len[w] = half + ((len[w] & 1) & right);
    }
  }
}

// Guard added to a knot spacing so that a zero-width interval never divides by zero. In 32-bit
// this is the single-precision value nearest to 1e-12.
template <typename T>
inline constexpr T kSpacingGuard = static_cast<T>(1e-12);

// Interval of v among knots[0..m-1] (m >= 2) and the fraction across it: the clamped value
// located by bisection, the fraction taken over the guarded spacing (just under 1 at the last
// knot). `steps` is knot_search_steps(m), formed once per call.
template <typename T>
struct Located {
  size_t index;
  T fraction;
};

template <typename T>
[[gnu::always_inline]] inline Located<T> knot_interval(const T* knots, size_t m, size_t steps,
                                                      T v) {
  const T c = knot_clamp(knots, m, v);
  const size_t i = knot_search(knots, m, steps, c);
  const T f = (c - knots[i]) / ((knots[i + 1] - knots[i]) + kSpacingGuard<T>);
  return {i, f};
}

// knot_interval for W values at once, the bisections interleaved (see knot_search_lanes).
template <size_t W, typename T>
[[gnu::always_inline]] inline void knot_interval_lanes(const T* knots, size_t m, size_t steps,
                                                      const T* v, size_t* index, T* fraction) {
  T c[W];
  for (size_t w = 0; w < W; ++w) c[w] = knot_clamp(knots, m, v[w]);
  knot_search_lanes<W>(knots, m, steps, c, index);
  for (size_t w = 0; w < W; ++w) {
    const size_t i = index[w];
    fraction[w] = (c[w] - knots[i]) / ((knots[i + 1] - knots[i]) + kSpacingGuard<T>);
  }
}

// Queries are located in blocks of this many; the remainder one by one.
constexpr size_t kKnotLanes = 8;

}  // namespace mirelon::transform
