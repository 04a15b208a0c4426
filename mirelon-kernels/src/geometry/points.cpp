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
#include "geometry/cache.hpp"
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
  // One value per point of input 0 in every batch (batch * a_count), if that fits.
  std::optional<size_t> per_first_point() const { return checked_size(batch, a_count); }
};

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
  const std::optional<size_t> per_batch = s.matrix_per_batch();
  const std::optional<size_t> total = per_batch ? checked_size(s.batch, *per_batch) : std::nullopt;
  if (!check_length(r, out[0], total, "output length mismatch")) return;
  if (s.batch == 0) return;
  const std::span<T> d = output_span<T>(out[0]);
  cpu::dispatch<cpu::Level::avx2>([&]<cpu::Level L>() {
    for (size_t k = 0; k < s.batch; ++k) {
      pairwise_fwd_loop<L, T>(s.a.block(k), s.b.block(k), d.subspan(k * *per_batch, *per_batch),
                              s.b_count);
    }
  });
}

template <typename T>
void pairwise_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                  size_t) {
  points_detail::TwoPointSets<T> s;
  if (!s.init(in, r)) return;
  const std::optional<size_t> per_batch = s.matrix_per_batch();
  const std::optional<size_t> total = per_batch ? checked_size(s.batch, *per_batch) : std::nullopt;
  if (!check_length(r, in[2], total, "cotangent length mismatch")) return;
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
      const T* grow = g.data() + k * *per_batch + i * s.b_count;
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

// One batch of nearest-point queries against a cached hierarchy. A query the hierarchy cannot
// answer (NaN or infinite coordinates, all reference points NaN, squared distances beyond the
// 64-bit range) gets NaN as both distance and index rather than an unwritten output.
template <typename T>
void points_closest_hard_fwd_loop(const BvhCacheEntry& entry, std::span<const T> queries,
                                  std::span<T> dist, std::span<T> index) {
  const size_t count = dist.size();
  const size_t n = entry.count;
  pool::parallel_for(count, [&](size_t begin, size_t end) {
    for (size_t j = begin; j < end; ++j) {
      const double qx = static_cast<double>(queries[2 * j]);
      const double qy = static_cast<double>(queries[2 * j + 1]);
      const std::optional<NearestHit> hit =
          bvh_nearest_point(entry.hierarchy, entry.items, n, qx, qy);
      if (hit) {
        dist[j] = static_cast<T>(std::sqrt(hit->d2 + 1e-12));
        index[j] = static_cast<T>(static_cast<double>(hit->index));
      } else {
        dist[j] = std::numeric_limits<T>::quiet_NaN();
        index[j] = std::numeric_limits<T>::quiet_NaN();
      }
    }
  });
}

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
  for (size_t k = 0; k < s.batch; ++k) {
    // Held for the whole loop: the workers borrow it read-only, and the cache may drop it
    // meanwhile without invalidating it.
    const SharedBvhEntry entry = cached_point_bvh<T>(s.b.block(k), s.b_count);
    points_closest_hard_fwd_loop<T>(*entry, s.a.block(k), dist.subspan(k * s.a_count, s.a_count),
                                    index.subspan(k * s.a_count, s.a_count));
  }
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
  // Every position of an input may receive a contribution.
  if (!check_length_at_least(r, out[0], element_count(in[0]), "query gradient too short")) return;
  if (!check_length_at_least(r, out[1], element_count(in[1]), "reference gradient too short"))
    return;
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
