// Bilinear interpolation of batched regular 2-D grids at query points, and its gradient with
// respect to the grid values and the points. x runs along a grid's last extent, y along the one
// before it; points beyond the grid take the values and slopes of its boundary cells.
#include <cstddef>
#include <optional>

#include "batch.hpp"
#include "cpu.hpp"
#include "geometry/grid.hpp"
#include "lanes.hpp"
#include "numeric.hpp"
#include "targets.hpp"

namespace mirelon {

namespace {

// Grid values [B_F, H, W] and query points [B_P, M, 2] with their common batch count.
template <typename T>
struct FieldOperands {
  size_t h = 0;
  size_t w = 0;
  size_t m = 0;
  BatchView<const T> values;
  BatchView<const T> points;
  size_t batches = 0;
  std::optional<size_t> total;  // batches * m, when it fits

  bool init(KernelResult& r, const KernelBuffer* in) {
    h = second_last_extent(in[0]);
    w = last_extent(in[0]);
    m = second_last_extent(in[1]);
    // Both kernels need a whole cell on each axis: with one node the last cell index would wrap.
    if (h < 2 || w < 2) {
      r.fail(message("field must be at least 2x2, got ", h, "x", w));
      return false;
    }
    const std::optional<size_t> cells = grid::block_size(r, "field", h, w);
    if (!cells || !values.init(input_span<T>(in[0]), *cells, r)) return false;
    if (!points.init(input_span<T>(in[1]), 2 * m, r)) return false;
    if (!unify_batch_counts({values.batch_count(), points.batch_count()}, batches, r))
      return false;
    total = checked_size(batches, m);
    return true;
  }

  // Whether the call takes the vector path (read once per call).
  bool lanes() const {
#ifdef MIRELON_GRID_AVX2
    return cpu::active() >= cpu::Level::avx2 && grid::vector_indexable<T>(values.inner(), h, w);
#else
    return false;
#endif
  }
};

// The x axis along a grid's last extent, the y axis along the one before.
template <typename T>
struct FieldAxes {
  grid::Axis<T> axis[2];

  FieldAxes(const T* origin, const T* spacing, size_t h, size_t w)
      : axis{{origin[0], spacing[0], w}, {origin[1], spacing[1], h}} {}
};

inline bool check_origin_and_spacing(KernelResult& r, const KernelBuffer* in) {
  return check_operand_length(r, in[2], 2, LengthRule::at_least, "origin") &&
         check_operand_length(r, in[3], 2, LengthRule::at_least, "spacing");
}

// The bilinear value from the cell's corner values, for one point (V = T) or a vector of points
// (V = AVX2 lanes of T): each term as (corner * y weight) * x weight, summed in corner order.
// Operands by reference: a vector passed by value would need the caller's instruction set.
template <typename V>
[[gnu::always_inline]] inline void bilinear(const V& f00, const V& f01, const V& f10,
                                            const V& f11, const V& fx, const V& fy, const V& one,
                                            V& value) {
  const V gx = one - fx;
  const V gy = one - fy;
  value = (((f00 * gy) * gx + (f01 * gy) * fx) + (f10 * fy) * gx) + (f11 * fy) * fx;
}

#ifdef MIRELON_GRID_AVX2
// Values of the located points in `c` of the grid block `f` with rows of w values.
template <typename T>
__attribute__((target("avx2"))) void bilinear_cells(const grid::Cells<T, 2>& c, const T* f,
                                                    size_t w, T* out) {
  namespace simd = grid::simd;
  constexpr size_t L = grid::Lanes<T>::n;
  size_t l = 0;
  for (; l + L <= c.count; l += L) {
    typename grid::Lanes<T>::V f00, f01, f10, f11, value;
    simd::gather_runs(f, c.base + l, f00, f01);
    simd::gather_runs(f + w, c.base + l, f10, f11);
    bilinear(f00, f01, f10, f11, simd::load(c.frac[0] + l), simd::load(c.frac[1] + l),
             simd::splat(T(1)), value);
    simd::store(out + c.first + l, value);
  }
  for (; l < c.count; ++l) {
    const T* corner = f + c.base[l];
    T value;
    bilinear(corner[0], corner[1], corner[w], corner[w + 1], c.frac[0][l], c.frac[1][l], T(1),
             value);
    out[c.first + l] = lanes::canonical_nan(value);
  }
}
#endif

}  // namespace

template <typename T>
void field_interp_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                      size_t) {
  FieldOperands<T> f;
  if (!f.init(r, in)) return;
  if (!check_length(r, out[0], f.total, "output length mismatch")) return;
  if (!check_origin_and_spacing(r, in)) return;
  if (f.batches == 0) return;

  const FieldAxes<T> axes(input_span<T>(in[2]).data(), input_span<T>(in[3]).data(), f.h, f.w);
  T* values_out = output_span<T>(out[0]).data();
  const size_t w = f.w;
  [[maybe_unused]] const bool lanes = f.lanes();
  grid::for_each_point(f.batches, f.m, [&](size_t b, size_t first, size_t last) {
    const T* grid_values = f.values.block(b).data();
    const T* p = f.points.block(b).data();
    T* value = values_out + b * f.m;
#ifdef MIRELON_GRID_AVX2
    if (lanes) {
      grid::walk_cells(axes.axis, p, first, last, [&](const grid::Cells<T, 2>& c) {
        bilinear_cells(c, grid_values, w, value);
      });
      return;
    }
#endif
    for (size_t k = first; k < last; ++k) {
      size_t i, j;
      T fx, fy;
      axes.axis[0].locate(p[2 * k], i, fx);
      axes.axis[1].locate(p[2 * k + 1], j, fy);
      const T* corner = grid_values + j * w + i;
      T v;
      bilinear(corner[0], corner[1], corner[w], corner[w + 1], fx, fy, T(1), v);
      value[k] = lanes::canonical_nan(v);
    }
  });
}

