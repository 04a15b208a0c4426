// Rays and intersections of half-spaces {x : n . x <= b} in D dimensions: the distance matrix of
// points to rays, the signed distance of points to such a region (a hard or soft maximum of the
// normalised constraint values) and a Monte-Carlo estimate of a polytope's volume, forward and
// gradient.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

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
  // Lanes where a tile holds a whole vector of rays; otherwise every ray in one plain pass.
  const bool tiled = w > 1 && tile.capacity >= w;
  const size_t per_tile = tiled ? tile.capacity : nr;
  for (size_t row = begin; row < end;) {
    const size_t b = row / np;
    const size_t stop = end < (b + 1) * np ? end : (b + 1) * np;
    const T* points = v.p.block(b).data();
    const T* o = v.o.block(b).data();
    const T* u = v.u.block(b).data();
    for (size_t first = 0; first < nr; first += per_tile) {
      const size_t count = nr - first < per_tile ? nr - first : per_tile;
      const size_t in_lanes = tiled ? count / w * w : 0;
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

// ---- half-space signed distance ----------------------------------------------------------------

namespace halfspace_detail {

// A view whose inner size is a product of extents. A product beyond 64 bits is held at the
// largest size, which only an empty operand divides (batch count 0).
template <typename T>
bool init_view(BatchView<const T>& view, const KernelBuffer& b, std::optional<size_t> inner,
               KernelResult& r) {
  return view.init(input_span<T>(b), inner.value_or(std::numeric_limits<size_t>::max()), r);
}

// Points [B_P, M, D], normals [B_N, K, D], offsets [B_O, K] and one temperature per batch, and
// the common batch count. The normals are read with the points' D.
template <typename T>
struct HalfspaceOperands {
  size_t d = 0;  // components per point
  size_t m = 0;  // points per batch
  size_t k = 0;  // constraints
  BatchView<const T> points;
  BatchView<const T> normals;
  BatchView<const T> offsets;
  BatchView<const T> temperature;
  size_t batch = 0;

  bool init(const KernelBuffer* in, KernelResult& r) {
    d = last_extent(in[0]);
    m = second_last_extent(in[0]);
    k = second_last_extent(in[1]);
    if (!init_view(points, in[0], checked_size(d, m), r)) return false;
    if (!init_view(normals, in[1], checked_size(k, d), r)) return false;
    if (!offsets.init(input_span<T>(in[2]), k, r)) return false;
    if (!temperature.init(input_span<T>(in[3]), 1, r)) return false;
    return unify_batch_counts({points.batch_count(), normals.batch_count(),
                               offsets.batch_count(), temperature.batch_count()},
                              batch, r);
  }
  std::optional<size_t> per_point() const { return checked_size(batch, m); }

  // |n_k| = max(sqrt(sum of squares), 1e-12) for every constraint of every distinct normals
  // block, in 64-bit: the lengths of batch b start at lengths_offset(b).
  std::vector<double> normal_lengths() const {
    const size_t blocks = normals.batch_count();
    std::vector<double> lengths(blocks * k);
    for (size_t j = 0; j < blocks; ++j) {
      const T* n = normals.block(j).data();
      for (size_t c = 0; c < k; ++c) {
        double sum = 0.0;
        for (size_t i = 0; i < d; ++i) {
          const double v = static_cast<double>(n[c * d + i]);
          sum += v * v;
        }
        lengths[j * k + c] = floor_divisor(std::sqrt(sum));
      }
    }
    return lengths;
  }
  size_t lengths_offset(size_t b) const { return normals.broadcast() ? 0 : b * k; }
};

// s = (p . n - b) / |n| in 64-bit, the dot product in component order.
template <typename T>
double constraint_value(const T* p, const T* n, T offset, double length, size_t d) {
  double dot = 0.0;
  for (size_t i = 0; i < d; ++i) dot += static_cast<double>(p[i]) * static_cast<double>(n[i]);
  return (dot - static_cast<double>(offset)) / length;
}

// Constraint values the forward kernel keeps per point (more are computed twice).
constexpr size_t kKeptValues = 64;

// Elements of scratch (increments and weights) per chunk of points in the gradient kernel.
constexpr size_t kChunkElements = size_t{1} << 18;

// Whether a batch takes the hard maximum; a NaN temperature takes the soft one.
template <typename T>
bool hard_maximum(T tau) {
  return tau <= T(0);
}

}  // namespace halfspace_detail

template <typename T>
void halfspace_sd_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                      size_t) {
  halfspace_detail::HalfspaceOperands<T> o;
  if (!o.init(in, r)) return;
  if (!check_length(r, out[0], o.per_point(), "output length mismatch")) return;
  if (o.batch == 0) return;

  const std::vector<double> lengths = o.normal_lengths();
  T* values = output_span<T>(out[0]).data();
  const size_t m = o.m;
  const size_t d = o.d;
  const size_t k = o.k;
  // Every point is independent of the others and writes only its own value, so the points of all
  // batches run as one loop on the pool; each value is computed exactly as on one thread.
  pool::parallel_for(o.batch * m, [&](size_t begin, size_t end) {
    // The soft maximum reads every constraint value twice: kept here when they fit, computed
    // again otherwise (the same value either way).
    double kept[halfspace_detail::kKeptValues];
    const bool keep = k <= halfspace_detail::kKeptValues;
    for (size_t item = begin; item < end; ++item) {
      const size_t b = item / m;
      const T* p = o.points.block(b).data() + (item - b * m) * d;
      const T* n = o.normals.block(b).data();
      const T* off = o.offsets.block(b).data();
      const double* len = lengths.data() + o.lengths_offset(b);
      const T tau = o.temperature.block(b)[0];
      const auto value_of = [&](size_t c) {
        return halfspace_detail::constraint_value(p, n + c * d, off[c], len[c], d);
      };
      double mx = -std::numeric_limits<double>::infinity();
      for (size_t c = 0; c < k; ++c) {
        const double s = value_of(c);
        if (keep) kept[c] = s;
        mx = max_ignoring_nan(mx, s);
      }
      double value = mx;
      if (!halfspace_detail::hard_maximum(tau)) {
        const double t = static_cast<double>(tau);
        double sum = 0.0;
        for (size_t c = 0; c < k; ++c) sum += std::exp(((keep ? kept[c] : value_of(c)) - mx) / t);
        value = mx + t * std::log(sum);
      }
      values[item] = static_cast<T>(value);
    }
  });
}

namespace halfspace_detail {

// The gradient of one point. Its own gradient is added in place. What it adds to the normals
// (K x D) and subtracts from the offsets (K) is stored in `incs` as addends, each rounded to the
// element type (a subtraction as the addition of the negated value, which IEEE defines to be the
// same), and -0 where its weight is 0 (the addend that leaves every value as it is), for the
// caller to add in point order. `scratch` holds 2 K doubles: the constraint values and weights.
template <typename T>
void point_gradient(const T* p, const T* n, const T* off, const double* len, T tau, double gv,
                    size_t k, size_t d, double* scratch, T* gp, T* incs) {
  double* values = scratch;
  double* weights = scratch + k;
  std::fill(weights, weights + k, 0.0);
  double mx = -std::numeric_limits<double>::infinity();
  size_t chosen = 0;  // the first strictly largest value; NaN is never chosen
  for (size_t c = 0; c < k; ++c) {
    values[c] = constraint_value(p, n + c * d, off[c], len[c], d);
    if (values[c] > mx) {
      mx = values[c];
      chosen = c;
    }
  }
  if (hard_maximum(tau)) {
    weights[chosen] = 1.0;
  } else {
    const double t = static_cast<double>(tau);
    double z = 0.0;
    for (size_t c = 0; c < k; ++c) {
      weights[c] = std::exp((values[c] - mx) / t);
      z += weights[c];
    }
    for (size_t c = 0; c < k; ++c) weights[c] = weights[c] / z;
  }
  T* normal_incs = incs;
  T* offset_incs = incs + k * d;
  for (size_t c = 0; c < k; ++c) {
    const double w = weights[c];
    if (w == 0.0) {
      std::fill(normal_incs + c * d, normal_incs + (c + 1) * d, T(-0.0));
      offset_incs[c] = T(-0.0);
      continue;
    }
    const double cw = gv * w;
    const T* nc = n + c * d;
    const double lc = len[c];
    const double s = values[c];
    for (size_t i = 0; i < d; ++i) {
      const double ni = static_cast<double>(nc[i]);
      gp[i] += static_cast<T>(cw * ni / lc);
      normal_incs[c * d + i] =
          static_cast<T>(((static_cast<double>(p[i]) - ni * s / lc) / lc) * cw);
    }
    offset_incs[c] = -static_cast<T>(w * gv / lc);
  }
}

// acc[e] += rows[j][e] for every row j in order.
template <typename T>
void add_rows(T* __restrict acc, const T* __restrict rows, size_t count, size_t width) {
  for (size_t j = 0; j < count; ++j) {
    const T* __restrict row = rows + j * width;
    for (size_t e = 0; e < width; ++e) acc[e] += row[e];
  }
}

}  // namespace halfspace_detail

template <typename T>
void halfspace_sd_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                      size_t) {
  halfspace_detail::HalfspaceOperands<T> o;
  if (!o.init(in, r)) return;
  if (!check_length(r, in[4], o.per_point(), "cotangent length mismatch")) return;
  // Every position of an input may receive a contribution.
  if (!check_length_at_least(r, out[0], element_count(in[0]), "point gradient too short") ||
      !check_length_at_least(r, out[1], element_count(in[1]), "normal gradient too short") ||
      !check_length_at_least(r, out[2], element_count(in[2]), "offset gradient too short"))
    return;
  for (size_t j = 0; j < 3; ++j) zero_fill<T>(out[j]);
  if (o.batch == 0) return;

  const size_t m = o.m;
  const size_t d = o.d;
  const size_t k = o.k;
  // k * d is the normals' inner size, so the terms of one point fit in memory. Points are taken
  // in chunks: their terms are formed on the pool, then added in point order on this thread, so
  // every sum is the one formed point after point.
  const size_t per_point = k * d + k;
  const size_t chunk =
      std::min(m, std::max<size_t>(1, halfspace_detail::kChunkElements / (per_point + 2 * k)));
  const std::vector<double> lengths = o.normal_lengths();
  std::vector<double> scratch(chunk * 2 * k);
  std::vector<T> incs(chunk * per_point);
  std::vector<T> acc(per_point);  // one batch's normal and offset gradients, side by side
  const std::span<const T> g = input_span<T>(in[4]);
  const BatchGrad<T> grad_points(output_span<T>(out[0]), o.points);
  const BatchGrad<T> grad_normals(output_span<T>(out[1]), o.normals);
  const BatchGrad<T> grad_offsets(output_span<T>(out[2]), o.offsets);
  for (size_t b = 0; b < o.batch; ++b) {
    const T* points = o.points.block(b).data();
    const T* n = o.normals.block(b).data();
    const T* off = o.offsets.block(b).data();
    const double* len = lengths.data() + o.lengths_offset(b);
    const T tau = o.temperature.block(b)[0];
    T* gp = grad_points.block(b).data();
    T* gn = grad_normals.block(b).data();
    T* go = grad_offsets.block(b).data();
    std::copy(gn, gn + k * d, acc.begin());
    std::copy(go, go + k, acc.begin() + k * d);
    for (size_t first = 0; first < m; first += chunk) {
      const size_t count = std::min(chunk, m - first);
      // Each point writes only its own gradient and its own slots.
      pool::parallel_for(count, [&](size_t begin, size_t end) {
        for (size_t j = begin; j < end; ++j) {
          const size_t point = first + j;
          halfspace_detail::point_gradient(points + point * d, n, off, len, tau,
                                           static_cast<double>(g[b * m + point]), k, d,
                                           scratch.data() + j * 2 * k, gp + point * d,
                                           incs.data() + j * per_point);
        }
      });
      halfspace_detail::add_rows(acc.data(), incs.data(), count, per_point);
    }
    std::copy(acc.begin(), acc.begin() + k * d, gn);
    std::copy(acc.begin() + k * d, acc.end(), go);
  }
}

