// The 2-D hierarchy (structure and nearest queries against brute force) and the process-wide
// hierarchy cache (hits, separate keys, the bound, collision safety, concurrent use).
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "geometry/bvh.hpp"
#include "geometry/cache.hpp"

namespace mirelon {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::vector<double> random_words(size_t count, uint64_t seed, double scale = 10.0) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-scale, scale);
  std::vector<double> w(count);
  for (double& v : w) v = u(rng);
  return w;
}

struct Brute {
  uint64_t index = 0;
  double d2 = kInf;
};

Brute brute_point(const std::vector<double>& p, double qx, double qy) {
  Brute best;
  for (size_t i = 0; i < p.size() / 2; ++i) {
    const double dx = qx - p[2 * i];
    const double dy = qy - p[2 * i + 1];
    const double d2 = dx * dx + dy * dy;
    if (d2 < best.d2) best = {i, d2};
  }
  return best;
}

double segment_d2(const double* s, double qx, double qy) {
  const double ex = s[2] - s[0];
  const double ey = s[3] - s[1];
  double t = ((qx - s[0]) * ex + (qy - s[1]) * ey) / ((ex * ex + ey * ey) + 1e-12);
  t = t > 0.0 ? t : 0.0;
  t = t < 1.0 ? t : 1.0;
  const double dx = qx - (s[0] + t * ex);
  const double dy = qy - (s[1] + t * ey);
  return dx * dx + dy * dy;
}

// Walks the tree checking the layout: pre-order, left child right after its parent, boxes
// that contain their items, leaves of at most 8 items, both children of a split with >= 4.
size_t check_subtree(const Bvh& bvh, const std::vector<double>& pts, size_t k, size_t& next) {
  EXPECT_EQ(k, next);
  ++next;
  const BvhNode& node = bvh.nodes[k];
  if (node.kind == BvhNodeKind::leaf) {
    EXPECT_LE(node.b, kBvhLeafSize);
    for (uint64_t p = node.a; p < node.a + node.b; ++p) {
      const uint64_t i = bvh.order[p];
      EXPECT_GE(pts[2 * i], node.min_x);
      EXPECT_LE(pts[2 * i], node.max_x);
      EXPECT_GE(pts[2 * i + 1], node.min_y);
      EXPECT_LE(pts[2 * i + 1], node.max_y);
    }
    return node.b;
  }
  EXPECT_EQ(node.a, k + 1);
  const size_t left = check_subtree(bvh, pts, node.a, next);
  EXPECT_EQ(node.b, next);
  const size_t right = check_subtree(bvh, pts, node.b, next);
  EXPECT_GE(left, 4u);
  EXPECT_GE(right, 4u);
  EXPECT_TRUE(left == right || left + 1 == right);
  return left + right;
}

TEST(Bvh, LayoutIsFlatPreOrderWithSmallLeaves) {
  for (size_t n : {1, 8, 9, 17, 100, 1000, 4097}) {
    const auto pts = random_words(2 * n, n);
    const Bvh bvh = bvh_build_points(pts, n);
    size_t next = 0;
    EXPECT_EQ(check_subtree(bvh, pts, 0, next), n);
    EXPECT_EQ(next, bvh.nodes.size());
    EXPECT_LE(bvh.nodes.size(), 2 * n - 1);
    std::vector<bool> seen(n, false);
    for (uint64_t i : bvh.order) seen[i] = true;
    for (bool s : seen) EXPECT_TRUE(s);
  }
}

TEST(Bvh, NineItemsSplitIntoFourAndFiveAlongTheWiderAxis) {
  std::vector<double> pts;
  for (int i = 0; i < 9; ++i) {
    pts.push_back(0.0);          // all x equal: the split is on y
    pts.push_back(8.0 - i);
  }
  const Bvh bvh = bvh_build_points(pts, 9);
  ASSERT_EQ(bvh.nodes.size(), 3u);
  EXPECT_EQ(bvh.nodes[0].kind, BvhNodeKind::internal);
  EXPECT_EQ(bvh.nodes[1].b, 4u);
  EXPECT_EQ(bvh.nodes[2].b, 5u);
  for (uint64_t p = 0; p < 4; ++p) EXPECT_LT(pts[2 * bvh.order[p] + 1], 4.0);
  EXPECT_EQ(bvh.nodes[1].max_y, 3.0);
}

