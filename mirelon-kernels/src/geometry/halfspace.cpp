// Rays and half-spaces in D dimensions.
#include <cmath>
#include <optional>
#include <span>

#include "batch.hpp"
#include "numeric.hpp"
#include "pool.hpp"
#include "targets.hpp"

// ================================================================================================
// Ray distance matrix: every point of a batch against every ray (origin o, direction u, the
// half-line o + s u for s >= 0) of the batch, in any dimension D, forward and gradient.

namespace mirelon {

namespace ray_matrix_detail {

// Points [bP, Np, D], origins [bO, R, D] and directions [bU, R, D], and their common batch count.
template <typename T>
struct RayOperands {
  size_t dim = 0;     // D
  size_t points = 0;  // Np, points per batch
  size_t rays = 0;    // R, rays per batch
  BatchView<const T> p, o, u;
  size_t batch = 0;

  bool init(const KernelBuffer* in, KernelResult& r) {
    dim = last_extent(in[0]);
    points = second_last_extent(in[0]);
    rays = second_last_extent(in[1]);
    if (!view(r, p, in[0], dim, points)) return false;
    if (!view(r, o, in[1], rays, dim)) return false;
    if (!view(r, u, in[2], rays, dim)) return false;
    return unify_batch_counts({p.batch_count(), o.batch_count(), u.batch_count()}, batch, r);
  }

  // Elements of the matrix over all batches (batch * Np * R), if that fits.
  std::optional<size_t> matrix_size() const { return checked_size(batch, points, rays); }

 private:
  // A block of a x b elements; a block size that does not fit in 64 bits is rejected (no buffer
  // can be a multiple of it, and a wrapped product would let the loops run past the buffer).
  static bool view(KernelResult& r, BatchView<const T>& v, const KernelBuffer& b, size_t a,
                   size_t c) {
    const std::optional<size_t> inner = checked_size(a, c);
    if (!inner) {
      r.fail(message("inner block size ", a, " x ", c, " does not fit in 64 bits"));
      return false;
    }
    return v.init(input_span<T>(b), *inner, r);
  }
};

// Point p against the ray (o, u), all of dimension `dim`: the ray parameter t of the closest point
// (floored at 0, unbounded above) and the smoothed distance. The offsets p - o of the dot product
// are taken in T, everything else in 64-bit.
struct RayFoot {
  double t, distance;
};

template <typename T>
inline double residual(const T* p, const T* o, const T* u, size_t l, double t) {
  return static_cast<double>(p[l]) -
         (static_cast<double>(u[l]) * t + static_cast<double>(o[l]));
}

template <typename T>
inline RayFoot point_to_ray(const T* p, const T* o, const T* u, size_t dim) {
  double uu = 0.0, dot = 0.0;
  for (size_t l = 0; l < dim; ++l) {
    const double ul = static_cast<double>(u[l]);
    uu += ul * ul;
    dot += static_cast<double>(p[l] - o[l]) * ul;
  }
  const double root = std::sqrt(uu);
  const double n = root > 1e-12 ? root : 1e-12;  // a NaN root also takes the floor
  const double q = dot / (n * n);
  const double t = q > 0.0 ? q : 0.0;  // a NaN q gives 0
  double rr = 0.0;
  for (size_t l = 0; l < dim; ++l) {
    const double rl = residual(p, o, u, l, t);
    rr += rl * rl;
  }
  return {t, std::sqrt(rr + 1e-12)};
}

}  // namespace ray_matrix_detail

template <typename T>
void ray_matrix_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                    size_t) {
  ray_matrix_detail::RayOperands<T> v;
  if (!v.init(in, r)) return;
  if (!check_length(r, out[0], v.matrix_size(), "output length mismatch")) return;
  if (v.batch == 0) return;
  const size_t dim = v.dim, np = v.points, nr = v.rays;
  // Every element is computed on its own, so the rows (one per batch and point) can go to the
  // pool without changing a bit.
  pool::parallel_rows(output_span<T>(out[0]), nr, [&](size_t row, std::span<T> m) {
    const size_t b = row / np, i = row % np;
    const T* p = v.p.block(b).data() + i * dim;
    const T* o = v.o.block(b).data();
    const T* u = v.u.block(b).data();
    for (size_t k = 0; k < nr; ++k)
      m[k] = static_cast<T>(
          ray_matrix_detail::point_to_ray(p, o + k * dim, u + k * dim, dim).distance);
  });
}

template <typename T>
void ray_matrix_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                    size_t) {
  ray_matrix_detail::RayOperands<T> v;
  if (!v.init(in, r)) return;
  if (!check_length(r, in[3], v.matrix_size(), "cotangent length mismatch")) return;
  if (!check_length_at_least(r, out[0], element_count(in[0]), "point gradient too short") ||
      !check_length_at_least(r, out[1], element_count(in[1]), "origin gradient too short") ||
      !check_length_at_least(r, out[2], element_count(in[2]), "direction gradient too short"))
    return;
  zero_fill<T>(out[0]);
  zero_fill<T>(out[1]);
  zero_fill<T>(out[2]);
  if (v.batch == 0) return;

  const std::span<const T> g = input_span<T>(in[3]);
  const BatchGrad<T> gp(output_span<T>(out[0]), v.p);
  const BatchGrad<T> go(output_span<T>(out[1]), v.o);
  const BatchGrad<T> gu(output_span<T>(out[2]), v.u);
  const size_t dim = v.dim, np = v.points, nr = v.rays;
  // 64-bit arithmetic in both copies; each product is rounded to T before it is applied. The
  // residual is recomputed per component rather than kept in scratch: the same operations, so
  // the same bits.
  for (size_t b = 0; b < v.batch; ++b) {
    for (size_t i = 0; i < np; ++i) {
      const T* p = v.p.block(b).data() + i * dim;
      T* dp = gp.block(b).data() + i * dim;
      for (size_t k = 0; k < nr; ++k) {
        const T* o = v.o.block(b).data() + k * dim;
        const T* u = v.u.block(b).data() + k * dim;
        T* dor = go.block(b).data() + k * dim;
        T* du = gu.block(b).data() + k * dim;
        const auto foot = ray_matrix_detail::point_to_ray(p, o, u, dim);
        const double w = static_cast<double>(g[(b * np + i) * nr + k]) / foot.distance;
        const double s = foot.t * w;
        for (size_t l = 0; l < dim; ++l) {
          const double rl = ray_matrix_detail::residual(p, o, u, l, foot.t);
          const T wr = static_cast<T>(w * rl);
          dp[l] += wr;
          dor[l] -= wr;
          du[l] -= static_cast<T>(rl * s);
        }
      }
    }
  }
}

MIRELON_INSTANTIATE_KERNEL(ray_matrix_fwd);
MIRELON_INSTANTIATE_KERNEL(ray_matrix_vjp);

}  // namespace mirelon