template <typename T>
void field_interp_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                      size_t) {
  FieldOperands<T> f;
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

  const FieldAxes<T> axes(input_span<T>(in[2]).data(), input_span<T>(in[3]).data(), f.h, f.w);
  const T* g = input_span<T>(in[4]).data();
  const BatchGrad<T> dvalues(output_span<T>(out[0]), f.values);
  const BatchGrad<T> dpoints(output_span<T>(out[1]), f.points);
  const size_t w = f.w;
  [[maybe_unused]] const bool lanes = f.lanes();
  // In batch and point order on the calling thread: a grid cell shared by several points (or a
  // broadcast grid shared by every batch) sums their contributions in that order.
  for (size_t b = 0; b < f.batches; ++b) {
    const T* grid_values = f.values.block(b).data();
    const T* p = f.points.block(b).data();
    T* dv = dvalues.block(b).data();
    T* dp = dpoints.block(b).data();
    const T* gb = g + b * f.m;
    // Point k with lower corner c00 = j * W + i and fractions (fx, fy).
    const auto add_point = [&](size_t k, size_t c00, T fx, T fy) {
      const size_t c10 = c00 + w;
      const T f00 = grid_values[c00], f01 = grid_values[c00 + 1];
      const T f10 = grid_values[c10], f11 = grid_values[c10 + 1];
      const T gk = gb[k];
      const T gx = T(1) - fx;
      const T gy = T(1) - fy;
      const T low = gy * gk;
      const T high = fy * gk;
      grid::add(dv[c00], gx * low);
      grid::add(dv[c00 + 1], low * fx);
      grid::add(dv[c10], gx * high);
      grid::add(dv[c10 + 1], high * fx);
      grid::add(dp[2 * k], ((fy * (f11 - f10) + gy * (f01 - f00)) * gk) / axes.axis[0].spacing);
      grid::add(dp[2 * k + 1], (gk * (fx * (f11 - f01) + gx * (f10 - f00))) / axes.axis[1].spacing);
    };
#ifdef MIRELON_GRID_AVX2
    if (lanes) {
      grid::walk_cells(
          axes.axis, p, 0, f.m,
          [&](const grid::Cells<T, 2>& c) {
            for (size_t l = 0; l < c.count; ++l)
              add_point(c.first + l, static_cast<size_t>(c.base[l]), c.frac[0][l], c.frac[1][l]);
          });
      continue;
    }
#endif
    for (size_t k = 0; k < f.m; ++k) {
      size_t i, j;
      T fx, fy;
      axes.axis[0].locate(p[2 * k], i, fx);
      axes.axis[1].locate(p[2 * k + 1], j, fy);
      add_point(k, j * w + i, fx, fy);
    }
  }
}

MIRELON_INSTANTIATE_KERNEL(field_interp_fwd);
MIRELON_INSTANTIATE_KERNEL(field_interp_vjp);

}  // namespace mirelon