TEST(Bvh, EmptySetHasOneEmptyLeafAndAnswersNothing) {
  const Bvh bvh = bvh_build_points({}, 0);
  ASSERT_EQ(bvh.nodes.size(), 1u);
  EXPECT_EQ(bvh.nodes[0].b, 0u);
  EXPECT_FALSE(bvh_nearest_point(bvh, {}, 0, 0.0, 0.0));
}

TEST(Bvh, NearestPointMatchesBruteForce) {
  for (size_t n : {1, 5, 9, 64, 3000}) {
    const auto pts = random_words(2 * n, 100 + n);
    const auto qs = random_words(400, 200 + n, 14.0);
    const Bvh bvh = bvh_build_points(pts, n);
    for (size_t j = 0; j < qs.size() / 2; ++j) {
      const auto hit = bvh_nearest_point(bvh, pts, n, qs[2 * j], qs[2 * j + 1]);
      const Brute want = brute_point(pts, qs[2 * j], qs[2 * j + 1]);
      ASSERT_TRUE(hit);
      EXPECT_EQ(hit->index, want.index);
      EXPECT_EQ(hit->d2, want.d2);
      EXPECT_EQ(hit->x, pts[2 * want.index]);
    }
  }
}

TEST(Bvh, NearestSegmentMatchesBruteForce) {
  for (size_t n : {1, 3, 7, 50, 2000}) {
    auto segs = random_words(4 * n, 300 + n);
    for (size_t i = 0; i < n; ++i) {  // short segments around random centres
      segs[4 * i + 2] = segs[4 * i] + 0.1 * segs[4 * i + 2];
      segs[4 * i + 3] = segs[4 * i + 1] + 0.1 * segs[4 * i + 3];
      if (i % 5 == 2) {  // some degenerate ones
        segs[4 * i + 2] = segs[4 * i];
        segs[4 * i + 3] = segs[4 * i + 1];
      }
      if (i % 11 == 4) segs[4 * i + 3] = kNaN;  // a NaN end: the ratio is NaN, t falls to 0
    }
    const auto qs = random_words(400, 400 + n, 14.0);
    const Bvh bvh = bvh_build_segments(segs, n);
    for (size_t j = 0; j < qs.size() / 2; ++j) {
      const double qx = qs[2 * j];
      const double qy = qs[2 * j + 1];
      Brute want;
      for (size_t i = 0; i < n; ++i) {
        const double d2 = segment_d2(&segs[4 * i], qx, qy);
        if (d2 < want.d2) want = {i, d2};
      }
      const auto hit = bvh_nearest_segment(bvh, segs, n, qx, qy);
      if (std::isinf(want.d2)) {
        EXPECT_FALSE(hit);
        continue;
      }
      ASSERT_TRUE(hit);
      EXPECT_EQ(hit->index, want.index);
      EXPECT_EQ(hit->d2, want.d2);
      const double* s = &segs[4 * want.index];
      const double ex = s[2] - s[0];
      const double ey = s[3] - s[1];
      double t = ((qx - s[0]) * ex + (qy - s[1]) * ey) / ((ex * ex + ey * ey) + 1e-12);
      t = std::fmin(std::fmax(t, 0.0), 1.0);
      EXPECT_EQ(hit->x, s[0] + t * ex);
      EXPECT_EQ(hit->y, s[1] + t * ey);
    }
  }
}

