// Per-segment arithmetic shared by the closest-segment and polygon signed-distance kernels: the
// clamped position of a query's foot on a segment, the even-odd crossing parity of a ring, the
// outputs both forwards store for a query's nearest segment and the operand checks both families
// share.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "cpu.hpp"
#include "geometry/bvh.hpp"
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

namespace detail {

// Bit j tells whether vertex first + j lies above py (count <= 64). NaN is not above.
template <typename T>
inline uint64_t above_bits(const T* v, size_t first, size_t count, T py) {
  uint64_t bits = 0;
  for (size_t j = 0; j < count; ++j)
    bits |= static_cast<uint64_t>(v[2 * (first + j) + 1] > py) << j;
  return bits;
}

#if defined(__SSE2__)
// The same with four (float) or two (double) vertices per compare. The ordered compare is
// false for NaN, as the scalar one.
template <>
inline uint64_t above_bits<float>(const float* v, size_t first, size_t count, float py) {
  const float* p = v + 2 * first;
  const __m128 level = _mm_set1_ps(py);
  uint64_t bits = 0;
  size_t j = 0;
  for (; j + 4 <= count; j += 4) {
    const __m128 ys =
        _mm_shuffle_ps(_mm_loadu_ps(p + 2 * j), _mm_loadu_ps(p + 2 * j + 4), _MM_SHUFFLE(3, 1, 3, 1));
    bits |= static_cast<uint64_t>(_mm_movemask_ps(_mm_cmpgt_ps(ys, level))) << j;
  }
  for (; j < count; ++j) bits |= static_cast<uint64_t>(p[2 * j + 1] > py) << j;
  return bits;
}

template <>
inline uint64_t above_bits<double>(const double* v, size_t first, size_t count, double py) {
  const double* p = v + 2 * first;
  const __m128d level = _mm_set1_pd(py);
  uint64_t bits = 0;
  size_t j = 0;
  for (; j + 2 <= count; j += 2) {
    const __m128d ys = _mm_unpackhi_pd(_mm_loadu_pd(p + 2 * j), _mm_loadu_pd(p + 2 * j + 2));
    bits |= static_cast<uint64_t>(_mm_movemask_pd(_mm_cmpgt_pd(ys, level))) << j;
  }
  for (; j < count; ++j) bits |= static_cast<uint64_t>(p[2 * j + 1] > py) << j;
  return bits;
}
#endif

}  // namespace detail

// Even-odd rule over the closed ring of `vertices` (x, y pairs), evaluated in T: true when a ray
// from (px, py) towards +x crosses the ring an odd number of times. A vertex level with the
// point counts as below it, so a horizontal edge never counts; any NaN makes an edge not count.
// The 1e-12 is added to the signed rise (not its magnitude) and only guards the division.
template <typename T>
bool crossing_parity_odd(T px, T py, std::span<const T> vertices) {
  const size_t nv = vertices.size() / 2;
  if (nv == 0) return false;
  const T* v = vertices.data();
  const T eps = static_cast<T>(1e-12);
  const auto crosses = [&](size_t k, size_t n) {
    const T xk = v[2 * k], yk = v[2 * k + 1];
    const T xn = v[2 * n], yn = v[2 * n + 1];
    const T x_cross = (xn - xk) * ((py - yk) / ((yn - yk) + eps)) + xk;
    return x_cross > px;
  };
  // The sides of 64 vertices at a time go into one word; an edge straddles the level of the
  // point where the side bits of its two end points differ, and only those edges evaluate
  // their crossing. This keeps the scan free of a data-dependent branch per edge.
  unsigned count = 0;
  size_t n_word = nv < 64 ? nv : 64;
  uint64_t word = detail::above_bits(v, 0, n_word, py);
  const uint64_t first_bit = word & 1u;
  for (size_t base = 0; base < nv;) {
    const size_t next_base = base + n_word;
    size_t n_next = 0;
    uint64_t next_word = 0;
    uint64_t next_bit = first_bit;  // the ring closes on vertex 0
    if (next_base < nv) {
      n_next = nv - next_base < 64 ? nv - next_base : 64;
      next_word = detail::above_bits(v, next_base, n_next, py);
      next_bit = next_word & 1u;
    }
    uint64_t straddles = word ^ ((word >> 1) | (next_bit << (n_word - 1)));
    while (straddles != 0) {
      const size_t k = base + static_cast<size_t>(__builtin_ctzll(straddles));
      count += crosses(k, k + 1 == nv ? 0 : k + 1) ? 1u : 0u;
      straddles &= straddles - 1;
    }
    base = next_base;
    word = next_word;
    n_word = n_next;
  }
  return (count & 1u) != 0;
}

// The outputs of query (qx, qy) at j from its nearest segment `hit` among the records `items`:
// the distance (rounded once from 64-bit, then multiplied by sign(qx, qy) unless `sign` is
// nullptr), the segment's index as a float and the position of the foot along it. A query with
// no nearest segment (NaN or infinite coordinates, or every squared distance beyond the 64-bit
// range) gets NaN in all three outputs.
template <typename T, typename Sign>
[[gnu::always_inline]] inline void store_nearest_segment(const std::optional<NearestHit>& hit,
                                                         const double* items, T qx, T qy,
                                                         size_t j, std::span<T> distance,
                                                         std::span<T> index,
                                                         std::span<T> position, Sign sign) {
  constexpr T nan = std::numeric_limits<T>::quiet_NaN();
  if (!hit) {
    distance[j] = nan;
    index[j] = nan;
    position[j] = nan;
    return;
  }
  const T magnitude = static_cast<T>(std::sqrt(hit->d2 + 1e-12));
  if constexpr (std::is_same_v<Sign, std::nullptr_t>) {
    distance[j] = magnitude;
  } else {
    distance[j] = magnitude * sign(qx, qy);
  }
  index[j] = static_cast<T>(static_cast<double>(hit->index));
  position[j] = static_cast<T>(segment_position(static_cast<double>(qx), static_cast<double>(qy),
                                                items + 4 * hit->index));
}

// The output checks of both forwards: distance exactly `total` long, index and position at
// least that long. An empty total (a count that does not fit) fails the first check.
inline bool check_nearest_outputs(KernelResult& r, const KernelBuffer* outputs,
                                  std::optional<size_t> total) {
  return check_length(r, outputs[0], total, "output length mismatch") &&
         check_length_at_least(r, outputs[1], total, "index output too short") &&
         check_length_at_least(r, outputs[2], total, "position output too short");
}

// The residual checks of both gradients: cotangent (input 4) exactly `total` long, index
// (input 2) and position (input 3) at least that long.
inline bool check_nearest_residuals(KernelResult& r, const KernelBuffer* inputs,
                                    std::optional<size_t> total) {
  return check_length(r, inputs[4], total, "cotangent length mismatch") &&
         check_length_at_least(r, inputs[2], total, "index input too short") &&
         check_length_at_least(r, inputs[3], total, "position input too short");
}

}  // namespace mirelon::segment_math
