#include "geometry/bvh.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "lanes.hpp"
#include "numeric.hpp"

namespace mirelon {

namespace bvh_detail {

constexpr double kInf = std::numeric_limits<double>::infinity();

struct Box {
  double min_x = kInf;
  double min_y = kInf;
  double max_x = -kInf;
  double max_y = -kInf;

  // NaN-ignoring growth: a NaN coordinate leaves the box as it is.
  void grow(double x, double y) {
    min_x = min_ignoring_nan(min_x, x);
    max_x = max_ignoring_nan(max_x, x);
    min_y = min_ignoring_nan(min_y, y);
    max_y = max_ignoring_nan(max_y, y);
  }

  void merge(const Box& o) {
    min_x = min_ignoring_nan(min_x, o.min_x);
    max_x = max_ignoring_nan(max_x, o.max_x);
    min_y = min_ignoring_nan(min_y, o.min_y);
    max_y = max_ignoring_nan(max_y, o.max_y);
  }
};

void grow_by_item(Box& box, BvhItemKind kind, const double* items, uint64_t i) {
  if (kind == BvhItemKind::point) {
    box.grow(items[2 * i], items[2 * i + 1]);
  } else {
    const double* s = items + 4 * i;
    box.grow(s[0], s[1]);
    box.grow(s[2], s[3]);
  }
}

// Squared distance from q to a box: per axis the gap below the minimum or above the maximum,
// else 0 (also for a NaN coordinate). Written as two selects per axis rather than branches,
// which the traversal would mispredict; it gives the same value in every case, the empty
// range (+inf, -inf) and infinite coordinates included.
inline double axis_gap(double lo, double hi, double q) {
  const double below = lo - q;
  const double above = q - hi;
  const double gap = below > 0.0 ? below : 0.0;  // NaN gives 0
  return above > gap ? above : gap;              // NaN keeps gap
}

inline double box_d2(const BvhNode& node, double qx, double qy) {
  const double dx = axis_gap(node.min_x, node.max_x, qx);
  const double dy = axis_gap(node.min_y, node.max_y, qy);
  return dx * dx + dy * dy;
}

// A build slot: an item's centroid and box next to its index, so that the median selection and
// the box unions run over contiguous records instead of chasing indices into the items.
struct Slot {
  double c[2];
  Box box;
  uint64_t index;
};

// Slots of the items order[start, end), with the caller's centroids.
std::vector<Slot> slots_of(BvhItemKind kind, const double* items, std::span<const double> centroids,
                           size_t start, size_t end, const uint64_t* order) {
  std::vector<Slot> slots(end - start);
  for (size_t p = start; p < end; ++p) {
    const uint64_t i = order[p];
    Slot& s = slots[p - start];
    s.c[0] = centroids[2 * i];
    s.c[1] = centroids[2 * i + 1];
    grow_by_item(s.box, kind, items, i);
    s.index = i;
  }
  return slots;
}

// Slots of items 0 .. n - 1 in index order, each centroid the midpoint of the item's
// NaN-ignoring box (sum first, then halved).
void fill_slots(Slot* slots, BvhItemKind kind, const double* items, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    Slot& s = slots[i];
    s.box = Box{};
    grow_by_item(s.box, kind, items, i);
    s.c[0] = (s.box.min_x + s.box.max_x) * 0.5;
    s.c[1] = (s.box.min_y + s.box.max_y) * 0.5;
    s.index = i;
  }
}

// Nodes appended into storage sized in advance for the whole tree.
struct FixedNodes {
  BvhNode* data;
  size_t count = 0;
  void push_back(const BvhNode& node) { data[count++] = node; }
  size_t size() const { return count; }
  BvhNode& operator[](size_t k) { return data[k]; }
};

void store_box(BvhNode& node, const Box& box) {
  node.min_x = box.min_x;
  node.min_y = box.min_y;
  node.max_x = box.max_x;
  node.max_y = box.max_y;
}

// Builds the subtree over order[start, end) and returns its root's index. A node's box is the
// union of its items' boxes (empty boxes of all-NaN items contribute nothing). `slots` holds
// the records of positions start .. end - 1 (slot 0 is position `start`). `Nodes` is a
// std::vector or FixedNodes: both see the same appends, so both hold the same tree.
template <typename Nodes>
size_t build_range(Slot* slots, uint64_t* order, size_t start, size_t end, Nodes& nodes) {
  const size_t count = end - start;
  Box box;
  for (size_t k = 0; k < count; ++k) box.merge(slots[k].box);
  if (count <= kBvhLeafSize) {
    for (size_t k = 0; k < count; ++k) order[start + k] = slots[k].index;
    BvhNode leaf;
    leaf.kind = BvhNodeKind::leaf;
    leaf.a = start;
    leaf.b = count;
    store_box(leaf, box);
    nodes.push_back(leaf);
    return nodes.size() - 1;
  }
  const double extent_x = box.max_x - box.min_x;
  const double extent_y = box.max_y - box.min_y;
  const size_t axis = extent_x >= extent_y ? 0 : 1;  // unordered (NaN) goes to y
  const size_t mid = count / 2;
  // NaN coordinates sort after every number, which keeps the ordering strict-weak (as the
  // selection requires) and still satisfies the median guarantee under plain less-than.
  std::nth_element(slots, slots + mid, slots + count,
                   [axis](const Slot& s, const Slot& t) {
                     const double u = s.c[axis];
                     const double v = t.c[axis];
                     return u < v || (!std::isnan(u) && std::isnan(v));
                   });
  nodes.push_back(BvhNode{});  // reserved before the children: pre-order layout
  const size_t p = nodes.size() - 1;
  const size_t left = build_range(slots, order, start, start + mid, nodes);
  const size_t right = build_range(slots + mid, order, start + mid, end, nodes);
  BvhNode node;
  node.kind = BvhNodeKind::internal;
  node.a = left;
  node.b = right;
  store_box(node, box);
  nodes[p] = node;
  return p;
}

Bvh build(BvhItemKind kind, std::span<const double> items, size_t n) {
  Bvh bvh;
  if (n == 0) {
    bvh.nodes.reserve(2);
    BvhNode leaf;
    store_box(leaf, Box{});
    bvh.nodes.push_back(leaf);
    return bvh;
  }
  bvh.order.resize(n);
  bvh.nodes.reserve(2 * n);
  std::vector<Slot> slots(n);
  fill_slots(slots.data(), kind, items.data(), n);
  build_range(slots.data(), bvh.order.data(), 0, n, bvh.nodes);
  return bvh;
}

void build_local(LocalBvh& local, BvhItemKind kind, size_t n) {
  local.count = n;
  if (n == 0) {
    store_box(local.nodes[0], Box{});
    local.nodes[0].kind = BvhNodeKind::leaf;
    local.nodes[0].a = 0;
    local.nodes[0].b = 0;
    local.node_count = 1;
    return;
  }
  std::array<Slot, kLocalBvhCapacity> slots;
  fill_slots(slots.data(), kind, local.items.data(), n);
  FixedNodes nodes{local.nodes.data()};
  build_range(slots.data(), local.order.data(), 0, n, nodes);
  local.node_count = nodes.size();
}

// Largest traversal depth the fixed query stack supports: the tree is median-split, so its
// depth is below log2(n) + 1 <= 65 for any n that fits in memory; each level leaves at most one
// pending sibling on the stack.
constexpr size_t kStackCapacity = 128;

// Scans the items order[begin, end) of a leaf in order, taking an item when its squared
// distance is strictly below `best` (a NaN never is), so that of equal distances the first one
// met stays.
template <typename Leaf>
[[gnu::always_inline]] inline void scan_leaf(const double* items, const uint64_t* order,
                                             uint64_t begin, uint64_t end, double qx, double qy,
                                             double& best, bool& found, NearestHit& hit) {
  for (uint64_t p = begin; p < end; ++p) {
    const uint64_t i = order[p];
    double cx;
    double cy;
    const double d2 = Leaf::test(items, i, qx, qy, cx, cy);
    if (d2 < best) {
      best = d2;
      found = true;
      hit.x = cx;
      hit.y = cy;
      hit.index = i;
    }
  }
}

// The element-by-element scan of a leaf kind that provides `test`.
template <typename Leaf>
struct ScalarScan {
  static void scan(const double* items, const uint64_t* order, uint64_t begin, uint64_t end,
                   double qx, double qy, double& best, bool& found, NearestHit& hit) {
    scan_leaf<Leaf>(items, order, begin, end, qx, qy, best, found, hit);
  }
};

struct PointLeaf : ScalarScan<PointLeaf> {
  static double test(const double* items, uint64_t i, double qx, double qy, double& cx,
                     double& cy) {
    const double px = items[2 * i];
    const double py = items[2 * i + 1];
    const double dx = qx - px;
    const double dy = qy - py;
    cx = px;
    cy = py;
    return dx * dx + dy * dy;
  }
};

struct SegmentLeaf : ScalarScan<SegmentLeaf> {
  static double test(const double* items, uint64_t i, double qx, double qy, double& cx,
                     double& cy) {
    const double* s = items + 4 * i;
    const double ex = s[2] - s[0];
    const double ey = s[3] - s[1];
    const double ratio = ((qx - s[0]) * ex + (qy - s[1]) * ey) / ((ex * ex + ey * ey) + 1e-12);
    double t = ratio > 0.0 ? ratio : 0.0;  // a NaN ratio gives 0
    t = t < 1.0 ? t : 1.0;
    cx = s[0] + t * ex;
    cy = s[1] + t * ey;
    const double dx = qx - cx;
    const double dy = qy - cy;
    return dx * dx + dy * dy;
  }
};

template <typename Leaf>
[[gnu::always_inline]] inline std::optional<NearestHit> nearest(const BvhRef& bvh, double qx,
                                                                double qy) {
  if (bvh.count == 0 || bvh.node_count == 0) return std::nullopt;
  const BvhNode* nodes = bvh.nodes;
  const uint64_t* order = bvh.order;
  const double* items = bvh.items;
  // Each pending node carries the box distance computed when it was pushed, so a node's box is
  // measured once.
  struct Pending {
    uint64_t node;
    double d2;
  };
  std::array<Pending, kStackCapacity> stack;
  size_t top = 0;
  stack[top++] = Pending{0, box_d2(nodes[0], qx, qy)};
  double best = kInf;
  bool found = false;
  NearestHit hit;
  while (top > 0) {
    const Pending pending = stack[--top];
    if (pending.d2 >= best) continue;  // ties prune; so does +inf at the root
    const BvhNode& node = nodes[pending.node];
    if (node.kind == BvhNodeKind::internal) {
      const double dl = box_d2(nodes[node.a], qx, qy);
      const double dr = box_d2(nodes[node.b], qx, qy);
      if (top + 2 > kStackCapacity) return std::nullopt;  // unreachable for a median split
      // The nearer child goes on top (the left one on a tie).
      const bool left_first = dl <= dr;
      stack[top] = left_first ? Pending{node.b, dr} : Pending{node.a, dl};
      stack[top + 1] = left_first ? Pending{node.a, dl} : Pending{node.b, dr};
      top += 2;
      continue;
    }
    Leaf::scan(items, order, node.a, node.a + node.b, qx, qy, best, found, hit);
  }
  if (!found) return std::nullopt;
  hit.d2 = best;
  return hit;
}

#if defined(__x86_64__)
#define MIRELON_HAVE_AVX2_LEAVES 1

// The segment leaf test four segments at a time. Every lane performs the scalar test's IEEE
// operations in the same order (max and min as the scalar selects, NaN ratio giving 0, no
// contraction), so distances and closest points are bit for bit those of the scalar test; the
// selection then runs over the four results in order.
struct SegmentLeafAvx2 {
  __attribute__((target("avx2"))) static void scan(
      const double* items, const uint64_t* order, uint64_t begin, uint64_t end, double qx,
      double qy, double& best, bool& found, NearestHit& hit) {
    const __m256d vqx = _mm256_set1_pd(qx);
    const __m256d vqy = _mm256_set1_pd(qy);
    const __m256d zero = _mm256_setzero_pd();
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d eps = _mm256_set1_pd(1e-12);
    uint64_t p = begin;
    for (; p + 4 <= end; p += 4) {
      const uint64_t i0 = order[p];
      const uint64_t i1 = order[p + 1];
      const uint64_t i2 = order[p + 2];
      const uint64_t i3 = order[p + 3];
      const __m256d r0 = _mm256_loadu_pd(items + 4 * i0);  // x0 y0 x1 y1 of each segment
      const __m256d r1 = _mm256_loadu_pd(items + 4 * i1);
      const __m256d r2 = _mm256_loadu_pd(items + 4 * i2);
      const __m256d r3 = _mm256_loadu_pd(items + 4 * i3);
      const __m256d t0 = _mm256_unpacklo_pd(r0, r1);  // x0 of 0 1, x1 of 0 1
      const __m256d t1 = _mm256_unpackhi_pd(r0, r1);  // y0 of 0 1, y1 of 0 1
      const __m256d t2 = _mm256_unpacklo_pd(r2, r3);
      const __m256d t3 = _mm256_unpackhi_pd(r2, r3);
      const __m256d x0 = _mm256_permute2f128_pd(t0, t2, 0x20);
      const __m256d x1 = _mm256_permute2f128_pd(t0, t2, 0x31);
      const __m256d y0 = _mm256_permute2f128_pd(t1, t3, 0x20);
      const __m256d y1 = _mm256_permute2f128_pd(t1, t3, 0x31);
      const __m256d ex = _mm256_sub_pd(x1, x0);
      const __m256d ey = _mm256_sub_pd(y1, y0);
      const __m256d num = _mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(vqx, x0), ex),
                                        _mm256_mul_pd(_mm256_sub_pd(vqy, y0), ey));
      const __m256d den =
          _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(ex, ex), _mm256_mul_pd(ey, ey)), eps);
      // max(a, b) is a > b ? a : b and min(a, b) is a < b ? a : b, as the scalar selects.
      const __m256d t = _mm256_min_pd(_mm256_max_pd(_mm256_div_pd(num, den), zero), one);
      const __m256d cx = _mm256_add_pd(x0, _mm256_mul_pd(t, ex));
      const __m256d cy = _mm256_add_pd(y0, _mm256_mul_pd(t, ey));
      const __m256d dx = _mm256_sub_pd(vqx, cx);
      const __m256d dy = _mm256_sub_pd(vqy, cy);
      const __m256d d2 = _mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy));
      alignas(32) double d2s[4];
      _mm256_store_pd(d2s, d2);
      // Most groups hold nothing nearer; test all four lanes at once before looking closer.
      if (_mm256_movemask_pd(_mm256_cmp_pd(d2, _mm256_set1_pd(best), _CMP_LT_OQ)) == 0) continue;
      alignas(32) double cxs[4];
      alignas(32) double cys[4];
      _mm256_store_pd(cxs, cx);
      _mm256_store_pd(cys, cy);
      const uint64_t idx[4] = {i0, i1, i2, i3};
      for (int k = 0; k < 4; ++k) {
        if (d2s[k] < best) {
          best = d2s[k];
          found = true;
          hit.x = cxs[k];
          hit.y = cys[k];
          hit.index = idx[k];
        }
      }
    }
    scan_leaf<SegmentLeaf>(items, order, p, end, qx, qy, best, found, hit);
  }
};

