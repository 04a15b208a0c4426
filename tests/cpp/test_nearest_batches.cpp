// The nearest-item forwards over many batches. A small set's in-place hierarchy against the
// allocated one (same tree, same answers at every level), and each forward against the answers of
// the cached hierarchy taken batch by batch, bit for bit: sets below, at and above the size that
// skips the cache, one set for every batch or one per batch (more than the cache keeps), exact
// ties between leaves, duplicate and NaN items, NaN and infinite queries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "cpu.hpp"
#include "geometry/bvh.hpp"
#include "geometry/cache.hpp"
#include "geometry/segment_math.hpp"
#include "kernel_call.hpp"
#include "targets.hpp"

namespace mirelon {
namespace {

using test_support::same_bits;

// Coordinates on a grid of half steps in [-2, 2] (exact ties everywhere, also between leaves)
// or spread over [-10, 10], with specials: every 11th word NaN, every 13th a copy of the word
// `period` places back (duplicate items), every 17th infinite.
template <typename T>
std::vector<T> words(size_t count, size_t period, uint64_t seed, bool grid) {
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<int> step(-4, 4);
  std::uniform_real_distribution<double> spread(-10.0, 10.0);
  std::vector<T> w(count);
  for (size_t k = 0; k < count; ++k) {
    w[k] = static_cast<T>(grid ? 0.5 * step(rng) : spread(rng));
    if (k % 11 == 5) w[k] = std::numeric_limits<T>::quiet_NaN();
    if (k % 13 == 7 && k >= period) w[k] = w[k - period];
    if (k % 17 == 9) w[k] = std::numeric_limits<T>::infinity();
  }
  return w;
}

// Query points: grid and spread ones (at every count, so that lane groups end part-filled), then
// NaN, infinite and (in 64-bit) overflowing ones.
template <typename T>
std::vector<T> queries(size_t count, uint64_t seed) {
  std::vector<T> q = words<T>(2 * count, 2, seed, seed % 2 == 0);
  const T big = static_cast<T>(1e200);  // infinite in 32-bit
  const T nan = std::numeric_limits<T>::quiet_NaN();
  const T specials[] = {nan, T(0), T(1), std::numeric_limits<T>::infinity(), big, -big};
  std::copy(std::begin(specials), std::end(specials), q.end() - 6);
  return q;
}

std::vector<cpu::Level> levels() {
  std::vector<cpu::Level> out;
  for (cpu::Level l : {cpu::Level::portable, cpu::Level::avx2, cpu::Level::avx512})
    if (l <= cpu::machine()) out.push_back(l);
  return out;
}

class LocalHierarchy : public ::testing::TestWithParam<BvhItemKind> {};

TEST_P(LocalHierarchy, HasTheAllocatedTreeAndItsAnswersAtEveryLevel) {
  const BvhItemKind kind = GetParam();
  const size_t per = kind == BvhItemKind::point ? 2 : 4;
  constexpr size_t kQueries = 61;
  for (size_t n = 1; n <= kLocalBvhCapacity; ++n) {
    for (const bool grid : {true, false}) {
      const std::vector<double> items = words<double>(per * n, per, 100 * n + grid, grid);
      const Bvh heap =
          kind == BvhItemKind::point ? bvh_build_points(items, n) : bvh_build_segments(items, n);
      LocalBvh local;
      std::copy(items.begin(), items.end(), local.items.begin());
      local_bvh_build(local, kind, n);
      ASSERT_EQ(local.node_count, heap.nodes.size()) << n;
      for (size_t k = 0; k < local.node_count; ++k) {
        const BvhNode& a = local.nodes[k];
        const BvhNode& b = heap.nodes[k];
        EXPECT_TRUE(a.kind == b.kind && a.a == b.a && a.b == b.b && same_bits(a.min_x, b.min_x) &&
                    same_bits(a.min_y, b.min_y) && same_bits(a.max_x, b.max_x) &&
                    same_bits(a.max_y, b.max_y))
            << "n " << n << " node " << k;
      }
      EXPECT_TRUE(std::equal(heap.order.begin(), heap.order.end(), local.order.begin())) << n;

      const std::vector<double> q = queries<double>(kQueries, n + grid);
      std::vector<double> qx(kQueries), qy(kQueries);
      for (size_t j = 0; j < kQueries; ++j) {
        qx[j] = q[2 * j];
        qy[j] = q[2 * j + 1];
      }
      for (const cpu::Level level : levels()) {
        std::optional<NearestHit> hits[kQueries];
        local_bvh_nearest(local, kind, qx.data(), qy.data(), kQueries, hits, level);
        for (size_t j = 0; j < kQueries; ++j) {
          const auto want =
              kind == BvhItemKind::point
                  ? bvh_nearest_point(heap, items, n, qx[j], qy[j])
                  : bvh_nearest_segment(heap, items, n, qx[j], qy[j], cpu::Level::portable);
          ASSERT_EQ(hits[j].has_value(), want.has_value())
              << "n " << n << " query " << j << " at " << cpu::name(level);
          if (!want) continue;
          EXPECT_TRUE(hits[j]->index == want->index && same_bits(hits[j]->d2, want->d2) &&
                      same_bits(hits[j]->x, want->x) && same_bits(hits[j]->y, want->y))
              << "n " << n << " query " << j << " at " << cpu::name(level);
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, LocalHierarchy,
                         ::testing::Values(BvhItemKind::point, BvhItemKind::segment));

// The closest point of segment 2 at t = 1, x0 + (x1 - x0), rounds one step past x1, the right
// end of its leaf's box: the query at (x1 + 5, 0) is nearer to it than 5, the box distance. The
// other leaf, nearer, holds items at exactly 5, which prune the first leaf: the traversal answers
// one of them, where a scan of every segment would take segment 2.
TEST(LocalHierarchyPruning, SkipsALeafWhoseSegmentRoundsPastItsBox) {
  const double x0 = 5.705446293870352;
  const double x1 = 1000.7690673858593;
  ASSERT_GT(x0 + (x1 - x0), x1);
  const std::vector<double> segs = {
      -50, 0, -50, 0,  -40, 0, -40, 0,  x0, 0, x1, 0,  -30, 0, -30, 0,  // left leaf
      x1 + 2, 4, x1 + 2, 4,  x1 + 2, -4, x1 + 2, -4,  x1 + 100, 0, x1 + 100, 0,
      x1 + 100, 4, x1 + 100, 4,  x1 + 100, -4, x1 + 100, -4};
  const Bvh heap = bvh_build_segments(segs, 9);
  const double qx = x1 + 5;
  const double qy = 0;
  const auto want = bvh_nearest_segment(heap, segs, 9, qx, qy, cpu::Level::portable);
  ASSERT_TRUE(want);
  EXPECT_TRUE(want->index == 4 || want->index == 5);
  EXPECT_EQ(want->d2, 25.0);
  LocalBvh local;
  std::copy(segs.begin(), segs.end(), local.items.begin());
  local_bvh_build(local, BvhItemKind::segment, 9);
  for (const cpu::Level level : levels()) {
    std::optional<NearestHit> hit;
    local_bvh_nearest(local, BvhItemKind::segment, &qx, &qy, 1, &hit, level);
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->index, want->index) << cpu::name(level);
    EXPECT_EQ(hit->d2, 25.0) << cpu::name(level);
  }
}

// ---- the forwards against the per-batch cached hierarchy ----------------------------------------

// One forward call on buffers of exactly the given sizes; its outputs start as a sentinel.
template <typename T>
std::vector<std::vector<T>> run(KernelFn f, const std::vector<std::vector<int64_t>>& dims,
                                std::vector<std::vector<T>> values, size_t outputs,
                                size_t total) {
  std::vector<KernelBuffer> in, out;
  for (size_t k = 0; k < values.size(); ++k) in.push_back(test_support::buffer(values[k], dims[k]));
  std::vector<std::vector<T>> results(outputs, std::vector<T>(total, test_support::kSentinel<T>));
  for (auto& r : results) out.push_back(test_support::buffer(r, {static_cast<int64_t>(total)}));
  EXPECT_EQ(test_support::run(f, in, out), "");
  return results;
}

// The forwards' outputs as the per-batch path forms them: batch b's cached entry (`entry(b)`),
// each query through bvh_nearest_point (two outputs) or bvh_nearest_segment (three, the
// distance multiplied by sign(b, qx, qy)).
template <typename T, typename Entry, typename Sign>
std::vector<std::vector<T>> per_batch(const std::vector<T>& q, size_t batches, size_t m,
                                      size_t outputs, Entry entry, Sign sign) {
  std::vector<std::vector<T>> out(outputs, std::vector<T>(batches * m));
  for (size_t b = 0; b < batches; ++b) {
    const SharedBvhEntry e = entry(b);
    for (size_t j = b * m; j < (b + 1) * m; ++j) {
      const T qx = q[2 * j];
      const T qy = q[2 * j + 1];
      const auto hit = outputs == 2
                           ? bvh_nearest_point(e->hierarchy, e->items, e->count, qx, qy)
                           : bvh_nearest_segment(e->hierarchy, e->items, e->count, qx, qy,
                                                 cpu::Level::portable);
      for (auto& o : out) o[j] = std::numeric_limits<T>::quiet_NaN();
      if (!hit) continue;
      out[0][j] = static_cast<T>(std::sqrt(hit->d2 + 1e-12)) * sign(b, qx, qy);
      out[1][j] = static_cast<T>(static_cast<double>(hit->index));
      if (outputs == 3)
        out[2][j] = static_cast<T>(segment_math::segment_position(
            qx, qy, e->items.data() + 4 * hit->index));
    }
  }
  return out;
}

template <typename T>
void expect_same_bits(const std::vector<std::vector<T>>& got,
                      const std::vector<std::vector<T>>& want, const char* what, size_t n) {
  for (size_t k = 0; k < want.size(); ++k)
    for (size_t j = 0; j < want[k].size(); ++j)
      ASSERT_TRUE(same_bits(got[k][j], want[k][j]))
          << what << " n " << n << " output " << k << " element " << j << " at "
          << cpu::name(cpu::active()) << ": " << got[k][j] << " vs " << want[k][j];
}

template <typename T>
class NearestBatches : public ::testing::Test {
 protected:
  void TearDown() override { cpu::cap(cpu::Level::avx512); }
};

using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(NearestBatches, ElementTypes);

TYPED_TEST(NearestBatches, ForwardsGiveTheAnswersOfTheCachedHierarchyBatchByBatch) {
  using T = TypeParam;
  constexpr size_t m = 13;
  const auto no_sign = [](size_t, T, T) { return T(1); };
  for (const size_t n : {size_t{1}, size_t{3}, size_t{8}, size_t{9}, size_t{17},
                         kLocalBvhCapacity, kLocalBvhCapacity + 1, size_t{150}}) {
    for (const size_t sets : {size_t{1}, size_t{70}}) {  // shared, or more than the cache keeps
      const size_t batches = sets == 1 ? 5 : sets;
      const size_t nv = std::max<size_t>(n, 3);  // rings need three vertices
      const bool grid = n % 2 == 1;
      const std::vector<T> q = queries<T>(batches * m, n + sets);
      // A point set and a ring per batch or one for all; one segment list for every batch, of n
      // records or of `sets` x n.
      const std::vector<T> refs = words<T>(sets * 2 * n, 2, 7 * n + sets, grid);
      const std::vector<T> segs = words<T>(sets * 4 * n, 4, 11 * n + sets, grid);
      const std::vector<T> rings = words<T>(sets * 2 * nv, 2, 13 * n + sets, grid);
      const auto block = [&](const std::vector<T>& w, size_t b, size_t size) {
        return std::span<const T>(w).subspan(sets == 1 ? 0 : b * size, size);
      };
      const auto want_points = per_batch<T>(
          q, batches, m, 2, [&](size_t b) { return cached_point_bvh<T>(block(refs, b, 2 * n), n); },
          no_sign);
      const auto want_segments = per_batch<T>(
          q, batches, m, 3,
          [&](size_t) {
            return cached_segment_bvh<T>(segs, segs.size(), segs.size() / 4, kSegmentListMode);
          },
          no_sign);
      const auto want_polygons = per_batch<T>(
          q, batches, m, 3,
          [&](size_t b) {
            return cached_segment_bvh<T>(block(rings, b, 2 * nv), 2 * nv, nv, kClosedRingMode);
          },
          [&](size_t b, T qx, T qy) {
            return segment_math::crossing_parity_odd<T>(qx, qy, block(rings, b, 2 * nv)) ? T(-1)
                                                                                        : T(1);
          });
      const int64_t db = static_cast<int64_t>(batches), dm = static_cast<int64_t>(m);
      const int64_t ds = static_cast<int64_t>(sets), dn = static_cast<int64_t>(n);
      for (const cpu::Level level : levels()) {
        cpu::cap(level);
        const size_t total = batches * m;
        expect_same_bits(run<T>(&points_closest_hard_fwd<T>, {{db, dm, 2}, {ds, dn, 2}},
                                {q, refs}, 2, total),
                         want_points, "points", n);
        expect_same_bits(run<T>(&segments_closest_fwd<T>, {{db, dm, 2}, {ds, dn, 4}},
                                {q, segs}, 3, total),
                         want_segments, "segments", n);
        expect_same_bits(run<T>(&polygon_sd_fwd<T>,
                                {{db, dm, 2}, {ds, static_cast<int64_t>(nv), 2}}, {q, rings}, 3,
                                total),
                         want_polygons, "polygons", n);
      }
    }
  }
}

}  // namespace
}  // namespace mirelon
