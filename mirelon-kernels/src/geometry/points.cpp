// Point-set kernels: pairwise distance matrices and the nearest reference point of each query,
// forward and gradient.
#include <cmath>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <limits>
#include <optional>

#include "batch.hpp"
#include "cpu.hpp"
#include "geometry/bvh.hpp"
#include "geometry/reference_sets.hpp"
#include "lanes.hpp"
#include "numeric.hpp"
#include "pool.hpp"
#include "targets.hpp"

namespace mirelon {

namespace points_detail {

// Views of the two point operands with their items per block taken from the second-to-last
// extents, and the common batch count. Input 0 holds the first set (A of the distance matrix, the
// queries of the nearest-point kernels), input 1 the second (B, the reference points).
template <typename T>
struct TwoPointSets {
  size_t a_count = 0;  // points per block of input 0
  size_t b_count = 0;  // points per block of input 1
  BatchView<const T> a;
  BatchView<const T> b;
  size_t batch = 0;

  bool init(const KernelBuffer* in, KernelResult& r) {
    a_count = second_last_extent(in[0]);
    b_count = second_last_extent(in[1]);
    if (!a.init(input_span<T>(in[0]), 2 * a_count, r)) return false;
    if (!b.init(input_span<T>(in[1]), 2 * b_count, r)) return false;
    return unify_batch_counts({a.batch_count(), b.batch_count()}, batch, r);
  }
  // Elements of one batch's distance matrix (a_count * b_count), if that fits.
  std::optional<size_t> matrix_per_batch() const { return checked_size(a_count, b_count); }
  // Elements of every batch's distance matrix together, if that fits.
  std::optional<size_t> matrix_total() const {
    const std::optional<size_t> per_batch = matrix_per_batch();
    return per_batch ? checked_size(batch, *per_batch) : std::nullopt;
  }
  // One value per point of input 0 in every batch (batch * a_count), if that fits.
  std::optional<size_t> per_first_point() const { return checked_size(batch, a_count); }
};

// The gradient outputs of the nearest-point kernels: each as long as its point set (every
// position may receive a contribution).
inline bool check_point_gradients(KernelResult& r, const KernelBuffer* in,
                                  const KernelBuffer* out) {
  return check_length_at_least(r, out[0], element_count(in[0]), "query gradient too short") &&
         check_length_at_least(r, out[1], element_count(in[1]), "reference gradient too short");
}

// The distance rows are the hot loop of the matrix kernel. At the AVX2 level they run four
// points at a time; the vector form performs exactly the scalar form's IEEE operations
// (differences, squares, their sum, + 1e-12, a correctly rounded square root, one rounding to
// the element type), so both give identical bits.
template <typename T>
void distance_row_scalar(double ax, double ay, const T* b, T* out, size_t m) {
  for (size_t j = 0; j < m; ++j) {
    const double dx = ax - static_cast<double>(b[2 * j]);
    const double dy = ay - static_cast<double>(b[2 * j + 1]);
    out[j] = static_cast<T>(std::sqrt((dx * dx + dy * dy) + 1e-12));
  }
}

#if defined(__x86_64__)
#define MIRELON_HAVE_AVX2_ROWS 1

// Two (x, y) pairs as doubles.
__attribute__((target("avx2"))) inline __m256d load_pairs(const double* p) {
  return _mm256_loadu_pd(p);
}
__attribute__((target("avx2"))) inline __m256d load_pairs(const float* p) {
  return _mm256_cvtps_pd(_mm_loadu_ps(p));
}
__attribute__((target("avx2"))) inline void store_four(double* out, __m256d v) {
  _mm256_storeu_pd(out, v);
}
__attribute__((target("avx2"))) inline void store_four(float* out, __m256d v) {
  _mm_storeu_ps(out, _mm256_cvtpd_ps(v));
}

template <typename T>
__attribute__((target("avx2"))) void distance_row_avx2(double ax, double ay, const T* b, T* out,
                                                       size_t m) {
  const __m256d a = _mm256_setr_pd(ax, ay, ax, ay);
  const __m256d eps = _mm256_set1_pd(1e-12);
  size_t j = 0;
  for (; j + 4 <= m; j += 4) {
    const __m256d d01 = _mm256_sub_pd(a, load_pairs(b + 2 * j));      // dx0 dy0 dx1 dy1
    const __m256d d23 = _mm256_sub_pd(a, load_pairs(b + 2 * j + 4));  // dx2 dy2 dx3 dy3
    // dx*dx + dy*dy per point, in the order 0 2 1 3, then put back in order.
    const __m256d s = _mm256_hadd_pd(_mm256_mul_pd(d01, d01), _mm256_mul_pd(d23, d23));
    const __m256d sum = _mm256_permute4x64_pd(s, 0xD8);
    store_four(out + j, _mm256_sqrt_pd(_mm256_add_pd(sum, eps)));
  }
  distance_row_scalar(ax, ay, b + 2 * j, out + j, m - j);
}
#endif

// Row of distances from (ax, ay) to the m points of `b`, evaluated in 64-bit and rounded once
// to the element type, by the body of level L.
template <cpu::Level L, typename T>
void distance_row(double ax, double ay, const T* b, T* out, size_t m) {
#ifdef MIRELON_HAVE_AVX2_ROWS
  if constexpr (L >= cpu::Level::avx2) return distance_row_avx2(ax, ay, b, out, m);
#endif
  distance_row_scalar(ax, ay, b, out, m);
}

}  // namespace points_detail

// One batch of the distance matrix: row i holds the distances of point i of `a` to every point
// of `b`.
template <cpu::Level L, typename T>
void pairwise_fwd_loop(std::span<const T> a, std::span<const T> b, std::span<T> out, size_t m) {
  pool::parallel_rows(out, m, [&](size_t i, std::span<T> row) {
    points_detail::distance_row<L>(static_cast<double>(a[2 * i]),
                                   static_cast<double>(a[2 * i + 1]), b.data(), row.data(), m);
  });
}

template <typename T>
void pairwise_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                  size_t) {
  points_detail::TwoPointSets<T> s;
  if (!s.init(in, r)) return;
  if (!check_length(r, out[0], s.matrix_total(), "output length mismatch")) return;
  if (s.batch == 0) return;
  const std::span<T> d = output_span<T>(out[0]);
  const size_t per_batch = *s.matrix_per_batch();
  cpu::dispatch<cpu::Level::avx2>([&]<cpu::Level L>() {
    for (size_t k = 0; k < s.batch; ++k) {
      pairwise_fwd_loop<L, T>(s.a.block(k), s.b.block(k), d.subspan(k * per_batch, per_batch),
                              s.b_count);
    }
  });
}

