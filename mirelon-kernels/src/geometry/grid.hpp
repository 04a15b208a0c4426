// What the 2-D and 3-D grid interpolation kernels share: where a coordinate falls among the nodes
// of one grid axis, the size of one grid block, the forward loop over the query points, and the
// vector form of the axis rule.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "lanes.hpp"
#include "numeric.hpp"
#include "pool.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#define MIRELON_GRID_AVX2 1
#endif

namespace mirelon::grid {

// One axis of n >= 2 nodes at origin + k * spacing.
template <typename T>
struct Axis {
  T origin;
  T spacing;
  T upper;      // n - 1, converted through double
  size_t last;  // n - 2, the last cell

  Axis(T origin_, T spacing_, size_t n)
      : origin(origin_),
        spacing(spacing_),
        upper(static_cast<T>(static_cast<double>(n - 1))),
        last(n - 2) {}

  // The cell of coordinate p (0 .. n - 2) and the fraction within it (0 .. 1). The offset in
  // nodes is held to [0, n - 1]; a NaN offset lands on the lower edge, the upper edge in the last
  // cell with fraction 1. The lower bound is applied as max(0, u), which gives +0 for u = -0 as
  // the vector form does.
  void locate(T p, size_t& cell, T& frac) const {
    const T u = (p - origin) / spacing;
    const T above = max_ignoring_nan(T(0), u);
    const T s = upper < above ? upper : above;
    const uint64_t c = saturating_to_u64(static_cast<double>(std::floor(s)));
    cell = c < last ? static_cast<size_t>(c) : last;
    frac = s - static_cast<T>(static_cast<double>(cell));
  }
};

// Adds `term` to a gradient element, a NaN sum stored as the one quiet NaN: which NaN an
// addition passes on may depend on how the compiler orders its operands.
template <typename T>
inline void add(T& element, T term) {
  element = lanes::canonical_nan(element + term);
}

// The values of one grid, the product of its extents; a product beyond 64 bits fails with
// "{name} of {a}x{b}... values is too large" (no buffer can hold it).
template <typename... Extents>
std::optional<size_t> block_size(KernelResult& r, const char* name, size_t first,
                                 Extents... rest) {
  if (std::optional<size_t> n = checked_size(first, rest...)) return n;
  std::string dims = message(first);
  ((dims += message("x", rest)), ...);
  r.fail(message(name, " of ", dims, " values is too large"));
  return std::nullopt;
}

// Points per piece of the forward loop: enough work to outweigh handing a piece to a worker.
inline constexpr size_t kPointsPerPiece = 4096;

// body(b, first, last) over the B x M query points in pieces on the pool: point m of batch b for
// m in [first, last). Each point is handled once and writes only its own outputs, so the results
// do not depend on how the range is split.
template <typename F>
void for_each_point(size_t batches, size_t m, F&& body) {
  const size_t total = batches * m;  // the caller has checked that this fits
  const size_t pieces = total / kPointsPerPiece + (total % kPointsPerPiece != 0);
  pool::parallel_for(pieces, [&](size_t piece_begin, size_t piece_end) {
    const size_t begin = piece_begin * kPointsPerPiece;
    const size_t end = piece_end * kPointsPerPiece < total ? piece_end * kPointsPerPiece : total;
    size_t b = begin / m;
    size_t first = begin % m;
    for (size_t at = begin; at < end; ++b, first = 0) {
      const size_t last = end - at < m - first ? first + (end - at) : m;
      body(b, first, last);
      at += last - first;
    }
  });
}

// The vector path indexes a grid block with 32-bit lanes and holds the cell bounds in T, so it
// takes grids of fewer than 2^31 values whose extents are exact in T (at most 2^24 in 32-bit).
template <typename T, typename... Extents>
bool vector_indexable(size_t block, Extents... extents) {
  constexpr size_t exact = size_t{1} << std::numeric_limits<T>::digits;
  return block <= static_cast<size_t>(std::numeric_limits<int32_t>::max()) &&
         ((extents <= exact) && ...);
}

// Located query points, a block at a time: the index of each point's lower corner in the grid
// block and its fraction on each axis (x first).
template <typename T, size_t Dim>
struct Cells {
  static constexpr size_t kCapacity = 64;
  alignas(32) int32_t base[kCapacity];
  alignas(32) T frac[Dim][kCapacity];
  size_t first = 0;  // index of the block's first point
  size_t count = 0;
};

#ifdef MIRELON_GRID_AVX2

#define MIRELON_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

// AVX2 lanes of T: four doubles or eight floats, with 32-bit lane indices.
template <typename T>
struct Lanes;

template <>
struct Lanes<double> {
  using V = __m256d;
  using I = __m128i;
  static constexpr size_t n = 4;
};

template <>
struct Lanes<float> {
  using V = __m256;
  using I = __m256i;
  static constexpr size_t n = 8;
};

namespace simd {

// Each helper is one IEEE operation per lane, exactly as the scalar code performs it.
MIRELON_AVX2_INLINE __m256d load(const double* p) { return _mm256_loadu_pd(p); }
MIRELON_AVX2_INLINE __m256 load(const float* p) { return _mm256_loadu_ps(p); }
// A NaN lane is stored as the one quiet NaN (lanes::canonical_nan), as every scalar store is.
MIRELON_AVX2_INLINE void store(double* p, __m256d v) {
  using S = lanes::Lanes<cpu::Level::avx2, double>;
  S::store_as(p, S::out(v));
}
MIRELON_AVX2_INLINE void store(float* p, __m256 v) {
  using S = lanes::Lanes<cpu::Level::avx2, float>;
  S::store_as(p, S::out(v));
}
MIRELON_AVX2_INLINE __m256d splat(double v) { return _mm256_set1_pd(v); }
MIRELON_AVX2_INLINE __m256 splat(float v) { return _mm256_set1_ps(v); }
// max(a, b) and min(a, b) give b when a is NaN, and b when a and b are equal.
MIRELON_AVX2_INLINE __m256d max(__m256d a, __m256d b) { return _mm256_max_pd(a, b); }
MIRELON_AVX2_INLINE __m256 max(__m256 a, __m256 b) { return _mm256_max_ps(a, b); }
MIRELON_AVX2_INLINE __m256d min(__m256d a, __m256d b) { return _mm256_min_pd(a, b); }
MIRELON_AVX2_INLINE __m256 min(__m256 a, __m256 b) { return _mm256_min_ps(a, b); }
MIRELON_AVX2_INLINE __m256d floor(__m256d v) { return _mm256_floor_pd(v); }
MIRELON_AVX2_INLINE __m256 floor(__m256 v) { return _mm256_floor_ps(v); }
MIRELON_AVX2_INLINE __m128i truncate(__m256d v) { return _mm256_cvttpd_epi32(v); }
MIRELON_AVX2_INLINE __m256i truncate(__m256 v) { return _mm256_cvttps_epi32(v); }
// a * k + b in 32-bit lanes.
MIRELON_AVX2_INLINE __m128i mul_add(__m128i a, int32_t k, __m128i b) {
  return _mm_add_epi32(_mm_mullo_epi32(a, _mm_set1_epi32(k)), b);
}
MIRELON_AVX2_INLINE __m256i mul_add(__m256i a, int32_t k, __m256i b) {
  return _mm256_add_epi32(_mm256_mullo_epi32(a, _mm256_set1_epi32(k)), b);
}
MIRELON_AVX2_INLINE void store_index(int32_t* p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}
MIRELON_AVX2_INLINE void store_index(int32_t* p, __m256i v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}
MIRELON_AVX2_INLINE __m128i load_index(const int32_t* p, double) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
MIRELON_AVX2_INLINE __m256i load_index(const int32_t* p, float) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
// The masked form with every lane enabled: the unmasked one leaves its source undefined, which
// compilers report as uninitialized.
MIRELON_AVX2_INLINE __m256d gather(const double* base, __m128i index) {
  const __m256d all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
  return _mm256_mask_i32gather_pd(_mm256_setzero_pd(), base, index, all, 8);
}
MIRELON_AVX2_INLINE __m256 gather(const float* base, __m256i index) {
  const __m256 all = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
  return _mm256_mask_i32gather_ps(_mm256_setzero_ps(), base, index, all, 4);
}

// The neighbouring values at[i] and at[i + 1] of every lane's index i (loaded from `index`), as
// two vectors in lane order: the run of two values along x that each cell row holds. Loading
// each run whole takes half the lane loads of two gathers.
MIRELON_AVX2_INLINE void gather_runs(const double* at, const int32_t* index, __m256d& first,
                                     __m256d& second) {
  const __m128d r0 = _mm_loadu_pd(at + index[0]);
  const __m128d r1 = _mm_loadu_pd(at + index[1]);
  const __m128d r2 = _mm_loadu_pd(at + index[2]);
  const __m128d r3 = _mm_loadu_pd(at + index[3]);
  const __m256d even = _mm256_set_m128d(r2, r0);  // runs of lanes 0 and 2
  const __m256d odd = _mm256_set_m128d(r3, r1);   // runs of lanes 1 and 3
  first = _mm256_unpacklo_pd(even, odd);
  second = _mm256_unpackhi_pd(even, odd);
}
MIRELON_AVX2_INLINE void gather_runs(const float* at, const int32_t* index, __m256& first,
                                     __m256& second) {
  // Each run of two floats is gathered as one 64-bit lane (scale 4: indices count floats).
  const __m256d all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
  const auto* runs = reinterpret_cast<const double*>(at);
  const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(index));
  const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(index + 4));
  const __m256 a = _mm256_castpd_ps(_mm256_mask_i32gather_pd(_mm256_setzero_pd(), runs, lo, all, 4));
  const __m256 b = _mm256_castpd_ps(_mm256_mask_i32gather_pd(_mm256_setzero_pd(), runs, hi, all, 4));
  // Lanes 0 1 4 5 | 2 3 6 7 after the shuffle, put back in order.
  first = _mm256_castpd_ps(
      _mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(a, b, 0x88)), 0xD8));
  second = _mm256_castpd_ps(
      _mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(a, b, 0xDD)), 0xD8));
}

}  // namespace simd