__attribute__((target("avx2"))) std::optional<NearestHit> nearest_segment_avx2(
    const BvhRef& bvh, double qx, double qy) {
  return nearest<SegmentLeafAvx2>(bvh, qx, qy);
}
#endif

// ---- small sets in lanes ----------------------------------------------------------------------
// A query of a LocalBvh in lanes: one query per lane, every IEEE operation of the scalar tests
// performed per lane in the same order, and the choices (the strict less-than of a leaf scan, the
// box distance selects) as per-lane selects, so each lane computes exactly its scalar values.

// axis_gap and box_d2 for every lane.
template <typename S>
[[gnu::always_inline]] inline typename S::V axis_gap_lanes(double lo, double hi,
                                                           const typename S::V& q,
                                                           const typename S::V& zero) {
  const auto below = S::sub(S::set1(lo), q);
  const auto above = S::sub(q, S::set1(hi));
  const auto gap = S::where_gt(below, zero, below, zero);  // NaN gives 0
  return S::where_gt(above, gap, above, gap);               // NaN keeps gap
}

template <typename S>
[[gnu::always_inline]] inline typename S::V box_d2_lanes(const BvhNode& node,
                                                         const typename S::V& qx,
                                                         const typename S::V& qy,
                                                         const typename S::V& zero) {
  const auto dx = axis_gap_lanes<S>(node.min_x, node.max_x, qx, zero);
  const auto dy = axis_gap_lanes<S>(node.min_y, node.max_y, qy, zero);
  return S::add(S::mul(dx, dx), S::mul(dy, dy));
}

