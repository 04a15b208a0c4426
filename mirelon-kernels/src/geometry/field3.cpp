// Trilinear interpolation of batched regular 3-D grids at query points, and its gradient with
// respect to the grid values and the points. A point is (x, y, z): x runs along a grid's last
// extent, z along its third-to-last; points beyond the grid take the values and slopes of its
// boundary cells.
#include <cstddef>
#include <optional>
#include <span>

#include "batch.hpp"
#include "cpu.hpp"
#include "geometry/grid.hpp"
#include "lanes.hpp"
#include "numeric.hpp"
#include "targets.hpp"

namespace mirelon {

// The cell of a point: the index of its lower corner and the fraction within it on each axis.
template <typename T>
struct Field3Cell {
  size_t iz, iy, ix;
  T fz, fy, fx;
};

// The axes of a grid of D x H x W nodes in the point's component order: x along W, y along H,
// z along D, with elements 0, 1, 2 of origin and spacing (the caller guarantees three of each).
template <typename T>
struct Field3Axes {
  grid::Axis<T> axis[3];

  Field3Axes(std::span<const T> origin, std::span<const T> spacing, size_t d, size_t h, size_t w)
      : axis{{origin[0], spacing[0], w}, {origin[1], spacing[1], h}, {origin[2], spacing[2], d}} {}

  Field3Cell<T> locate(const T* point) const {
    Field3Cell<T> c;
    axis[0].locate(point[0], c.ix, c.fx);
    axis[1].locate(point[1], c.iy, c.fy);
    axis[2].locate(point[2], c.iz, c.fz);
    return c;
  }
};

// Locates `point` (x, y, z) in a grid of D x H x W nodes with the given origin and spacing.
template <typename T>
Field3Cell<T> field3_locate_cell(const T* point, std::span<const T> origin,
                                 std::span<const T> spacing, size_t d, size_t h, size_t w) {
  return Field3Axes<T>(origin, spacing, d, h, w).locate(point);
}

namespace {

// Grid values [B_F, D, H, W] and query points [B_P, M, 3] with their common batch count.
template <typename T>
struct Field3Operands {
  size_t d = 0;
  size_t h = 0;
  size_t w = 0;
  size_t m = 0;
  BatchView<const T> values;
  BatchView<const T> points;
  size_t batches = 0;
  std::optional<size_t> total;  // batches * m, when it fits

  bool init(KernelResult& r, const KernelBuffer* in) {
    const KernelBuffer& f = in[0];
    if (f.dims.size() < 3) {
      r.fail("field3 values buffer must be at least rank 3");
      return false;
    }
    d = extent_as_count(f.dims[f.dims.size() - 3]);
    h = second_last_extent(f);
    w = last_extent(f);
    m = second_last_extent(in[1]);
    // Both kernels need a whole cell on each axis: with one node the last cell index would wrap.
    if (d < 2 || h < 2 || w < 2) {
      r.fail(message("field3 must be at least 2x2x2, got ", d, "x", h, "x", w));
      return false;
    }
    const std::optional<size_t> cells = grid::block_size(r, "field3", d, h, w);
    if (!cells || !values.init(input_span<T>(f), *cells, r)) return false;
    const std::optional<size_t> coords = grid::block_size(r, "query point block", m, size_t{3});
    if (!coords || !points.init(input_span<T>(in[1]), *coords, r)) return false;
    if (!unify_batch_counts({values.batch_count(), points.batch_count()}, batches, r))
      return false;
    total = checked_size(batches, m);
    return true;
  }