TEST(Bvh, SegmentClosestPointIsClampedToTheEnds) {
  const std::vector<double> segs = {0, 0, 2, 0, 5, 5, 5, 5};  // second one degenerate
  const Bvh bvh = bvh_build_segments(segs, 2);
  auto before = bvh_nearest_segment(bvh, segs, 2, -3.0, 4.0);
  ASSERT_TRUE(before);
  EXPECT_EQ(before->x, 0.0);
  EXPECT_EQ(before->d2, 25.0);
  auto beyond = bvh_nearest_segment(bvh, segs, 2, 3.0, 0.0);
  ASSERT_TRUE(beyond);
  EXPECT_EQ(beyond->x, 2.0);
  auto degenerate = bvh_nearest_segment(bvh, segs, 2, 5.0, 6.0);
  ASSERT_TRUE(degenerate);
  EXPECT_EQ(degenerate->index, 1u);
  EXPECT_EQ(degenerate->d2, 1.0);
}

TEST(Bvh, TiesInOneLeafGoToTheLowestIndex) {
  const std::vector<double> pts = {5, 5, 1, 0, -1, 0, 0, 1};
  const Bvh bvh = bvh_build_points(pts, 4);
  auto hit = bvh_nearest_point(bvh, pts, 4, 0.0, 0.0);
  ASSERT_TRUE(hit);
  EXPECT_EQ(hit->index, 1u);
}

TEST(Bvh, UnanswerableQueriesGiveNothing) {
  const auto pts = random_words(200, 7);
  const Bvh bvh = bvh_build_points(pts, 100);
  EXPECT_FALSE(bvh_nearest_point(bvh, pts, 100, kNaN, 0.0));
  EXPECT_FALSE(bvh_nearest_point(bvh, pts, 100, 0.0, kInf));
  EXPECT_FALSE(bvh_nearest_point(bvh, pts, 100, 1e200, -1e200));
  const std::vector<double> nan_pts(40, kNaN);
  const Bvh nan_bvh = bvh_build_points(nan_pts, 20);
  EXPECT_FALSE(bvh_nearest_point(nan_bvh, nan_pts, 20, 0.0, 0.0));
}

TEST(Bvh, NaNItemsAreNeverReportedNorWidenBoxes) {
  std::vector<double> pts = random_words(60, 11);
  pts[0] = kNaN;  // item 0 has a NaN x
  pts[3] = kNaN;  // item 1 has a NaN y
  const Bvh bvh = bvh_build_points(pts, 30);
  EXPECT_FALSE(std::isnan(bvh.nodes[0].min_x));
  for (int j = 0; j < 50; ++j) {
    auto hit = bvh_nearest_point(bvh, pts, 30, pts[4], pts[5] + 0.01 * j);
    ASSERT_TRUE(hit);
    EXPECT_GE(hit->index, 2u);
  }
}

// --- cache ---------------------------------------------------------------------------------

TEST(BvhCache, SameBlockTwiceIsOneEntryInEitherPrecision) {
  const auto pts = random_words(64, 1000);
  std::vector<float> single(pts.size());
  for (size_t i = 0; i < pts.size(); ++i) single[i] = static_cast<float>(pts[i]);
  std::vector<double> widened(single.begin(), single.end());
  const auto a = cached_point_bvh<double>(widened, 32);
  const auto b = cached_point_bvh<double>(widened, 32);
  const auto c = cached_point_bvh<float>(single, 32);
  EXPECT_EQ(a.get(), b.get());
  EXPECT_EQ(a.get(), c.get());
  EXPECT_EQ(a->items, widened);
}

TEST(BvhCache, RingListAndPointBlocksAreSeparateEntries) {
  const auto words = random_words(12, 1001);
  const auto ring = cached_segment_bvh<double>(words, 12, 6, kClosedRingMode);
  const auto list = cached_segment_bvh<double>(words, 12, 3, kSegmentListMode);
  const auto points = cached_point_bvh<double>(words, 6);
  EXPECT_NE(ring.get(), list.get());
  EXPECT_EQ(ring->items.size(), 24u);
  EXPECT_EQ(list->items, words);
  EXPECT_EQ(points->items, words);
  EXPECT_NE(bvh_cache_key<double>(words, BvhBlockKind::closed_ring),
            bvh_cache_key<double>(words, BvhBlockKind::segment_list));
}