MIRELON_INSTANTIATE_KERNEL(halfspace_sd_fwd);
MIRELON_INSTANTIATE_KERNEL(halfspace_sd_vjp);

// ---- Monte-Carlo polytope volume ---------------------------------------------------------------

namespace volume_detail {

// x^e by repeated squaring over the bits of e, a negative e giving the reciprocal.
template <typename T>
T integer_power(T x, int32_t e) {
  const bool reciprocal = e < 0;
  T result = T(1);
  while (true) {
    if (e & 1) result *= x;
    e /= 2;
    if (e == 0) break;
    x *= x;
  }
  return reciprocal ? T(1) / result : result;
}

// The sum of n copies of v added one at a time to 0 in T arithmetic, bit for bit what a loop of n
// additions gives, in a number of steps that does not grow with n. Within one binade
// [2^(e-1), 2^e) an addition rounds v to a multiple of the binade's spacing u that depends at
// most on the parity of sum / u (a tie goes to the even neighbour); once two additions in a row
// have added the same amount, that parity no longer changes, so every further addition that stays
// below 2^e adds that amount too, and those are taken at once. A sum that no longer moves, or that
// has left the finite range, stays where it is.
template <typename T>
T repeated_sum(T v, uint64_t n) {
  if (n == 0 || v == T(0)) return T(0);  // 0 + -0 is +0
  if (v < T(0)) return -repeated_sum(-v, n);  // rounding to nearest is symmetric
  T sum = T(0);
  T last = T(0);  // the amount the step before added, when it stayed within sum's binade
  while (n > 0) {
    const T before = sum;
    sum = before + v;
    --n;
    if (!std::isfinite(sum) || sum == before) return sum;
    int e_before = 0, e_sum = 0;
    std::frexp(before, &e_before);
    std::frexp(sum, &e_sum);
    const T delta = sum - before;  // exact when both lie in one binade
    const bool repeats = before != T(0) && e_before == e_sum && delta == last;
    last = before != T(0) && e_before == e_sum ? delta : T(0);
    if (!repeats || n == 0) continue;
    // The further steps j = 1 .. k with sum + j delta below the top 2^e, counted in multiples of
    // the spacing 2^q (subnormals share the smallest one); every value here is exact.
    using Limits = std::numeric_limits<T>;
    const int q = std::max(e_sum, Limits::min_exponent) - Limits::digits;
    const uint64_t room = (uint64_t{1} << (e_sum - q)) - static_cast<uint64_t>(std::ldexp(sum, -q));
    const auto step = static_cast<uint64_t>(std::ldexp(delta, -q));
    const uint64_t k = std::min<uint64_t>((room - 1) / step, n);
    sum = sum + static_cast<T>(k) * delta;
    n -= k;
  }
  return sum;
}

// Samples S [N, d], normals A [m, d] (read with the samples' d), the half-width R (element 0)
// and offsets b [m]. The extents read as sizes must not be negative, and every operand must hold
// what is read of it.
template <typename T>
struct VolumeOperands {
  size_t n = 0;  // samples
  size_t d = 0;  // components
  size_t m = 0;  // constraints
  const T* samples = nullptr;
  const T* normals = nullptr;
  T half_width = T(0);
  const T* offsets = nullptr;