template <typename T>
void pairwise_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                  size_t) {
  points_detail::TwoPointSets<T> s;
  if (!s.init(in, r)) return;
  if (!check_length(r, in[2], s.matrix_total(), "cotangent length mismatch")) return;
  // Every position of A and B may receive a contribution.
  if (!check_length_at_least(r, out[0], element_count(in[0]),
                             "first point set gradient too short") ||
      !check_length_at_least(r, out[1], element_count(in[1]),
                             "second point set gradient too short"))
    return;
  zero_fill<T>(out[0]);
  zero_fill<T>(out[1]);
  if (s.batch == 0) return;

  const std::span<const T> g = input_span<T>(in[2]);
  const size_t per_batch = *s.matrix_per_batch();
  const BatchGrad<T> grad_a(output_span<T>(out[0]), s.a);
  const BatchGrad<T> grad_b(output_span<T>(out[1]), s.b);
  for (size_t k = 0; k < s.batch; ++k) {
    const std::span<const T> a = s.a.block(k);
    const std::span<const T> b = s.b.block(k);
    const std::span<T> da = grad_a.block(k);
    const std::span<T> db = grad_b.block(k);
    for (size_t i = 0; i < s.a_count; ++i) {
      const double ax = static_cast<double>(a[2 * i]);
      const double ay = static_cast<double>(a[2 * i + 1]);
      double acc_x = 0.0;
      double acc_y = 0.0;
      const T* grow = g.data() + k * per_batch + i * s.b_count;
      for (size_t j = 0; j < s.b_count; ++j) {
        const double dx = ax - static_cast<double>(b[2 * j]);
        const double dy = ay - static_cast<double>(b[2 * j + 1]);
        const double dist = std::sqrt((dx * dx + dy * dy) + 1e-12);
        const double w = static_cast<double>(grow[j]) / dist;
        const double vx = dx * w;
        const double vy = dy * w;
        db[2 * j] -= static_cast<T>(vx);
        db[2 * j + 1] -= static_cast<T>(vy);
        acc_x += vx;
        acc_y += vy;
      }
      da[2 * i] += static_cast<T>(acc_x);
      da[2 * i + 1] += static_cast<T>(acc_y);
    }
  }
}