TEST(BvhCache, RingClosesBackToTheFirstVertex) {
  const std::vector<double> tri = {0, 0, 4, 0, 0, 3};
  const auto e = cached_segment_bvh<double>(tri, 6, 3, kClosedRingMode);
  const std::vector<double> want = {0, 0, 4, 0, 4, 0, 0, 3, 0, 3, 0, 0};
  EXPECT_EQ(e->items, want);
  const auto one = cached_segment_bvh<double>(std::span<const double>(tri).first(2), 2, 1,
                                              kClosedRingMode);
  EXPECT_EQ(one->items, (std::vector<double>{0, 0, 0, 0}));
}

TEST(BvhCache, SignedZeroIsADifferentKey) {
  std::vector<double> a = {0.0, 1.0, 2.0, 3.0};
  std::vector<double> b = {-0.0, 1.0, 2.0, 3.0};
  EXPECT_NE(bvh_cache_key<double>(a, BvhBlockKind::points),
            bvh_cache_key<double>(b, BvhBlockKind::points));
  EXPECT_NE(cached_point_bvh<double>(a, 2).get(), cached_point_bvh<double>(b, 2).get());
}

// Blocks that differ only in sign bits (a half-turn, a mirror image) are told apart by the hit
// confirmation, whatever their keys: the cache hands each its own hierarchy.
TEST(BvhCache, KeyCollisionsAreDetected) {
  const std::vector<double> tri = {0, 0, 4, 1, 1, 3};
  const std::vector<double> turned = {-0.0, -0.0, -4, -1, -1, -3};
  const std::vector<double> rect = {1, 1, 3, 1, 3, 2, 1, 2};
  const std::vector<double> mirror = {-1, 1, -3, 1, -3, 2, -1, 2};
  const std::vector<float> mirror32(mirror.begin(), mirror.end());
  const auto tri_entry = cached_point_bvh<double>(tri, 3);
  const auto rect_entry = cached_segment_bvh<double>(rect, 8, 4, kClosedRingMode);
  EXPECT_TRUE(bvh_cache_entry_matches<double>(*tri_entry, tri, 6, 3, BvhBlockKind::points));
  EXPECT_FALSE(bvh_cache_entry_matches<double>(*tri_entry, turned, 6, 3, BvhBlockKind::points));
  EXPECT_FALSE(
      bvh_cache_entry_matches<float>(*rect_entry, mirror32, 8, 4, BvhBlockKind::closed_ring));
  EXPECT_FALSE(
      bvh_cache_entry_matches<double>(*rect_entry, rect, 8, 2, BvhBlockKind::segment_list));
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(cached_point_bvh<double>(tri, 3)->items, tri);
    EXPECT_EQ(cached_point_bvh<double>(turned, 3)->items, turned);
    const auto r = cached_segment_bvh<double>(rect, 8, 4, kClosedRingMode);
    const auto m = cached_segment_bvh<float>(std::vector<float>(mirror.begin(), mirror.end()),
                                             8, 4, kClosedRingMode);
    EXPECT_EQ(r->items[2], 3.0);
    EXPECT_EQ(m->items[2], -3.0);
    const auto hit = bvh_nearest_segment(m->hierarchy, m->items, 4, -2.0, 0.0);
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->index, 0u);
    EXPECT_EQ(hit->d2, 1.0);
  }
}