// PointLeaf::test and SegmentLeaf::test of item i for every lane: the squared distance and the
// closest point.
template <typename S, BvhItemKind K>
[[gnu::always_inline]] inline void item_lanes(const double* items, uint64_t i,
                                              const typename S::V& qx, const typename S::V& qy,
                                              typename S::V& d2, typename S::V& cx,
                                              typename S::V& cy) {
  if constexpr (K == BvhItemKind::point) {
    cx = S::set1(items[2 * i]);
    cy = S::set1(items[2 * i + 1]);
    const auto dx = S::sub(qx, cx);
    const auto dy = S::sub(qy, cy);
    d2 = S::add(S::mul(dx, dx), S::mul(dy, dy));
  } else {
    const double* s = items + 4 * i;
    const double ex = s[2] - s[0];
    const double ey = s[3] - s[1];
    const double den = (ex * ex + ey * ey) + 1e-12;
    const auto zero = S::set1(0.0);
    const auto one = S::set1(1.0);
    const auto x0 = S::set1(s[0]);
    const auto y0 = S::set1(s[1]);
    const auto vex = S::set1(ex);
    const auto vey = S::set1(ey);
    const auto ratio =
        S::div(S::add(S::mul(S::sub(qx, x0), vex), S::mul(S::sub(qy, y0), vey)), S::set1(den));
    auto t = S::where_gt(ratio, zero, ratio, zero);  // a NaN ratio gives 0
    t = S::where_lt(t, one, t, one);
    cx = S::add(x0, S::mul(t, vex));
    cy = S::add(y0, S::mul(t, vey));
    const auto dx = S::sub(qx, cx);
    const auto dy = S::sub(qy, cy);
    d2 = S::add(S::mul(dx, dx), S::mul(dy, dy));
  }
}

