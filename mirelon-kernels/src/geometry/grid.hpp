// What the 2-D and 3-D grid interpolation kernels share: where a coordinate falls among the nodes
// of one grid axis, their operands and checks, the vector form of the axis rule, and the loops
// over the query points of the forward and the gradient.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "batch.hpp"
#include "cpu.hpp"
#include "lanes.hpp"
#include "numeric.hpp"
#include "pool.hpp"

// The vector path runs at AVX2 on x86-64 (lanes::avx2).
#if defined(__x86_64__)
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
    // s is never negative, so the conversion's truncation is its floor.
    const uint64_t c = saturating_to_u64(static_cast<double>(s));
    cell = c < last ? static_cast<size_t>(c) : last;
    frac = s - static_cast<T>(static_cast<double>(cell));
  }
};

// The axes of a grid in the point's component order (x first).
template <typename T, size_t Dim>
struct Axes {
  Axis<T> axis[Dim];
};

// The cell of `point` (Dim coordinates, x first): its fraction on each axis, and the index of its
// lower corner in the grid block in Horner form from the last axis down, (i_2 * n_1 + i_1) *
// n_0 + i_0.
template <typename T, size_t Dim>
[[gnu::always_inline]] inline size_t locate(const Axis<T> (&axes)[Dim], const T* point,
                                              T (&frac)[Dim]) {
  size_t cell[Dim];
  for (size_t d = 0; d < Dim; ++d) axes[d].locate(point[d], cell[d], frac[d]);
  size_t base = cell[Dim - 1];
  for (size_t d = Dim - 1; d-- > 0;) base = base * (axes[d].last + 2) + cell[d];
  return base;
}

// Adds `term` to a gradient element, a NaN sum stored as the one quiet NaN: which NaN an
// addition passes on may depend on how the compiler orders its operands.
template <typename T>
inline void add(T& element, T term) {
  element = lanes::canonical_nan(element + term);
}

// "{a}x{b}x..." of the extents in the order given.
inline std::string extents_text(std::span<const size_t> extents) {
  std::string text = message(extents[0]);
  for (size_t k = 1; k < extents.size(); ++k) text += message("x", extents[k]);
  return text;
}

