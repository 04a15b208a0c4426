// Bilinear interpolation of batched regular 2-D grids at query points, and its gradient with
// respect to the grid values and the points. x runs along a grid's last extent, y along the one
// before it; points beyond the grid take the values and slopes of its boundary cells.
#include <cstddef>

#include "geometry/grid.hpp"
#include "lanes.hpp"
#include "numeric.hpp"
#include "targets.hpp"

namespace mirelon {

namespace {

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

// The forward formula of a grid with rows of w values (see grid::interpolate).
template <typename T>
struct Bilinear {
  size_t w;

  T value(const T* corner, const T (&frac)[2]) const {
    T v;
    bilinear(corner[0], corner[1], corner[w], corner[w + 1], frac[0], frac[1], T(1), v);
    return v;
  }

#ifdef MIRELON_GRID_AVX2
  __attribute__((target("avx2"))) void values(const grid::Cells<T, 2>& c, const T* f,
                                              T* out) const {
    namespace avx2 = lanes::avx2;
    constexpr size_t L = avx2::Registers<T>::n;
    size_t l = 0;
    for (; l + L <= c.count; l += L) {
      typename avx2::Registers<T>::V f00, f01, f10, f11, value;
      avx2::gather_runs(f, c.base + l, f00, f01);
      avx2::gather_runs(f + w, c.base + l, f10, f11);
      bilinear(f00, f01, f10, f11, avx2::load(c.frac[0] + l), avx2::load(c.frac[1] + l),
               avx2::splat(T(1)), value);
      avx2::store(out + c.first + l, value);
    }
    for (; l < c.count; ++l) {
      const T frac[2] = {c.frac[0][l], c.frac[1][l]};
      out[c.first + l] = lanes::canonical_nan(this->value(f + c.base[l], frac));
    }
  }
#endif
};

}  // namespace

template <typename T>
void field_interp_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                      size_t) {
  grid::Operands<T, 2> f;
  if (!f.init_forward(r, in, out, "field")) return;
  grid::interpolate(f, f.axes(in), output_span<T>(out[0]).data(), Bilinear<T>{f.extents[1]});
}

template <typename T>
void field_interp_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                      size_t) {
  grid::Operands<T, 2> f;
  if (!f.init_gradient(r, in, out, "field")) return;
  const grid::Axes<T, 2> axes = f.axes(in);
  const size_t w = f.extents[1];
  const T sx = axes.axis[0].spacing;
  const T sy = axes.axis[1].spacing;
  grid::add_gradients(f, axes, in, out,
                      [w, sx, sy](const T* c, T* dc, T* dp, T gk, const T (&frac)[2]) {
    const T fx = frac[0], fy = frac[1];
    const T f00 = c[0], f01 = c[1];
    const T f10 = c[w], f11 = c[w + 1];
    const T gx = T(1) - fx;
    const T gy = T(1) - fy;
    const T low = gy * gk;
    const T high = fy * gk;
    grid::add(dc[0], gx * low);
    grid::add(dc[1], low * fx);
    grid::add(dc[w], gx * high);
    grid::add(dc[w + 1], high * fx);
    grid::add(dp[0], ((fy * (f11 - f10) + gy * (f01 - f00)) * gk) / sx);
    grid::add(dp[1], (gk * (fx * (f11 - f01) + gx * (f10 - f00))) / sy);
  });
}

MIRELON_INSTANTIATE_KERNEL(field_interp_fwd);
MIRELON_INSTANTIATE_KERNEL(field_interp_vjp);

}  // namespace mirelon