// One lane's worth of queries (the first `used` lanes answered). Every leaf is scanned from +inf
// for all lanes: a scan that starts from a running best instead takes the leaf's first nearest
// item exactly when that item is nearer than the running best, and nothing otherwise, so taking
// the leaf's answer when it is strictly nearer is the scan. Each lane then walks the tree as
// `nearest` does, with the box distances and leaf answers computed here.
template <typename S, BvhItemKind K>
[[gnu::always_inline]] inline void local_group(const LocalBvh& t, const double* qx,
                                               const double* qy, size_t used,
                                               std::optional<NearestHit>* hits) {
  using V = typename S::V;
  const V x = S::load(qx);
  const V y = S::load(qy);
  const V zero = S::set1(0.0);
  const V inf = S::set1(kInf);
  V box[kLocalBvhNodes];
  V leaf_d2[kLocalBvhNodes];
  V leaf_x[kLocalBvhNodes];
  V leaf_y[kLocalBvhNodes];
  V leaf_index[kLocalBvhNodes];
  const size_t node_count = t.node_count;
  for (size_t k = 0; k < node_count; ++k) {
    const BvhNode& node = t.nodes[k];
    box[k] = box_d2_lanes<S>(node, x, y, zero);
    if (node.kind != BvhNodeKind::leaf) continue;
    V best = inf;
    V bx = zero;
    V by = zero;
    V bi = zero;
    for (uint64_t p = node.a; p < node.a + node.b; ++p) {
      const uint64_t i = t.order[p];
      V d2, cx, cy;
      item_lanes<S, K>(t.items.data(), i, x, y, d2, cx, cy);
      bx = S::where_lt(d2, best, cx, bx);
      by = S::where_lt(d2, best, cy, by);
      bi = S::where_lt(d2, best, S::set1(static_cast<double>(i)), bi);
      best = S::where_lt(d2, best, d2, best);
    }
    leaf_d2[k] = best;
    leaf_x[k] = bx;
    leaf_y[k] = by;
    leaf_index[k] = bi;
  }
  for (size_t lane = 0; lane < used; ++lane) {
    struct Pending {
      size_t node;
      double d2;
    };
    Pending stack[kLocalBvhNodes + 1];  // a path of internal nodes, one sibling pending each
    size_t top = 0;
    stack[top++] = Pending{0, box[0].v[lane]};
    double best = kInf;
    bool found = false;
    NearestHit hit;
    while (top > 0) {
      const Pending pending = stack[--top];
      if (pending.d2 >= best) continue;
      const BvhNode& node = t.nodes[pending.node];
      if (node.kind == BvhNodeKind::internal) {
        const double dl = box[node.a].v[lane];
        const double dr = box[node.b].v[lane];
        const bool left_first = dl <= dr;
        stack[top] = left_first ? Pending{node.b, dr} : Pending{node.a, dl};
        stack[top + 1] = left_first ? Pending{node.a, dl} : Pending{node.b, dr};
        top += 2;
        continue;
      }
      const double d2 = leaf_d2[pending.node].v[lane];
      if (d2 < best) {
        best = d2;
        found = true;
        hit.x = leaf_x[pending.node].v[lane];
        hit.y = leaf_y[pending.node].v[lane];
        hit.index = static_cast<uint64_t>(leaf_index[pending.node].v[lane]);
      }
    }
    if (found) {
      hit.d2 = best;
      hits[lane] = hit;
    } else {
      hits[lane].reset();
    }
  }
}