// A word's sign bit reaches the whole key, so sign flips in several words do not cancel: a
// block and its negation or mirror image have different keys, and calls alternating between
// them find both entries instead of rebuilding each time.
TEST(BvhCache, NegationsAndMirrorImagesKeepAnEntryEach) {
  const std::vector<double> cloud = random_words(600, 1002);
  std::vector<double> negated = cloud;
  std::vector<double> mirrored = cloud;
  for (size_t k = 0; k < cloud.size(); ++k) {
    negated[k] = -cloud[k];
    if (k % 2 == 0) mirrored[k] = -cloud[k];
  }
  int filler = 0;
  for (const auto* other : {&negated, &mirrored}) {
    for (BvhBlockKind kind : {BvhBlockKind::points, BvhBlockKind::closed_ring})
      EXPECT_NE(bvh_cache_key<double>(cloud, kind), bvh_cache_key<double>(*other, kind));
    // Room for both entries, whatever earlier tests left in the map.
    while (bvh_cache_point_entries() + 2 > kBvhCacheCapacity)
      cached_point_bvh<double>(random_words(20, 9500 + filler++), 10);
    const auto first = cached_point_bvh<double>(cloud, 300);
    const auto second = cached_point_bvh<double>(*other, 300);
    for (int round = 0; round < 2; ++round) {
      EXPECT_EQ(cached_point_bvh<double>(cloud, 300).get(), first.get());
      EXPECT_EQ(cached_point_bvh<double>(*other, 300).get(), second.get());
    }
  }
}

TEST(BvhCache, SixtyFifthMissEmptiesTheMapButHeldEntriesStayUsable) {
  std::vector<SharedBvhEntry> held;
  std::vector<std::vector<double>> blocks;
  for (int i = 0; i < 65; ++i) blocks.push_back(random_words(20, 5000 + i));
  // Fill to the bound from whatever state earlier tests left: the map empties at most once
  // before the 64 misses of the first loop are all stored.
  for (int i = 0; i < 64; ++i) held.push_back(cached_point_bvh<double>(blocks[i], 10));
  while (bvh_cache_point_entries() < kBvhCacheCapacity) {
    static int extra = 0;
    cached_point_bvh<double>(random_words(20, 9000 + extra++), 10);
  }
  EXPECT_EQ(bvh_cache_point_entries(), 64u);
  held.push_back(cached_point_bvh<double>(blocks[64], 10));
  EXPECT_EQ(bvh_cache_point_entries(), 1u);
  for (int i = 0; i < 65; ++i) {
    EXPECT_EQ(held[i]->items, blocks[i]);
    const auto hit = bvh_nearest_point(held[i]->hierarchy, held[i]->items, 10, blocks[i][6],
                                       blocks[i][7]);
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->index, 3u);
  }
}

// Many threads over more distinct blocks than the cache keeps, in both maps at once: every
// entry handed out must be built over the caller's own block.
TEST(BvhCache, ConcurrentCallersOverManyBlocksGetTheirOwnEntries) {
  constexpr int kBlocks = 150;
  std::vector<std::vector<double>> blocks;
  for (int i = 0; i < kBlocks; ++i) {
    auto w = random_words(2 * (20 + i), 7000 + i);
    if (i % 2 == 1) {  // the negation of the previous block: same key, other points
      w = blocks.back();
      for (double& v : w) v = -v;
    }
    blocks.push_back(w);
  }
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 12; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(t);
      for (int it = 0; it < 400; ++it) {
        const auto& w = blocks[rng() % kBlocks];
        const size_t n = w.size() / 2;
        const auto e = (it % 3 == 0) ? cached_segment_bvh<double>(w, w.size(), n, kClosedRingMode)
                                     : cached_point_bvh<double>(w, n);
        if (e->count != n) {
          ++wrong;
          continue;
        }
        const double qx = w[0] + 0.001;
        const double qy = w[1];
        if (e->kind == BvhBlockKind::points) {
          const auto hit = bvh_nearest_point(e->hierarchy, e->items, n, qx, qy);
          if (!hit || hit->d2 != brute_point(w, qx, qy).d2) ++wrong;
        } else {
          const auto hit = bvh_nearest_segment(e->hierarchy, e->items, n, qx, qy);
          if (!hit || e->items[0] != w[0] || e->items[4 * n - 2] != w[0]) ++wrong;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_LE(bvh_cache_point_entries(), kBvhCacheCapacity);
  EXPECT_LE(bvh_cache_segment_entries(), kBvhCacheCapacity);
}

}  // namespace
}  // namespace mirelon
