// Per-segment arithmetic shared by the closest-segment and polygon signed-distance kernels: the
// clamped position of a query's foot on a segment, the even-odd crossing parity of a ring, and
// the checks of the residual inputs that their gradient kernels read back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "kernel.hpp"
#include "numeric.hpp"

namespace mirelon::segment_math {

// Position of the foot of (px, py) on the segment record (x0, y0, x1, y1), clamped to [0, 1].
// The 1e-12 keeps a degenerate segment from dividing by zero (its position is 0). A NaN ratio
// stays NaN: both comparisons are false.
inline double segment_position(double px, double py, const double* record) {
  const double dx = record[2] - record[0];
  const double dy = record[3] - record[1];
  const double ratio =
      ((px - record[0]) * dx + (py - record[1]) * dy) / ((dx * dx + dy * dy) + 1e-12);
  if (ratio < 0.0) return 0.0;
  if (ratio > 1.0) return 1.0;
  return ratio;
}

// Even-odd rule over the closed ring of `vertices` (x, y pairs), evaluated in T: true when a ray
// from (px, py) towards +x crosses the ring an odd number of times. A vertex level with the
// point counts as below it, so a horizontal edge never counts; any NaN makes an edge not count.
// The 1e-12 is added to the signed rise (not its magnitude) and only guards the division.
template <typename T>
bool crossing_parity_odd(T px, T py, std::span<const T> vertices) {
  const size_t nv = vertices.size() / 2;
  const T eps = static_cast<T>(1e-12);
  bool odd = false;
  for (size_t k = 0; k < nv; ++k) {
    const size_t n = k + 1 == nv ? 0 : k + 1;
    const T xk = vertices[2 * k], yk = vertices[2 * k + 1];
    const T xn = vertices[2 * n], yn = vertices[2 * n + 1];
    if ((yk > py) != (yn > py)) {
      const T x_cross = (xn - xk) * ((py - yk) / ((yn - yk) + eps)) + xk;
      if (x_cross > px) odd = !odd;
    }
  }
  return odd;
}

// Every residual index (the forward kernel's index output, read back) must name one of `limit`
// items after its conversion. The 32-bit forward rounds indices beyond 2^24, which can land on
// `limit` itself, so nothing here is taken on trust.
template <typename T>
bool check_residual_indices(KernelResult& r, std::span<const T> indices, size_t count,
                            size_t limit, const char* item) {
  for (size_t j = 0; j < count; ++j) {
    const uint64_t e = saturating_to_u64(static_cast<double>(indices[j]));
    if (e >= limit) {
      r.fail(message(item, " index ", e, " of query ", j, " outside 0..", limit));
      return false;
    }
  }
  return true;
}

// Product of two counts, or false when it does not fit.
inline bool checked_product(size_t a, size_t b, size_t& product) {
  return !__builtin_mul_overflow(a, b, &product);
}

}  // namespace mirelon::segment_math