  // Whether the call takes the vector path (read once per call).
  bool lanes() const {
#ifdef MIRELON_GRID_AVX2
    return cpu::active() >= cpu::Level::avx2 && grid::vector_indexable<T>(values.inner(), d, h, w);
#else
    return false;
#endif
  }
};

inline bool check_origin_and_spacing(KernelResult& r, const KernelBuffer* in) {
  return check_operand_length(r, in[2], 3, LengthRule::at_least, "origin") &&
         check_operand_length(r, in[3], 3, LengthRule::at_least, "spacing");
}

// Offsets of the eight corners of a cell from its lower corner, in the order 000, 001, 010, 011,
// 100, 101, 110, 111 (layer, row, column offsets; the column changes fastest).
struct CornerOffsets {
  size_t at[8];
  CornerOffsets(size_t h, size_t w) {
    for (size_t k = 0; k < 8; ++k) at[k] = ((k >> 2) * h + ((k >> 1) & 1)) * w + (k & 1);
  }
};

// The trilinear value from the eight corner values in corner order, for one point (V = T) or a
// vector of points (V = AVX2 lanes of T): each term ((wz * wy) * wx) * corner, added one by one
// to a sum that starts at +0. Operands by reference: a vector passed by value would need the
// caller's instruction set.
template <typename V>
[[gnu::always_inline]] inline void trilinear(const V (&corner)[8], const V& fx, const V& fy,
                                             const V& fz, const V& zero, const V& one, V& value) {
  const V wz[2] = {one - fz, fz};
  const V wy[2] = {one - fy, fy};
  const V wx[2] = {one - fx, fx};
  V sum = zero;
  for (size_t n = 0; n < 8; ++n)
    sum = sum + ((wz[n >> 2] * wy[(n >> 1) & 1]) * wx[n & 1]) * corner[n];
  value = sum;
}

#ifdef MIRELON_GRID_AVX2
// Values of the located points in `c` of the grid block `f`; rows[r] is the offset of the r-th
// run of two corners (r = 2 * layer offset + row offset) from the lower corner.
template <typename T>
__attribute__((target("avx2"))) void trilinear_cells(const grid::Cells<T, 3>& c, const T* f,
                                                     const size_t (&rows)[4], T* out) {
  namespace simd = grid::simd;
  using V = typename grid::Lanes<T>::V;
  constexpr size_t L = grid::Lanes<T>::n;
  size_t l = 0;
  for (; l + L <= c.count; l += L) {
    V corner[8], value;
    for (size_t r = 0; r < 4; ++r)
      simd::gather_runs(f + rows[r], c.base + l, corner[2 * r], corner[2 * r + 1]);
    trilinear(corner, simd::load(c.frac[0] + l), simd::load(c.frac[1] + l),
              simd::load(c.frac[2] + l), simd::splat(T(0)), simd::splat(T(1)), value);
    simd::store(out + c.first + l, value);
  }
  for (; l < c.count; ++l) {
    const T* lower = f + c.base[l];
    T corner[8];
    for (size_t r = 0; r < 4; ++r) {
      corner[2 * r] = lower[rows[r]];
      corner[2 * r + 1] = lower[rows[r] + 1];
    }
    T value;
    trilinear(corner, c.frac[0][l], c.frac[1][l], c.frac[2][l], T(0), T(1), value);
    out[c.first + l] = lanes::canonical_nan(value);
  }
}
#endif

}  // namespace

template <typename T>
void field3_interp_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                       size_t) {
  Field3Operands<T> f;
  if (!f.init(r, in)) return;
  if (!check_length(r, out[0], f.total, "output length mismatch")) return;
  if (!check_origin_and_spacing(r, in)) return;
  if (f.batches == 0) return;

  const std::span<const T> origin = input_span<T>(in[2]);
  const std::span<const T> spacing = input_span<T>(in[3]);
  const CornerOffsets corner(f.h, f.w);
  T* values_out = output_span<T>(out[0]).data();
  const Field3Axes<T> axes(origin, spacing, f.d, f.h, f.w);
  [[maybe_unused]] const bool lanes = f.lanes();
  grid::for_each_point(f.batches, f.m, [&](size_t b, size_t first, size_t last) {
    const T* grid_values = f.values.block(b).data();
    const T* p = f.points.block(b).data();
    T* value = values_out + b * f.m;
#ifdef MIRELON_GRID_AVX2
    if (lanes) {
      const size_t rows[4] = {corner.at[0], corner.at[2], corner.at[4], corner.at[6]};
      grid::walk_cells(axes.axis, p, first, last, [&](const grid::Cells<T, 3>& c) {
        trilinear_cells(c, grid_values, rows, value);
      });
      return;
    }
#endif
    for (size_t k = first; k < last; ++k) {
      const Field3Cell<T> c = axes.locate(p + 3 * k);
      const T* lower = grid_values + (c.iz * f.h + c.iy) * f.w + c.ix;
      T values[8];
      for (size_t n = 0; n < 8; ++n) values[n] = lower[corner.at[n]];
      T v;
      trilinear(values, c.fx, c.fy, c.fz, T(0), T(1), v);
      value[k] = lanes::canonical_nan(v);
    }
  });
}