  // The extent `from_end` places from the end (1 the last), where a size is read, must not be
  // negative.
  static bool check_extent(KernelResult& r, const KernelBuffer& b, size_t from_end,
                           const char* what) {
    const size_t rank = b.dims.size();
    if (rank < from_end || b.dims[rank - from_end] >= 0) return true;
    r.fail(message(what, " extent ", b.dims[rank - from_end], " is negative"));
    return false;
  }

  bool init(const KernelBuffer* in, KernelResult& r) {
    if (!check_extent(r, in[0], 2, "samples") || !check_extent(r, in[0], 1, "samples") ||
        !check_extent(r, in[1], 2, "normals"))
      return false;
    n = second_last_extent(in[0]);
    d = last_extent(in[0]);
    m = second_last_extent(in[1]);
    const std::optional<size_t> sample_size = checked_size(n, d);
    const std::optional<size_t> normal_size = checked_size(m, d);
    if (!sample_size) {
      r.fail(message("samples size ", n, " x ", d, " overflows"));
      return false;
    }
    if (!normal_size) {
      r.fail(message("normals size ", m, " x ", d, " overflows"));
      return false;
    }
    if (!check_operand_length(r, in[0], *sample_size, LengthRule::at_least, "samples") ||
        !check_operand_length(r, in[1], *normal_size, LengthRule::at_least, "normals") ||
        !check_operand_length(r, in[2], 1, LengthRule::at_least, "half-width") ||
        !check_operand_length(r, in[3], m, LengthRule::at_least, "offsets"))
      return false;
    samples = static_cast<const T*>(in[0].data);
    normals = static_cast<const T*>(in[1].data);
    half_width = static_cast<const T*>(in[2].data)[0];
    offsets = static_cast<const T*>(in[3].data);
    return true;
  }