// Nearest reference point of every query. A query the hierarchy cannot answer (NaN or infinite
// coordinates, all reference points NaN, squared distances beyond the 64-bit range) gets NaN as
// both distance and index rather than an unwritten output.
template <typename T>
void points_closest_hard_fwd(KernelResult& r, const KernelBuffer* in, size_t,
                             const KernelBuffer* out, size_t) {
  points_detail::TwoPointSets<T> s;  // queries in `a`, reference points in `b`
  if (!s.init(in, r)) return;
  const std::optional<size_t> total = s.per_first_point();
  if (!check_length(r, out[0], total, "output length mismatch")) return;
  if (!check_length(r, out[1], total, "output length mismatch")) return;
  if (s.batch == 0) return;
  const std::span<T> dist = output_span<T>(out[0]);
  const std::span<T> index = output_span<T>(out[1]);
  const auto store = [&](size_t, size_t, size_t j, const std::optional<NearestHit>& hit,
                         const double*) {
    if (hit) {
      dist[j] = static_cast<T>(std::sqrt(hit->d2 + 1e-12));
      index[j] = static_cast<T>(static_cast<double>(hit->index));
    } else {
      dist[j] = std::numeric_limits<T>::quiet_NaN();
      index[j] = std::numeric_limits<T>::quiet_NaN();
    }
  };
  for_each_nearest(ReferenceSets<T>{s.b, s.b_count, BvhBlockKind::points}, s.a, s.batch,
                   s.a_count, store);
}

template <typename T>
void points_closest_hard_vjp(KernelResult& r, const KernelBuffer* in, size_t,
                             const KernelBuffer* out, size_t) {
  points_detail::TwoPointSets<T> s;  // queries in `a`, reference points in `b`
  if (!s.init(in, r)) return;
  const std::optional<size_t> total = s.per_first_point();
  if (!check_length(r, in[3], total, "residual/cotangent length mismatch") ||
      !check_length(r, in[2], total, "residual/cotangent length mismatch"))
    return;
  if (!points_detail::check_point_gradients(r, in, out)) return;
  const std::span<const T> residual = input_span<T>(in[2]);
  if (!check_residual_indices<T>(r, residual, *total, s.b_count, "point")) return;

  zero_fill<T>(out[0]);
  zero_fill<T>(out[1]);
  if (s.batch == 0) return;

  const std::span<const T> g = input_span<T>(in[3]);
  const BatchGrad<T> grad_q(output_span<T>(out[0]), s.a);
  const BatchGrad<T> grad_r(output_span<T>(out[1]), s.b);
  const T eps = static_cast<T>(1e-12);
  for (size_t b = 0; b < s.batch; ++b) {
    const std::span<const T> q = s.a.block(b);
    const std::span<const T> ref = s.b.block(b);
    const std::span<T> gq = grad_q.block(b);
    const std::span<T> gr = grad_r.block(b);
    for (size_t j = 0; j < s.a_count; ++j) {
      const size_t p = b * s.a_count + j;
      const size_t k = static_cast<size_t>(saturating_to_u64(static_cast<double>(residual[p])));
      const T dx = q[2 * j] - ref[2 * k];
      const T dy = q[2 * j + 1] - ref[2 * k + 1];
      const T dist = std::sqrt((dx * dx + dy * dy) + eps);
      const T w = g[p] / dist;
      gq[2 * j] += dx * w;
      gq[2 * j + 1] += dy * w;
      gr[2 * k] -= dx * w;
      gr[2 * k + 1] -= dy * w;
    }
  }
}