// Axis::locate on every lane. With the extents exact in T, min(floor(s), n - 2) taken in T is
// the integer minimum of the scalar rule, and s minus it is the scalar fraction.
template <typename T>
MIRELON_AVX2_INLINE void locate_lanes(const Axis<T>& a, typename Lanes<T>::V p,
                                      typename Lanes<T>::I& cell, typename Lanes<T>::V& frac) {
  using simd::splat;
  const typename Lanes<T>::V u = (p - splat(a.origin)) / splat(a.spacing);
  const typename Lanes<T>::V s = simd::min(simd::max(u, splat(T(0))), splat(a.upper));
  const typename Lanes<T>::V c = simd::min(simd::floor(s), splat(static_cast<T>(a.last)));
  cell = simd::truncate(c);
  frac = s - c;
}

// Locates points [first, first + count) of `points` (Dim coordinates each, count at most the
// block capacity) into `cells`. The grid must be vector_indexable.
template <typename T, size_t Dim>
__attribute__((target("avx2"))) void locate_cells(const Axis<T> (&axes)[Dim], const T* points,
                                                  size_t first, size_t count,
                                                  Cells<T, Dim>& cells) {
  constexpr size_t L = Lanes<T>::n;
  cells.first = first;
  cells.count = count;
  const T* p = points + Dim * first;
  size_t l = 0;
  for (; l + L <= count; l += L) {
    alignas(32) T coord[Dim][L];
    for (size_t k = 0; k < L; ++k)
      for (size_t d = 0; d < Dim; ++d) coord[d][k] = p[Dim * (l + k) + d];
    // The lower corner in Horner form from the last axis down: (iz * H + iy) * W + ix.
    typename Lanes<T>::I base;
    typename Lanes<T>::V frac;
    locate_lanes(axes[Dim - 1], simd::load(coord[Dim - 1]), base, frac);
    simd::store(cells.frac[Dim - 1] + l, frac);
    for (size_t d = Dim - 1; d-- > 0;) {
      typename Lanes<T>::I cell;
      locate_lanes(axes[d], simd::load(coord[d]), cell, frac);
      simd::store(cells.frac[d] + l, frac);
      base = simd::mul_add(base, static_cast<int32_t>(axes[d].last + 2), cell);
    }
    simd::store_index(cells.base + l, base);
  }
  for (; l < count; ++l) {
    size_t base = 0;
    for (size_t d = Dim; d-- > 0;) {
      size_t cell;
      axes[d].locate(p[Dim * l + d], cell, cells.frac[d][l]);
      base = base * (axes[d].last + 2) + cell;
    }
    cells.base[l] = static_cast<int32_t>(base);
  }
}

// Locates points [first, last) a block at a time and hands each block to visit(cells). Needs
// AVX2 and a vector_indexable grid.
template <typename T, size_t Dim, typename Visit>
void walk_cells(const Axis<T> (&axes)[Dim], const T* points, size_t first, size_t last,
                Visit&& visit) {
  Cells<T, Dim> cells;
  for (size_t at = first; at < last; at += cells.count) {
    locate_cells(axes, points, at, last - at < cells.kCapacity ? last - at : cells.kCapacity,
                 cells);
    visit(cells);
  }
}

#undef MIRELON_AVX2_INLINE

#endif  // MIRELON_GRID_AVX2

}  // namespace mirelon::grid