  // |A_j| = max(sqrt(sum of squares), 1e-12) in the element type.
  std::vector<T> normal_lengths() const {
    std::vector<T> lengths(m);
    for (size_t j = 0; j < m; ++j) {
      T sum = T(0);
      for (size_t c = 0; c < d; ++c) sum += normals[j * d + c] * normals[j * d + c];
      lengths[j] = floor_divisor(std::sqrt(sum));
    }
    return lengths;
  }

  // (S_i . A_j) with the sample scaled into the box, minus b_j, over |A_j|.
  T constraint_value(size_t i, size_t j, T length) const {
    const T* s = samples + i * d;
    const T* a = normals + j * d;
    T dot = T(0);
    for (size_t c = 0; c < d; ++c) dot += (s[c] * half_width) * a[c];
    return (dot - offsets[j]) / length;
  }

  // The largest constraint value of sample i, NaN skipped (-inf without one).
  T largest_value(size_t i, const std::vector<T>& lengths) const {
    T s = -std::numeric_limits<T>::infinity();
    for (size_t j = 0; j < m; ++j) s = max_ignoring_nan(s, constraint_value(i, j, lengths[j]));
    return s;
  }

  // The active constraint of sample i, the first strictly largest value, with that value; m when
  // no value exceeds -inf.
  size_t active_constraint(size_t i, const std::vector<T>& lengths, T& s) const {
    s = -std::numeric_limits<T>::infinity();
    size_t active = m;
    for (size_t j = 0; j < m; ++j) {
      const T t = constraint_value(i, j, lengths[j]);
      if (t > s) {
        s = t;
        active = j;
      }
    }
    return active;
  }