MIRELON_INSTANTIATE_KERNEL(pairwise_fwd);
MIRELON_INSTANTIATE_KERNEL(pairwise_vjp);
MIRELON_INSTANTIATE_KERNEL(points_closest_hard_fwd);
MIRELON_INSTANTIATE_KERNEL(points_closest_hard_vjp);

}  // namespace mirelon

// ================================================================================================
// Soft closest points and row reductions: every query against every reference point of its
// batch, reduced to one number per query (soft minimum; maximum, soft maximum, mean, count within
// a radius, soft count), forward and gradient. No hierarchy: each pass over a row recomputes the
// distances instead of storing them.

namespace mirelon {

namespace points_detail {

// The two point sets and a per-batch parameter (input 2): one value for every batch, or one per
// batch. Its count joins the batch-count rule after the two point sets.
template <typename T>
struct PointSetsWithParam {
  TwoPointSets<T> sets;  // queries in `a`, reference points in `b`
  BatchView<const T> param;

  bool init(const KernelBuffer* in, KernelResult& r) {
    if (!sets.init(in, r)) return false;
    param.init(input_span<T>(in[2]), 1, r);  // inner size 1: cannot fail
    return unify_batch_counts({sets.batch, param.batch_count()}, sets.batch, r);
  }
  T value(size_t b) const { return param.block(b)[0]; }

