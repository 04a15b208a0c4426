// A flat two-dimensional bounding-volume hierarchy over points or line segments, answering
// nearest-item queries. Everything is 64-bit: 32-bit callers widen their coordinates first.
//
// Items live outside the hierarchy in a contiguous array owned by the caller: points as (x, y)
// pairs, segments as (x0, y0, x1, y1) records. Every operation takes that array and the item
// count the hierarchy was built over. A built hierarchy is immutable; any number of threads may
// query it at once. Queries allocate nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "cpu.hpp"

namespace mirelon {

enum class BvhNodeKind : uint8_t { leaf, internal };

// A leaf owns order[a, a + b) (b <= 8 items); an internal node has children a (always its own
// index + 1) and b. The box is the NaN-ignoring union of the node's items' boxes; an axis whose
// items are all NaN keeps the empty range (+inf, -inf).
struct BvhNode {
  BvhNodeKind kind = BvhNodeKind::leaf;
  uint64_t a = 0;
  uint64_t b = 0;
  double min_x = 0.0;
  double min_y = 0.0;
  double max_x = 0.0;
  double max_y = 0.0;
};

// Nodes in pre-order (root = node 0) and the permutation of item indices that the leaves cut
// into contiguous ranges.
struct Bvh {
  std::vector<BvhNode> nodes;
  std::vector<uint64_t> order;
};

// The nearest item: its closest point (x, y), its index and the squared distance to it.
struct NearestHit {
  double x = 0.0;
  double y = 0.0;
  uint64_t index = 0;
  double d2 = 0.0;
};

enum class BvhItemKind : uint8_t { point, segment };

// Largest number of items in a leaf; a range of nine or more splits.
inline constexpr size_t kBvhLeafSize = 8;

// Builds over n points (2n words) or n segments (4n words).
Bvh bvh_build_points(std::span<const double> points, size_t n);
Bvh bvh_build_segments(std::span<const double> segments, size_t n);

// The recursive step of both builders: builds the subtree over order[start, end) (splitting at
// the median centroid of the wider axis) into `nodes` and returns its root's index. `centroids`
// holds (cx, cy) per item.
size_t bvh_build_node(BvhItemKind kind, std::span<const double> items,
                      std::span<const double> centroids, std::vector<uint64_t>& order,
                      size_t start, size_t end, std::vector<BvhNode>& nodes);

// Nearest item to (qx, qy), or nothing when no item is at a finite, non-NaN squared distance
// (no items, a NaN or infinite query, items all NaN, or distances beyond the 64-bit range). Of
// items at exactly the same distance, the first one the traversal meets is reported.
std::optional<NearestHit> bvh_nearest_point(const Bvh& bvh, std::span<const double> points,
                                            size_t n, double qx, double qy);
std::optional<NearestHit> bvh_nearest_segment(const Bvh& bvh, std::span<const double> segments,
                                              size_t n, double qx, double qy);

// The same with the segment leaves scanned by the body of `level` (a query loop reads
// cpu::active() once and passes it to every query). Every level gives the same hit, bit for bit.
std::optional<NearestHit> bvh_nearest_segment(const Bvh& bvh, std::span<const double> segments,
                                              size_t n, double qx, double qy, cpu::Level level);

// A built hierarchy and the n items it was built over, wherever both are stored (a cache entry
// holds both). It borrows them.
struct BvhRef {
  const BvhNode* nodes = nullptr;
  size_t node_count = 0;
  const uint64_t* order = nullptr;
  const double* items = nullptr;
  size_t count = 0;
};

BvhRef bvh_ref(const Bvh& bvh, std::span<const double> items, size_t n);

// The queries above through a BvhRef.
std::optional<NearestHit> bvh_nearest_point(const BvhRef& bvh, double qx, double qy);
std::optional<NearestHit> bvh_nearest_segment(const BvhRef& bvh, double qx, double qy,
                                              cpu::Level level);

// Most items a LocalBvh holds.
inline constexpr size_t kLocalBvhCapacity = 64;

// Leaves of the hierarchy over `count` items: the build halves every range of more than
// kBvhLeafSize items.
constexpr size_t bvh_leaf_count(size_t count) {
  return count <= kBvhLeafSize ? 1 : bvh_leaf_count(count / 2) + bvh_leaf_count(count - count / 2);
}

// Most nodes of a hierarchy over at most kLocalBvhCapacity items.
inline constexpr size_t kLocalBvhNodes = [] {
  size_t most = 1;
  for (size_t c = 1; c <= kLocalBvhCapacity; ++c) {
    most = 2 * bvh_leaf_count(c) - 1 > most ? 2 * bvh_leaf_count(c) - 1 : most;
  }
  return most;
}();

// The hierarchy over a small set, held in place: building it allocates nothing, so a query loop
// can build one per set on its own stack instead of going through the cache. The build is the
// one bvh_build_points and bvh_build_segments run, so over the same items it gives the same
// nodes and order, and every query the same hit, ties included.
struct LocalBvh {
  std::array<double, 4 * kLocalBvhCapacity> items;  // points (x, y) or records (x0, y0, x1, y1)
  std::array<BvhNode, kLocalBvhNodes> nodes;
  std::array<uint64_t, kLocalBvhCapacity> order;
  size_t count = 0;
  size_t node_count = 0;
};

// Builds over the first n <= kLocalBvhCapacity items that the caller has put in `local.items`.
void local_bvh_build(LocalBvh& local, BvhItemKind kind, size_t n);

// Nearest items of the queries (qx[k], qy[k]), k < count, over a LocalBvh of `kind`: hits[k] is
// what bvh_nearest_point or bvh_nearest_segment answers for query k, bit for bit. The queries go
// through in the lanes of `level`: every leaf is scanned for a lane's worth of queries at once
// (each leaf's own nearest item, from +inf), and each query's traversal then takes the leaves'
// answers in its own order with its own pruning, as the traversal over the items would.
void local_bvh_nearest(const LocalBvh& local, BvhItemKind kind, const double* qx,
                       const double* qy, size_t count, std::optional<NearestHit>* hits,
                       cpu::Level level);

}  // namespace mirelon
