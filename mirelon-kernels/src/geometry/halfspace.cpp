// Rays and half-spaces in D dimensions.
#include <cmath>
#include <optional>
#include <span>

#include "batch.hpp"
#include "cpu.hpp"
#include "lanes.hpp"
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

// A tile of rays as columns, in 64-bit: for every ray the square n * n of its floored length,
// then per component l the origins and the directions of the tile's rays. Each value is formed
// exactly as point_to_ray forms it.
constexpr size_t kTileValues = 4096;

struct RayTile {
  alignas(64) double values[kTileValues];
  size_t capacity = 0;  // rays per tile: a multiple of 8, or 0 when D is too large for one

  explicit RayTile(size_t dim) : capacity(kTileValues / (2 * dim + 1) / 8 * 8) {}
  double* nn() { return values; }
  double* origin(size_t l) { return values + capacity * (1 + 2 * l); }
  double* direction(size_t l) { return values + capacity * (2 + 2 * l); }
  const double* nn() const { return values; }
  const double* origin(size_t l) const { return values + capacity * (1 + 2 * l); }
  const double* direction(size_t l) const { return values + capacity * (2 + 2 * l); }

  template <typename T>
  void fill(const T* o, const T* u, size_t count, size_t dim) {
    for (size_t k = 0; k < count; ++k) {
      double uu = 0.0;
      for (size_t l = 0; l < dim; ++l) {
        const double ul = static_cast<double>(u[k * dim + l]);
        uu += ul * ul;
        origin(l)[k] = static_cast<double>(o[k * dim + l]);
        direction(l)[k] = ul;
      }
      const double root = std::sqrt(uu);
      const double n = root > 1e-12 ? root : 1e-12;
      nn()[k] = n * n;
    }
  }
};

// Distances of one point to the first `count` rays of a tile (a multiple of the width):
// point_to_ray in lanes. The offsets p - o of the dot product are rounded to T as T arithmetic
// would round them.
struct TileDistances {
  template <typename S, typename T>
  [[gnu::always_inline]] static void run(const RayTile& tile, size_t count, size_t dim,
                                         const T* p, T* row) {
    using V = typename S::V;
    const V zero = S::set1(0.0), eps = S::set1(1e-12);
    for (size_t k = 0; k < count; k += S::width) {
      V dot = zero;
      for (size_t l = 0; l < dim; ++l) {
        V offset = S::sub(S::set1(static_cast<double>(p[l])), S::load(tile.origin(l) + k));
        if constexpr (sizeof(T) < sizeof(double)) offset = S::round_to_float(offset);
        dot = S::add(dot, S::mul(offset, S::load(tile.direction(l) + k)));
      }
      const V q = S::div(dot, S::load(tile.nn() + k));
      const V t = S::where_gt(q, zero, q, zero);  // a NaN q gives 0
      V rr = zero;
      for (size_t l = 0; l < dim; ++l) {
        const V ul = S::load(tile.direction(l) + k);
        const V rl = S::sub(S::set1(static_cast<double>(p[l])),
                            S::add(S::mul(ul, t), S::load(tile.origin(l) + k)));
        rr = S::add(rr, S::mul(rl, rl));
      }
      S::store_as(row + k, S::sqrt(S::add(rr, eps)));
    }
  }
};

}  // namespace ray_matrix_detail

// Rows [begin, end) of the matrix over all batches (row b * Np + i holds point i of batch b
// against every ray of batch b). The rays go through a tile at a time; every distance is
// computed on its own, so tiles, lanes and the split of the rows leave the bits unchanged.
template <cpu::Level L, typename T>
void ray_matrix_rows(const ray_matrix_detail::RayOperands<T>& v, T* out, size_t begin,
                     size_t end) {
  using ray_matrix_detail::point_to_ray;
  constexpr size_t w = lanes::Lanes<L, double>::width;
  const size_t dim = v.dim, np = v.points, nr = v.rays;
  ray_matrix_detail::RayTile tile(dim);
  const size_t per_tile = w > 1 && tile.capacity >= w ? tile.capacity : nr;
  for (size_t row = begin; row < end;) {
    const size_t b = row / np;
    const size_t stop = end < (b + 1) * np ? end : (b + 1) * np;
    const T* points = v.p.block(b).data();
    const T* o = v.o.block(b).data();
    const T* u = v.u.block(b).data();
    for (size_t first = 0; first < nr; first += per_tile) {
      const size_t count = nr - first < per_tile ? nr - first : per_tile;
      const size_t in_lanes = per_tile == tile.capacity ? count / w * w : 0;
      if (in_lanes != 0) tile.fill(o + first * dim, u + first * dim, in_lanes, dim);
      for (size_t i = row; i < stop; ++i) {
        const T* p = points + (i - b * np) * dim;
        T* m = out + i * nr + first;
        if (in_lanes != 0)
          lanes::run_at<L, double, ray_matrix_detail::TileDistances>(tile, in_lanes, dim, p, m);
        for (size_t k = in_lanes; k < count; ++k) {
          const size_t ray = (first + k) * dim;
          m[k] = lanes::canonical_nan(
              static_cast<T>(point_to_ray(p, o + ray, u + ray, dim).distance));
        }
      }
    }
    row = stop;
  }
}

template <typename T>
void ray_matrix_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                    size_t) {
  ray_matrix_detail::RayOperands<T> v;
  if (!v.init(in, r)) return;
  if (!check_length(r, out[0], v.matrix_size(), "output length mismatch")) return;
  if (v.batch == 0) return;
  T* m = output_span<T>(out[0]).data();
  // Every element is computed on its own, so the rows (one per batch and point) can go to the
  // pool without changing a bit.
  cpu::dispatch([&]<cpu::Level L>() {
    pool::parallel_for(v.batch * v.points, [&](size_t begin, size_t end) {
      ray_matrix_rows<L, T>(v, m, begin, end);
    });
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