  // What the gradients start with: the operands, the cotangent (input 3, one per query) and the
  // two point gradients checked, the gradients zero-filled.
  bool init_gradient(const KernelBuffer* in, const KernelBuffer* out, KernelResult& r) {
    if (!init(in, r)) return false;
    if (!check_length(r, in[3], sets.per_first_point(), "cotangent length mismatch")) return false;
    if (!check_point_gradients(r, in, out)) return false;
    zero_fill<T>(out[0]);
    zero_fill<T>(out[1]);
    return true;
  }
};

// Smoothed distance of query (qx, qy) to reference point j of `ref`, evaluated in C (the element
// type, or double for the copies that widen): the two squares added first, then 1e-12 rounded to
// C.
template <typename C, typename T>
inline C point_distance(C qx, C qy, const T* ref, size_t j, C& dx, C& dy) {
  dx = qx - static_cast<C>(ref[2 * j]);
  dy = qy - static_cast<C>(ref[2 * j + 1]);
  return std::sqrt((dy * dy + dx * dx) + static_cast<C>(1e-12));
}

template <typename C, typename T>
inline C point_distance(C qx, C qy, const T* ref, size_t j) {
  C dx, dy;
  return point_distance(qx, qy, ref, j, dx, dy);
}

// The first index of the smallest (or, with `largest`, the largest) distance of a row, with the
// extremum itself: NaN distances are skipped, the index moves only on a strictly better value,
// so ties keep the lower index; a row of NaN gives index 0 and the infinity it started from.
template <typename C, typename T>
inline size_t row_extremum(C qx, C qy, const T* ref, size_t n, bool largest, C& extremum) {
  C best = largest ? -std::numeric_limits<C>::infinity() : std::numeric_limits<C>::infinity();
  size_t at = 0;
  for (size_t j = 0; j < n; ++j) {
    const C d = point_distance<C>(qx, qy, ref, j);
    if (largest ? d > best : d < best) {
      best = d;
      at = j;
    }
  }
  extremum = best;
  return at;
}

// One gradient contribution of coefficient c for reference point j: c * (dx, dy) added to the
// query's gradient, subtracted from point j's. In the element type when C is T; rounded to T
// first when C is wider.
template <typename T, typename C>
inline void add_contribution(T* gq, T* gr, size_t j, C c, C dx, C dy) {
  const T vx = static_cast<T>(c * dx);
  const T vy = static_cast<T>(c * dy);
  gq[0] += vx;
  gq[1] += vy;
  gr[2 * j] -= vx;
  gr[2 * j + 1] -= vy;
}

// ---- forward rows in lanes ----------------------------------------------------------------
// The forward reductions take `width` queries at a time, one per lane, each lane running exactly
// the scalar sequence of its query; the queries left over run one lane wide. Same bits at every
// level and for every split of the queries.

template <typename S, typename T>
[[gnu::always_inline]] inline void load_queries(const T* q, typename S::V& x, typename S::V& y) {
  using C = typename S::Scalar;
  for (size_t k = 0; k < S::width; ++k) {
    x.v[k] = static_cast<C>(q[2 * k]);
    y.v[k] = static_cast<C>(q[2 * k + 1]);
  }
}

// point_distance in lanes: the queries against reference point j.
template <typename S, typename T>
[[gnu::always_inline]] inline typename S::V distance_lanes(const typename S::V& qx,
                                                           const typename S::V& qy, const T* ref,
                                                           size_t j, const typename S::V& eps) {
  using C = typename S::Scalar;
  const auto dx = S::sub(qx, S::set1(static_cast<C>(ref[2 * j])));
  const auto dy = S::sub(qy, S::set1(static_cast<C>(ref[2 * j + 1])));
  return S::sqrt(S::add(S::add(S::mul(dy, dy), S::mul(dx, dx)), eps));
}

// exp of every lane through the math library, one call per lane.
template <typename V>
[[gnu::always_inline]] inline void exp_lanes(V& a) {
  for (auto& x : a.v) x = std::exp(x);
}

// Runs Body over queries [begin, end): groups of `width` at level L, then one at a time.
template <cpu::Level L, typename C, typename Body, typename T, typename... Args>
void queries_in_lanes(const T* q, T* out, size_t begin, size_t end, const Args&... args) {
  constexpr size_t w = lanes::Lanes<L, C>::width;
  size_t i = begin;
  for (; w > 1 && i + w <= end; i += w) lanes::run_at<L, C, Body>(q + 2 * i, out + i, args...);
  for (; i < end; ++i) lanes::run_at<cpu::Level::portable, C, Body>(q + 2 * i, out + i, args...);
}

// Soft minima of a group of queries, in T arithmetic: the plain minimum when tau <= 0, else
// m - tau * ln(sum of exp((m - d_j) / tau)) with m the minimum, summed in increasing j.
struct SoftMinQueries {
  template <typename S, typename T>
  [[gnu::always_inline]] static void run(const T* q, T* out, const T* ref, size_t n, T tau) {
    using V = typename S::V;
    V qx, qy;
    load_queries<S>(q, qx, qy);
    const V eps = S::set1(static_cast<T>(1e-12));
    V m = S::set1(std::numeric_limits<T>::infinity());
    for (size_t j = 0; j < n; ++j) {
      const V d = distance_lanes<S>(qx, qy, ref, j, eps);
      m = S::where_lt(d, m, d, m);  // a NaN distance keeps the running minimum
    }
    if (tau <= T(0)) {
      S::store_as(out, m);
      return;
    }
    const V t = S::set1(tau);
    V sum = S::set1(T(0));
    for (size_t j = 0; j < n; ++j) {
      V e = S::div(S::sub(m, distance_lanes<S>(qx, qy, ref, j, eps)), t);
      exp_lanes(e);
      sum = S::add(sum, e);
    }
    V result;
    for (size_t k = 0; k < S::width; ++k) result.v[k] = m.v[k] - tau * std::log(sum.v[k]);
    S::store_as(out, result);
  }
};

}  // namespace points_detail

// One batch of soft minima: query i of `queries` against the n points of `ref`, at level L.
template <cpu::Level L, typename T>
void points_closest_soft_fwd_loop(std::span<const T> queries, std::span<const T> ref, size_t n,
                                  T tau, std::span<T> out) {
  pool::parallel_for(out.size(), [&](size_t begin, size_t end) {
    points_detail::queries_in_lanes<L, T, points_detail::SoftMinQueries>(
        queries.data(), out.data(), begin, end, ref.data(), n, tau);
  });
}

template <typename T>
void points_closest_soft_fwd(KernelResult& r, const KernelBuffer* in, size_t,
                             const KernelBuffer* out, size_t) {
  points_detail::PointSetsWithParam<T> p;
  if (!p.init(in, r)) return;
  const auto& s = p.sets;
  const std::optional<size_t> total = s.per_first_point();
  if (!check_length(r, out[0], total, "output length mismatch")) return;
  if (s.batch == 0) return;
  const std::span<T> result = output_span<T>(out[0]);
  cpu::dispatch([&]<cpu::Level L>() {
    for (size_t b = 0; b < s.batch; ++b) {
      points_closest_soft_fwd_loop<L, T>(s.a.block(b), s.b.block(b), s.b_count, p.value(b),
                                         result.subspan(b * s.a_count, s.a_count));
    }
  });
}

template <typename T>
void points_closest_soft_vjp(KernelResult& r, const KernelBuffer* in, size_t,
                             const KernelBuffer* out, size_t) {
  points_detail::PointSetsWithParam<T> p;
  if (!p.init_gradient(in, out, r)) return;
  const auto& s = p.sets;
  if (s.batch == 0) return;

  const std::span<const T> g = input_span<T>(in[3]);
  const BatchGrad<T> gq(output_span<T>(out[0]), s.a);
  const BatchGrad<T> gr(output_span<T>(out[1]), s.b);
  const size_t n = s.b_count;
  // Every quantity in T: the 32-bit copy works in single precision throughout.
  for (size_t b = 0; b < s.batch; ++b) {
    const T* q = s.a.block(b).data();
    const T* ref = s.b.block(b).data();
    T* gq_block = gq.block(b).data();
    T* gr_block = gr.block(b).data();
    const T tau = p.value(b);
    const bool hard = tau <= T(0);
    for (size_t i = 0; i < s.a_count; ++i) {
      const T qx = q[2 * i], qy = q[2 * i + 1];
      const T gi = g[b * s.a_count + i];
      T m;
      const size_t nearest = points_detail::row_extremum<T>(qx, qy, ref, n, false, m);
      T sum = T(0);
      if (!hard) {
        for (size_t j = 0; j < n; ++j)
          sum += std::exp((m - points_detail::point_distance<T>(qx, qy, ref, j)) / tau);
      }
      for (size_t j = 0; j < n; ++j) {
        T dx, dy;
        const T d = points_detail::point_distance<T>(qx, qy, ref, j, dx, dy);
        const T w = hard ? (j == nearest ? T(1) : T(0)) : std::exp((m - d) / tau) / sum;
        points_detail::add_contribution<T>(gq_block + 2 * i, gr_block, j, w * gi / d, dx, dy);
      }
    }
  }
}

// ---- row reductions --------------------------------------------------------------------------

namespace points_detail {

enum class RowReduceKind : int64_t {
  maximum = 0,
  soft_maximum = 1,
  mean = 2,
  count_within = 3,
  soft_count = 4,
};

// The kind code from element 0 of `k`: truncated toward zero with saturation (NaN giving 0); a
// code outside 0..4 is rejected with its signed value.
template <typename T>
bool row_reduce_kind(KernelResult& r, const KernelBuffer& k, RowReduceKind& kind) {
  if (!check_length_at_least(r, k, 1, "row-reduce kind operand is empty")) return false;
  const int64_t code = saturating_to_i64(static_cast<double>(input_span<T>(k)[0]));
  if (static_cast<uint64_t>(code) >= 5) {
    r.fail(message("unknown row-reduce kind ", code));
    return false;
  }
  kind = static_cast<RowReduceKind>(code);
  return true;
}

// Width of the soft count's logistic step: p / 20, floored at 1e-9 (a NaN p gives the floor).
inline double soft_count_width(double p) {
  const double w = p / 20.0;
  return w > 1e-9 ? w : 1e-9;
}

inline double soft_count_step(double d, double p, double w) {
  return 1.0 / (std::exp((d - p) / w) + 1.0);
}

// The reductions of a group of queries, in 64-bit arithmetic whatever the element type, each
// rounded once to T.
struct ReduceQueries {
  template <typename S, typename T>
  [[gnu::always_inline]] static void run(const T* q, T* out, RowReduceKind kind, const T* ref,
                                         size_t n, double p) {
    using V = typename S::V;
    V qx, qy;
    load_queries<S>(q, qx, qy);
    const V eps = S::set1(1e-12);
    const V zero = S::set1(0.0), one = S::set1(1.0), pv = S::set1(p);
    V result = zero;
    switch (kind) {
      case RowReduceKind::maximum:
      case RowReduceKind::soft_maximum: {
        V m = S::set1(-std::numeric_limits<double>::infinity());
        for (size_t j = 0; j < n; ++j) {
          const V d = distance_lanes<S>(qx, qy, ref, j, eps);
          m = S::where_gt(d, m, d, m);  // a NaN distance keeps the running maximum
        }
        result = m;
        if (kind == RowReduceKind::maximum || p <= 0.0) break;
        V sum = zero;
        for (size_t j = 0; j < n; ++j) {
          V e = S::div(S::sub(distance_lanes<S>(qx, qy, ref, j, eps), m), pv);
          exp_lanes(e);
          sum = S::add(sum, e);
        }
        for (size_t k = 0; k < S::width; ++k) result.v[k] = m.v[k] + p * std::log(sum.v[k]);
        break;
      }
      case RowReduceKind::mean: {
        V sum = zero;
        for (size_t j = 0; j < n; ++j) sum = S::add(sum, distance_lanes<S>(qx, qy, ref, j, eps));
        result = S::div(sum, S::set1(static_cast<double>(n)));
        break;
      }
      case RowReduceKind::count_within: {
        // Counted in 64-bit floats: exact far beyond any row length.
        for (size_t j = 0; j < n; ++j)
          result = S::add(result, S::where_le(distance_lanes<S>(qx, qy, ref, j, eps), pv, one, zero));
        break;
      }
      case RowReduceKind::soft_count: {
        const V w = S::set1(soft_count_width(p));
        for (size_t j = 0; j < n; ++j) {
          V e = S::div(S::sub(distance_lanes<S>(qx, qy, ref, j, eps), pv), w);
          exp_lanes(e);
          result = S::add(result, S::div(one, S::add(e, one)));
        }
        break;
      }
    }
    S::store_as(out, result);
  }
};

}  // namespace points_detail

// One batch of reductions: query i of `queries` against the n points of `ref`, parameter p, at
// level L.
template <cpu::Level L, typename T>
void row_reduce_fwd_loop(std::span<const T> queries, std::span<const T> ref, double p,
                         points_detail::RowReduceKind kind, size_t n, std::span<T> out) {
  pool::parallel_for(out.size(), [&](size_t begin, size_t end) {
    points_detail::queries_in_lanes<L, double, points_detail::ReduceQueries>(
        queries.data(), out.data(), begin, end, kind, ref.data(), n, p);
  });
}

template <typename T>
void row_reduce_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                    size_t) {
  points_detail::RowReduceKind kind;
  if (!points_detail::row_reduce_kind<T>(r, in[3], kind)) return;
  points_detail::PointSetsWithParam<T> p;
  if (!p.init(in, r)) return;
  const auto& s = p.sets;
  if (!check_length(r, out[0], s.per_first_point(), "output length mismatch")) return;
  if (s.batch == 0) return;
  const std::span<T> result = output_span<T>(out[0]);
  cpu::dispatch([&]<cpu::Level L>() {
    for (size_t b = 0; b < s.batch; ++b) {
      row_reduce_fwd_loop<L, T>(s.a.block(b), s.b.block(b), static_cast<double>(p.value(b)),
                                kind, s.b_count, result.subspan(b * s.a_count, s.a_count));
    }
  });
}

