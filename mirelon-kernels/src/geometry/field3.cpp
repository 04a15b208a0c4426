// Trilinear interpolation of batched regular 3-D grids at query points, and its gradient with
// respect to the grid values and the points. A point is (x, y, z): x runs along a grid's last
// extent, z along its third-to-last; points beyond the grid take the values and slopes of its
// boundary cells.
#include <cstddef>

#include "geometry/grid.hpp"
#include "lanes.hpp"
#include "numeric.hpp"
#include "targets.hpp"

namespace mirelon {

namespace {

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

// The forward formula of a grid of layers of h rows of w values (see grid::interpolate).
template <typename T>
struct Trilinear {
  CornerOffsets corner;

  T value(const T* lower, const T (&frac)[3]) const {
    T values[8];
    for (size_t n = 0; n < 8; ++n) values[n] = lower[corner.at[n]];
    T v;
    trilinear(values, frac[0], frac[1], frac[2], T(0), T(1), v);
    return v;
  }

#ifdef MIRELON_GRID_AVX2
  // The corners in four runs of two along x, run r (2 * layer offset + row offset) at
  // corner.at[2 * r].
  __attribute__((target("avx2"))) void values(const grid::Cells<T, 3>& c, const T* f,
                                              T* out) const {
    namespace avx2 = lanes::avx2;
    using V = typename avx2::Registers<T>::V;
    constexpr size_t L = avx2::Registers<T>::n;
    size_t l = 0;
    for (; l + L <= c.count; l += L) {
      V corners[8], value;
      for (size_t r = 0; r < 4; ++r)
        avx2::gather_runs(f + corner.at[2 * r], c.base + l, corners[2 * r], corners[2 * r + 1]);
      trilinear(corners, avx2::load(c.frac[0] + l), avx2::load(c.frac[1] + l),
                avx2::load(c.frac[2] + l), avx2::splat(T(0)), avx2::splat(T(1)), value);
      avx2::store(out + c.first + l, value);
    }
    for (; l < c.count; ++l) {
      const T frac[3] = {c.frac[0][l], c.frac[1][l], c.frac[2][l]};
      out[c.first + l] = lanes::canonical_nan(this->value(f + c.base[l], frac));
    }
  }
#endif
};

}  // namespace

template <typename T>
void field3_interp_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                       size_t) {
  grid::Operands<T, 3> f;
  if (!f.init_forward(r, in, out, "field3")) return;
  grid::interpolate(f, f.axes(in), output_span<T>(out[0]).data(),
                    Trilinear<T>{CornerOffsets(f.extents[1], f.extents[2])});
}

template <typename T>
void field3_interp_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                       size_t) {
  grid::Operands<T, 3> f;
  if (!f.init_gradient(r, in, out, "field3")) return;
  const grid::Axes<T, 3> axes = f.axes(in);
  const CornerOffsets corner(f.extents[1], f.extents[2]);
  const T spacing[3] = {axes.axis[0].spacing, axes.axis[1].spacing, axes.axis[2].spacing};
  grid::add_gradients(f, axes, in, out,
                      [&](const T* base, T* dbase, T* dp, T gk, const T (&frac)[3]) {
    const T fx = frac[0], fy = frac[1], fz = frac[2];
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
    grid::add(dp[0], x / spacing[0]);
    const T y = (fz * ((f111 - f101) * fx + (f110 - f100) * gx) +
                 gz * ((f011 - f001) * fx + (f010 - f000) * gx)) *
                gk;
    grid::add(dp[1], y / spacing[1]);
    const T z = gk * (fy * ((f111 - f011) * fx + (f110 - f010) * gx) +
                      gy * ((f101 - f001) * fx + (f100 - f000) * gx));
    grid::add(dp[2], z / spacing[2]);
  });
}

MIRELON_INSTANTIATE_KERNEL(field3_interp_fwd);
MIRELON_INSTANTIATE_KERNEL(field3_interp_vjp);

}  // namespace mirelon