template <BvhItemKind K>
struct LocalQueries {
  template <typename S>
  [[gnu::always_inline]] static void run(const LocalBvh& t, const double* qx, const double* qy,
                                         size_t count, std::optional<NearestHit>* hits) {
    constexpr size_t w = S::width;
    size_t g = 0;
    for (; g + w <= count; g += w) local_group<S, K>(t, qx + g, qy + g, w, hits + g);
    if (g == count) return;
    alignas(64) double tx[w] = {};
    alignas(64) double ty[w] = {};
    for (size_t k = 0; g + k < count; ++k) {
      tx[k] = qx[g + k];
      ty[k] = qy[g + k];
    }
    local_group<S, K>(t, tx, ty, count - g, hits + g);
  }
};

template <BvhItemKind K>
void local_nearest(cpu::Level level, const LocalBvh& t, const double* qx, const double* qy,
                   size_t count, std::optional<NearestHit>* hits) {
  switch (level) {
    case cpu::Level::avx512:
      return lanes::run_at<cpu::Level::avx512, double, LocalQueries<K>>(t, qx, qy, count, hits);
    case cpu::Level::avx2:
      return lanes::run_at<cpu::Level::avx2, double, LocalQueries<K>>(t, qx, qy, count, hits);
    case cpu::Level::portable:
      break;
  }
  lanes::run_at<cpu::Level::portable, double, LocalQueries<K>>(t, qx, qy, count, hits);
}

}  // namespace bvh_detail