template <typename T>
void row_reduce_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                    size_t) {
  using points_detail::RowReduceKind;
  RowReduceKind kind;
  if (!points_detail::row_reduce_kind<T>(r, in[4], kind)) return;
  points_detail::PointSetsWithParam<T> p;
  if (!p.init_gradient(in, out, r)) return;
  const auto& s = p.sets;
  if (s.batch == 0 || kind == RowReduceKind::count_within) return;

  const std::span<const T> g = input_span<T>(in[3]);
  const BatchGrad<T> gq(output_span<T>(out[0]), s.a);
  const BatchGrad<T> gr(output_span<T>(out[1]), s.b);
  const size_t n = s.b_count;
  const double inv_n = 1.0 / static_cast<double>(n);
  // 64-bit arithmetic in both copies; each term is rounded to T before it is applied.
  for (size_t b = 0; b < s.batch; ++b) {
    const T* q = s.a.block(b).data();
    const T* ref = s.b.block(b).data();
    T* gr_block = gr.block(b).data();
    const double pb = static_cast<double>(p.value(b));
    const bool hard_max =
        kind == RowReduceKind::maximum || (kind == RowReduceKind::soft_maximum && pb <= 0.0);
    const double w = points_detail::soft_count_width(pb);
    for (size_t i = 0; i < s.a_count; ++i) {
      const double qx = static_cast<double>(q[2 * i]);
      const double qy = static_cast<double>(q[2 * i + 1]);
      const double gi = static_cast<double>(g[b * s.a_count + i]);
      T* gq_point = gq.block(b).data() + 2 * i;
      double dx, dy;
      if (hard_max) {
        double m;
        const size_t far = points_detail::row_extremum<double>(qx, qy, ref, n, true, m);
        const double d = points_detail::point_distance<double>(qx, qy, ref, far, dx, dy);
        points_detail::add_contribution<T>(gq_point, gr_block, far, gi / d, dx, dy);
        continue;
      }
      if (kind == RowReduceKind::soft_maximum) {
        double m;
        points_detail::row_extremum<double>(qx, qy, ref, n, true, m);
        double sum = 0.0;
        for (size_t j = 0; j < n; ++j)
          sum += std::exp((points_detail::point_distance<double>(qx, qy, ref, j) - m) / pb);
        for (size_t j = 0; j < n; ++j) {
          const double d = points_detail::point_distance<double>(qx, qy, ref, j, dx, dy);
          const double c = std::exp((d - m) / pb) / sum * gi / d;
          points_detail::add_contribution<T>(gq_point, gr_block, j, c, dx, dy);
        }
        continue;
      }
      for (size_t j = 0; j < n; ++j) {
        const double d = points_detail::point_distance<double>(qx, qy, ref, j, dx, dy);
        double c;
        if (kind == RowReduceKind::mean) {
          c = (gi * inv_n) / d;
        } else {  // soft count
          const double step = points_detail::soft_count_step(d, pb, w);
          c = (-step) * (1.0 - step) / w * gi / d;
        }
        points_detail::add_contribution<T>(gq_point, gr_block, j, c, dx, dy);
      }
    }
  }
}

MIRELON_INSTANTIATE_KERNEL(points_closest_soft_fwd);
MIRELON_INSTANTIATE_KERNEL(points_closest_soft_vjp);
MIRELON_INSTANTIATE_KERNEL(row_reduce_fwd);
MIRELON_INSTANTIATE_KERNEL(row_reduce_vjp);

}  // namespace mirelon