// The values of one grid block, the product of its extents; a product beyond 64 bits fails with
// "{name} of {a}x{b}... values is too large" (no buffer can hold it).
inline std::optional<size_t> block_size(KernelResult& r, const char* name,
                                        std::span<const size_t> extents) {
  std::optional<size_t> n = 1;
  for (size_t e : extents) n = n ? checked_size(*n, e) : std::nullopt;
  if (!n) r.fail(message(name, " of ", extents_text(extents), " values is too large"));
  return n;
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
template <typename T>
bool vector_indexable(size_t block, std::span<const size_t> extents) {
  constexpr size_t exact = size_t{1} << std::numeric_limits<T>::digits;
  return block <= static_cast<size_t>(std::numeric_limits<int32_t>::max()) &&
         std::all_of(extents.begin(), extents.end(), [](size_t e) { return e <= exact; });
}

// Grid values [B_F, ..., n_1, n_0] (the last Dim extents; x along the last) and query points
// [B_P, M, Dim], with their common batch count. `name` ("field", "field3") starts the messages.
template <typename T, size_t Dim>
struct Operands {
  size_t extents[Dim] = {};  // nodes per axis, outermost first: n_{Dim-1} ... n_0
  size_t m = 0;              // query points per batch
  BatchView<const T> values;
  BatchView<const T> points;
  size_t batches = 0;
  std::optional<size_t> total;  // batches * m, when it fits

  bool init(KernelResult& r, const KernelBuffer* in, const char* name) {
    const KernelBuffer& f = in[0];
    // A 2-D grid of rank below 2 reads as one row, which the size rule then rejects.
    if (Dim > 2 && f.dims.size() < Dim) {
      r.fail(message(name, " values buffer must be at least rank ", Dim));
      return false;
    }
    extents[Dim - 1] = last_extent(f);
    extents[Dim - 2] = second_last_extent(f);
    for (size_t k = 0; k + 2 < Dim; ++k) extents[k] = extent_as_count(f.dims[f.dims.size() - Dim + k]);
    m = second_last_extent(in[1]);
    // Both kernels need a whole cell on each axis: with one node the last cell index would wrap.
    if (std::any_of(extents, extents + Dim, [](size_t e) { return e < 2; })) {
      size_t least[Dim];
      std::fill(least, least + Dim, size_t{2});
      r.fail(message(name, " must be at least ", extents_text(least), ", got ",
                     extents_text(extents)));
      return false;
    }
    const std::optional<size_t> cells = block_size(r, name, extents);
    if (!cells || !values.init(input_span<T>(f), *cells, r)) return false;
    const size_t point_block[2] = {m, Dim};
    const std::optional<size_t> coords = block_size(r, "query point block", point_block);
    if (!coords || !points.init(input_span<T>(in[1]), *coords, r)) return false;
    if (!unify_batch_counts({values.batch_count(), points.batch_count()}, batches, r))
      return false;
    total = checked_size(batches, m);
    return true;
  }

  // Origin (input 2) and spacing (input 3) hold at least one value per axis.
  bool check_origin_and_spacing(KernelResult& r, const KernelBuffer* in) const {
    return check_operand_length(r, in[2], Dim, LengthRule::at_least, "origin") &&
           check_operand_length(r, in[3], Dim, LengthRule::at_least, "spacing");
  }

  // The forward's checks: the operands, one output value per point, origin and spacing.
  bool init_forward(KernelResult& r, const KernelBuffer* in, const KernelBuffer* out,
                    const char* name) {
    return init(r, in, name) && check_length(r, out[0], total, "output length mismatch") &&
           check_origin_and_spacing(r, in);
  }

  // The gradient's checks: the operands, one cotangent (input 4) per point, origin and spacing,
  // and gradients of the grid values and the points as long as their inputs at least, which are
  // then zero-filled.
  bool init_gradient(KernelResult& r, const KernelBuffer* in, const KernelBuffer* out,
                     const char* name) {
    if (!init(r, in, name) || !check_length(r, in[4], total, "cotangent length mismatch") ||
        !check_origin_and_spacing(r, in))
      return false;
    if (!check_operand_length(r, out[0], element_count(in[0]), LengthRule::at_least,
                              "field gradient") ||
        !check_operand_length(r, out[1], element_count(in[1]), LengthRule::at_least,
                              "point gradient"))
      return false;
    zero_fill<T>(out[0]);
    zero_fill<T>(out[1]);
    return true;
  }

  // The axes from origin and spacing (checked to hold Dim values each).
  Axes<T, Dim> axes(const KernelBuffer* in) const {
    const T* origin = input_span<T>(in[2]).data();
    const T* spacing = input_span<T>(in[3]).data();
    return [&]<size_t... k>(std::index_sequence<k...>) {
      return Axes<T, Dim>{{Axis<T>(origin[k], spacing[k], extents[Dim - 1 - k])...}};
    }(std::make_index_sequence<Dim>{});
  }

  // Whether the call takes the vector path (read once per call).
  bool lanes() const {
#ifdef MIRELON_GRID_AVX2
    return cpu::active() >= cpu::Level::avx2 && vector_indexable<T>(values.inner(), extents);
#else
    return false;
#endif
  }
};

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

namespace avx2 = lanes::avx2;

// Axis::locate on every lane. With the extents exact in T, min(floor(s), n - 2) taken in T is
// the integer minimum of the scalar rule, and s minus it is the scalar fraction.
template <typename T, typename V = typename avx2::Registers<T>::V,
          typename I = typename avx2::Registers<T>::I>
MIRELON_AVX2_INLINE void locate_lanes(const Axis<T>& a, V p, I& cell, V& frac) {
  using avx2::splat;
  const V u = (p - splat(a.origin)) / splat(a.spacing);
  const V s = avx2::min(avx2::max(u, splat(T(0))), splat(a.upper));
  const V c = avx2::min(avx2::floor(s), splat(static_cast<T>(a.last)));
  cell = avx2::truncate(c);
  frac = s - c;
}

// Locates points [first, first + count) of `points` (Dim coordinates each, count at most the
// block capacity) into `cells`. The grid must be vector_indexable.
template <typename T, size_t Dim>
__attribute__((target("avx2"))) void locate_cells(const Axis<T> (&axes)[Dim], const T* points,
                                                  size_t first, size_t count,
                                                  Cells<T, Dim>& cells) {
  using R = avx2::Registers<T>;
  constexpr size_t L = R::n;
  cells.first = first;
  cells.count = count;
  const T* p = points + Dim * first;
  size_t l = 0;
  for (; l + L <= count; l += L) {
    alignas(32) T coord[Dim][L];
    for (size_t k = 0; k < L; ++k)
      for (size_t d = 0; d < Dim; ++d) coord[d][k] = p[Dim * (l + k) + d];
    // The lower corner in Horner form from the last axis down: (iz * H + iy) * W + ix.
    typename R::I base;
    typename R::V frac;
    locate_lanes(axes[Dim - 1], avx2::load(coord[Dim - 1]), base, frac);
    avx2::store(cells.frac[Dim - 1] + l, frac);
    for (size_t d = Dim - 1; d-- > 0;) {
      typename R::I cell;
      locate_lanes(axes[d], avx2::load(coord[d]), cell, frac);
      avx2::store(cells.frac[d] + l, frac);
      base = avx2::mul_add(base, static_cast<int32_t>(axes[d].last + 2), cell);
    }
    avx2::store_index(cells.base + l, base);
  }
  for (; l < count; ++l) {
    T frac[Dim];
    cells.base[l] = static_cast<int32_t>(locate(axes, p + Dim * l, frac));
    for (size_t d = 0; d < Dim; ++d) cells.frac[d][l] = frac[d];
  }
}

// Locates points [first, last) a block at a time and hands each block to visit(cells). Needs
// AVX2 and a vector_indexable grid.
template <typename T, size_t Dim, typename Visit>
void walk_cells(const Axes<T, Dim> axes, const T* points, size_t first, size_t last,
                Visit&& visit) {
  Cells<T, Dim> cells;
  for (size_t at = first; at < last; at += cells.count) {
    locate_cells(axes.axis, points, at, last - at < cells.kCapacity ? last - at : cells.kCapacity,
                 cells);
    visit(cells);
  }
}

#undef MIRELON_AVX2_INLINE

#endif  // MIRELON_GRID_AVX2

// The forward: the value of every query point into `out` (one per point, batch after batch), in
// pieces on the pool. `formula.value(lower, frac)` is a point's value from the grid values at its
// lower corner and its fractions; on the vector path `formula.values(cells, grid, out)` stores
// the values of a block of located points of the grid block `grid` at out[cells.first + l].
// The axes and the formula are taken by value: stores of T through the outputs would otherwise
// make the compiler read them again after every point.
template <typename T, size_t Dim, typename Formula>
void interpolate(const Operands<T, Dim>& f, const Axes<T, Dim> axes, T* out,
                 const Formula formula) {
  if (f.batches == 0) return;
  [[maybe_unused]] const bool lanes = f.lanes();
  for_each_point(f.batches, f.m, [&](size_t b, size_t first, size_t last) {
    const T* grid = f.values.block(b).data();
    const T* p = f.points.block(b).data();
    T* value = out + b * f.m;
#ifdef MIRELON_GRID_AVX2
    if (lanes) {
      walk_cells(axes, p, first, last,
                 [&](const Cells<T, Dim>& c) { formula.values(c, grid, value); });
      return;
    }
#endif
    for (size_t k = first; k < last; ++k) {
      T frac[Dim];
      const size_t lower = locate(axes.axis, p + Dim * k, frac);
      value[k] = lanes::canonical_nan(formula.value(grid + lower, frac));
    }
  });
}

// The gradient: add(corner, dcorner, dpoint, g, frac) for every query point, with the grid values
// and their gradient at the point's lower corner, the point's own gradient and cotangent and its
// fractions. In batch and point order on the calling thread: a grid cell shared by several points
// (or a broadcast grid shared by every batch) sums their contributions in that order.
template <typename T, size_t Dim, typename Add>
void add_gradients(const Operands<T, Dim>& f, const Axes<T, Dim> axes, const KernelBuffer* in,
                   const KernelBuffer* out, const Add add) {
  if (f.batches == 0) return;
  const T* g = input_span<T>(in[4]).data();
  const BatchGrad<T> dvalues(output_span<T>(out[0]), f.values);
  const BatchGrad<T> dpoints(output_span<T>(out[1]), f.points);
  [[maybe_unused]] const bool lanes = f.lanes();
  for (size_t b = 0; b < f.batches; ++b) {
    const T* grid = f.values.block(b).data();
    const T* p = f.points.block(b).data();
    T* dv = dvalues.block(b).data();
    T* dp = dpoints.block(b).data();
    const T* gb = g + b * f.m;
#ifdef MIRELON_GRID_AVX2
    if (lanes) {
      walk_cells(axes, p, 0, f.m, [&, add](const Cells<T, Dim>& c) {
        for (size_t l = 0; l < c.count; ++l) {
          const size_t k = c.first + l;
          const size_t lower = static_cast<size_t>(c.base[l]);
          T frac[Dim];
          for (size_t d = 0; d < Dim; ++d) frac[d] = c.frac[d][l];
          add(grid + lower, dv + lower, dp + Dim * k, gb[k], frac);
        }
      });
      continue;
    }
#endif
    for (size_t k = 0; k < f.m; ++k) {
      T frac[Dim];
      const size_t lower = locate(axes.axis, p + Dim * k, frac);
      add(grid + lower, dv + lower, dp + Dim * k, gb[k], frac);
    }
  }
}

}  // namespace mirelon::grid