  // (2R)^d, the exponent held to the 32-bit range.
  T box_volume() const {
    const size_t limit = static_cast<size_t>(std::numeric_limits<int32_t>::max());
    return integer_power(T(2) * half_width, static_cast<int32_t>(d < limit ? d : limit));
  }
};

// The soft membership 1 / (exp(s / 0.01) + 1): 1 deep inside, 0.5 on the boundary, 0 outside.
template <typename T>
T soft_inside(T s) {
  return T(1) / (std::exp(s / static_cast<T>(0.01)) + T(1));
}

}  // namespace volume_detail

template <typename T>
void volume_mc(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out, size_t) {
  volume_detail::VolumeOperands<T> o;
  if (!o.init(in, r)) return;
  if (!check_operand_length(r, out[0], 1, LengthRule::at_least, "output")) return;

  const std::vector<T> lengths = o.normal_lengths();
  T sum = T(0);
  if (o.d == 0) {
    // Samples of no components are all alike, and no element backs their count: one membership,
    // added N times.
    if (o.n > 0) {
      const T sigma = volume_detail::soft_inside(o.largest_value(0, lengths));
      sum = volume_detail::repeated_sum(sigma, o.n);
    }
  } else {
    for (size_t i = 0; i < o.n; ++i) sum += volume_detail::soft_inside(o.largest_value(i, lengths));
  }
  static_cast<T*>(out[0].data)[0] = (sum / static_cast<T>(o.n)) * o.box_volume();
}

template <typename T>
void volume_mc_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                   size_t) {
  volume_detail::VolumeOperands<T> o;
  if (!o.init(in, r)) return;
  if (!check_operand_length(r, in[4], 1, LengthRule::at_least, "cotangent")) return;
  // checked_size has already accepted m * d.
  if (!check_operand_length(r, out[0], o.m * o.d, LengthRule::at_least, "normal gradient") ||
      !check_operand_length(r, out[1], o.m, LengthRule::at_least, "offset gradient"))
    return;

  const std::vector<T> lengths = o.normal_lengths();
  zero_fill<T>(out[0]);
  zero_fill<T>(out[1]);
  const T g = static_cast<const T*>(in[4].data)[0];
  const T scale = (o.box_volume() * g) / static_cast<T>(o.n);
  if (o.n == 0 || o.m == 0) return;

  T* ga = static_cast<T*>(out[0].data);
  T* gb = static_cast<T*>(out[1].data);
  const T temperature = static_cast<T>(0.01);
  // Samples of no components are all alike (see volume_mc): the first stands for all N.
  const size_t distinct = o.d == 0 ? 1 : o.n;
  for (size_t i = 0; i < distinct; ++i) {
    // The active constraint: the first strictly largest value. A sample without one (every
    // value NaN or -inf) has the constant membership 1, one whose largest value is +inf the
    // constant 0: neither contributes (their terms would be infinity times zero).
    T s;
    const size_t active = o.active_constraint(i, lengths, s);
    if (active == o.m || std::isinf(s)) continue;
    const T sigma = volume_detail::soft_inside(s);
    const T c = ((-sigma) * (T(1) - sigma)) / temperature * scale;
    const T len = lengths[active];
    if (o.d == 0) {
      gb[active] = volume_detail::repeated_sum(-(c / len), o.n);  // subtracted N times
      continue;
    }
    const T* a = o.normals + active * o.d;
    const T* x = o.samples + i * o.d;
    for (size_t k = 0; k < o.d; ++k)
      ga[active * o.d + k] += ((x[k] * o.half_width - a[k] * s / len) / len) * c;
    gb[active] -= c / len;
  }
}

MIRELON_INSTANTIATE_KERNEL(volume_mc);
MIRELON_INSTANTIATE_KERNEL(volume_mc_vjp);

}  // namespace mirelon