template <typename T>
void field3_interp_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                       size_t) {
  Field3Operands<T> f;
  if (!f.init(r, in)) return;
  if (!check_length(r, in[4], f.total, "cotangent length mismatch")) return;
  if (!check_origin_and_spacing(r, in)) return;
  if (!check_operand_length(r, out[0], element_count(in[0]), LengthRule::at_least,
                            "field gradient") ||
      !check_operand_length(r, out[1], element_count(in[1]), LengthRule::at_least,
                            "point gradient"))
    return;
  zero_fill<T>(out[0]);
  zero_fill<T>(out[1]);
  if (f.batches == 0) return;

  const std::span<const T> origin = input_span<T>(in[2]);
  const std::span<const T> spacing = input_span<T>(in[3]);
  const CornerOffsets corner(f.h, f.w);
  const T* g = input_span<T>(in[4]).data();
  const BatchGrad<T> dvalues(output_span<T>(out[0]), f.values);
  const BatchGrad<T> dpoints(output_span<T>(out[1]), f.points);
  const Field3Axes<T> axes(origin, spacing, f.d, f.h, f.w);
  [[maybe_unused]] const bool lanes = f.lanes();
  // In batch and point order on the calling thread: a grid cell shared by several points (or a
  // broadcast grid shared by every batch) sums their contributions in that order.
  for (size_t b = 0; b < f.batches; ++b) {
    const T* grid_values = f.values.block(b).data();
    const T* p = f.points.block(b).data();
    T* dv = dvalues.block(b).data();
    T* dp = dpoints.block(b).data();
    const T* gb = g + b * f.m;
    // Point k with lower corner `lower` and fractions (fx, fy, fz).
    const auto add_point = [&](size_t k, size_t lower, T fx, T fy, T fz) {
      const T* base = grid_values + lower;
      T* dbase = dv + lower;
      const T gk = gb[k];
      const T wz[2] = {T(1) - fz, fz};
      const T wy[2] = {T(1) - fy, fy};
      const T wx[2] = {T(1) - fx, fx};
      for (size_t n = 0; n < 8; ++n)
        grid::add(dbase[corner.at[n]], ((wz[n >> 2] * wy[(n >> 1) & 1]) * wx[n & 1]) * gk);

      const T f000 = base[corner.at[0]], f001 = base[corner.at[1]];
      const T f010 = base[corner.at[2]], f011 = base[corner.at[3]];
      const T f100 = base[corner.at[4]], f101 = base[corner.at[5]];
      const T f110 = base[corner.at[6]], f111 = base[corner.at[7]];
      const T gx = wx[0], gy = wy[0], gz = wz[0];
      const T x = (gz * ((f011 - f010) * fy + (f001 - f000) * gy) +
                   fz * ((f101 - f100) * gy + (f111 - f110) * fy)) *
                  gk;
      grid::add(dp[3 * k], x / spacing[0]);
      const T y = (fz * ((f111 - f101) * fx + (f110 - f100) * gx) +
                   gz * ((f011 - f001) * fx + (f010 - f000) * gx)) *
                  gk;
      grid::add(dp[3 * k + 1], y / spacing[1]);
      const T z = gk * (fy * ((f111 - f011) * fx + (f110 - f010) * gx) +
                        gy * ((f101 - f001) * fx + (f100 - f000) * gx));
      grid::add(dp[3 * k + 2], z / spacing[2]);
    };
#ifdef MIRELON_GRID_AVX2
    if (lanes) {
      grid::walk_cells(
          axes.axis, p, 0, f.m,
          [&](const grid::Cells<T, 3>& c) {
            for (size_t l = 0; l < c.count; ++l)
              add_point(c.first + l, static_cast<size_t>(c.base[l]), c.frac[0][l], c.frac[1][l],
                        c.frac[2][l]);
          });
      continue;
    }
#endif
    for (size_t k = 0; k < f.m; ++k) {
      const Field3Cell<T> c = axes.locate(p + 3 * k);
      add_point(k, (c.iz * f.h + c.iy) * f.w + c.ix, c.fx, c.fy, c.fz);
    }
  }
}

MIRELON_INSTANTIATE_KERNEL(field3_interp_fwd);
MIRELON_INSTANTIATE_KERNEL(field3_interp_vjp);

}  // namespace mirelon
