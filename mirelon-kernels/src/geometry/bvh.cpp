#include "geometry/bvh.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

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

// Squared distance from q to a box; 0 on an axis where q lies inside the box's range or is NaN.
inline double box_d2(const BvhNode& node, double qx, double qy) {
  double dx = 0.0;
  if (node.min_x > qx) {
    dx = node.min_x - qx;
  } else if (qx > node.max_x) {
    dx = qx - node.max_x;
  }
  double dy = 0.0;
  if (node.min_y > qy) {
    dy = node.min_y - qy;
  } else if (qy > node.max_y) {
    dy = qy - node.max_y;
  }
  return dx * dx + dy * dy;
}

// Centroids (cx, cy) of every item, the midpoint of its NaN-ignoring box.
std::vector<double> centroids_of(BvhItemKind kind, std::span<const double> items, size_t n) {
  std::vector<double> c(2 * n);
  for (size_t i = 0; i < n; ++i) {
    Box box;
    grow_by_item(box, kind, items.data(), i);
    c[2 * i] = (box.min_x + box.max_x) * 0.5;
    c[2 * i + 1] = (box.min_y + box.max_y) * 0.5;
  }
  return c;
}

Bvh build(BvhItemKind kind, std::span<const double> items, size_t n) {
  Bvh bvh;
  if (n == 0) {
    bvh.nodes.reserve(2);
    BvhNode leaf;
    Box empty;
    leaf.min_x = empty.min_x;
    leaf.min_y = empty.min_y;
    leaf.max_x = empty.max_x;
    leaf.max_y = empty.max_y;
    bvh.nodes.push_back(leaf);
    return bvh;
  }
  bvh.order.resize(n);
  for (size_t i = 0; i < n; ++i) bvh.order[i] = i;
  bvh.nodes.reserve(2 * n);
  const std::vector<double> centroids = centroids_of(kind, items, n);
  bvh_build_node(kind, items, centroids, bvh.order, 0, n, bvh.nodes);
  return bvh;
}

// Largest traversal depth the fixed query stack supports: the tree is median-split, so its
// depth is below log2(n) + 1 <= 65 for any n that fits in memory; each level leaves at most one
// pending sibling on the stack.
constexpr size_t kStackCapacity = 128;

struct PointLeaf {
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

struct SegmentLeaf {
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
std::optional<NearestHit> nearest(const Bvh& bvh, const double* items, size_t n, double qx,
                                  double qy) {
  if (n == 0 || bvh.nodes.empty()) return std::nullopt;
  const BvhNode* nodes = bvh.nodes.data();
  const uint64_t* order = bvh.order.data();
  std::array<uint64_t, kStackCapacity> stack;
  size_t top = 0;
  stack[top++] = 0;
  double best = kInf;
  bool found = false;
  NearestHit hit;
  while (top > 0) {
    const BvhNode& node = nodes[stack[--top]];
    if (box_d2(node, qx, qy) >= best) continue;  // ties prune; so does +inf at the root
    if (node.kind == BvhNodeKind::internal) {
      const double dl = box_d2(nodes[node.a], qx, qy);
      const double dr = box_d2(nodes[node.b], qx, qy);
      if (top + 2 > kStackCapacity) return std::nullopt;  // unreachable for a median split
      if (dl <= dr) {
        stack[top++] = node.b;
        stack[top++] = node.a;
      } else {
        stack[top++] = node.a;
        stack[top++] = node.b;
      }
      continue;
    }
    const uint64_t end = node.a + node.b;
    for (uint64_t p = node.a; p < end; ++p) {
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
  if (!found) return std::nullopt;
  hit.d2 = best;
  return hit;
}

}  // namespace bvh_detail

size_t bvh_build_node(BvhItemKind kind, std::span<const double> items,
                      std::span<const double> centroids, std::vector<uint64_t>& order,
                      size_t start, size_t end, std::vector<BvhNode>& nodes) {
  using bvh_detail::Box;
  const size_t count = end - start;
  Box box;
  for (size_t p = start; p < end; ++p) bvh_detail::grow_by_item(box, kind, items.data(), order[p]);

  BvhNode node;
  node.min_x = box.min_x;
  node.min_y = box.min_y;
  node.max_x = box.max_x;
  node.max_y = box.max_y;
  if (count <= kBvhLeafSize) {
    node.kind = BvhNodeKind::leaf;
    node.a = start;
    node.b = count;
    nodes.push_back(node);
    return nodes.size() - 1;
  }

  const double extent_x = box.max_x - box.min_x;
  const double extent_y = box.max_y - box.min_y;
  const size_t axis = extent_x >= extent_y ? 0 : 1;  // unordered (NaN) goes to y
  const size_t mid = count / 2;
  // NaN coordinates sort after every number, which keeps the ordering strict-weak (as the
  // selection requires) and still satisfies the median guarantee under plain less-than.
  const double* c = centroids.data();
  auto less = [c, axis](uint64_t i, uint64_t j) {
    const double u = c[2 * i + axis];
    const double v = c[2 * j + axis];
    return u < v || (!std::isnan(u) && std::isnan(v));
  };
  std::nth_element(order.begin() + static_cast<std::ptrdiff_t>(start),
                   order.begin() + static_cast<std::ptrdiff_t>(start + mid),
                   order.begin() + static_cast<std::ptrdiff_t>(end), less);

  nodes.push_back(BvhNode{});  // reserved before the children: pre-order layout
  const size_t p = nodes.size() - 1;
  const size_t left = bvh_build_node(kind, items, centroids, order, start, start + mid, nodes);
  const size_t right = bvh_build_node(kind, items, centroids, order, start + mid, end, nodes);
  node.kind = BvhNodeKind::internal;
  node.a = left;
  node.b = right;
  nodes[p] = node;
  return p;
}

Bvh bvh_build_points(std::span<const double> points, size_t n) {
  return bvh_detail::build(BvhItemKind::point, points, n);
}

Bvh bvh_build_segments(std::span<const double> segments, size_t n) {
  return bvh_detail::build(BvhItemKind::segment, segments, n);
}

std::optional<NearestHit> bvh_nearest_point(const Bvh& bvh, std::span<const double> points,
                                            size_t n, double qx, double qy) {
  return bvh_detail::nearest<bvh_detail::PointLeaf>(bvh, points.data(), n, qx, qy);
}

std::optional<NearestHit> bvh_nearest_segment(const Bvh& bvh, std::span<const double> segments,
                                              size_t n, double qx, double qy) {
  return bvh_detail::nearest<bvh_detail::SegmentLeaf>(bvh, segments.data(), n, qx, qy);
}

}  // namespace mirelon