size_t bvh_build_node(BvhItemKind kind, std::span<const double> items,
                      std::span<const double> centroids, std::vector<uint64_t>& order,
                      size_t start, size_t end, std::vector<BvhNode>& nodes) {
  std::vector<bvh_detail::Slot> slots =
      bvh_detail::slots_of(kind, items.data(), centroids, start, end, order.data());
  return bvh_detail::build_range(slots.data(), order.data(), start, end, nodes);
}

Bvh bvh_build_points(std::span<const double> points, size_t n) {
  return bvh_detail::build(BvhItemKind::point, points, n);
}

Bvh bvh_build_segments(std::span<const double> segments, size_t n) {
  return bvh_detail::build(BvhItemKind::segment, segments, n);
}

BvhRef bvh_ref(const Bvh& bvh, std::span<const double> items, size_t n) {
  return BvhRef{bvh.nodes.data(), bvh.nodes.size(), bvh.order.data(), items.data(), n};
}

void local_bvh_build(LocalBvh& local, BvhItemKind kind, size_t n) {
  bvh_detail::build_local(local, kind, n);
}

void local_bvh_nearest(const LocalBvh& local, BvhItemKind kind, const double* qx,
                       const double* qy, size_t count, std::optional<NearestHit>* hits,
                       cpu::Level level) {
  if (kind == BvhItemKind::point) {
    bvh_detail::local_nearest<BvhItemKind::point>(level, local, qx, qy, count, hits);
  } else {
    bvh_detail::local_nearest<BvhItemKind::segment>(level, local, qx, qy, count, hits);
  }
}

std::optional<NearestHit> bvh_nearest_point(const Bvh& bvh, std::span<const double> points,
                                            size_t n, double qx, double qy) {
  return bvh_nearest_point(bvh_ref(bvh, points, n), qx, qy);
}

std::optional<NearestHit> bvh_nearest_segment(const Bvh& bvh, std::span<const double> segments,
                                              size_t n, double qx, double qy) {
  return bvh_nearest_segment(bvh_ref(bvh, segments, n), qx, qy, cpu::active());
}

std::optional<NearestHit> bvh_nearest_segment(const Bvh& bvh, std::span<const double> segments,
                                              size_t n, double qx, double qy, cpu::Level level) {
  return bvh_nearest_segment(bvh_ref(bvh, segments, n), qx, qy, level);
}

std::optional<NearestHit> bvh_nearest_point(const BvhRef& bvh, double qx, double qy) {
  return bvh_detail::nearest<bvh_detail::PointLeaf>(bvh, qx, qy);
}

std::optional<NearestHit> bvh_nearest_segment(const BvhRef& bvh, double qx, double qy,
                                              cpu::Level level) {
#ifdef MIRELON_HAVE_AVX2_LEAVES
  if (level >= cpu::Level::avx2) return bvh_detail::nearest_segment_avx2(bvh, qx, qy);
#endif
  return bvh_detail::nearest<bvh_detail::SegmentLeaf>(bvh, qx, qy);
}

}  // namespace mirelon
