// Graph kernels on edge lists long enough to run on the pool, called directly so that the
// sanitizer builds watch the grouped propagation and the parallel edge checks: the cascade equals
// a plain pass over the edges in input order, bit for bit, and the lengths stop at the first
// invalid edge.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "kernel_call.hpp"
#include "targets.hpp"

namespace {

using mirelon::KernelBuffer;
using mirelon::KernelResult;
using mirelon::test_support::buffer;

template <typename T>
class LongEdgeLists : public ::testing::Test {};

using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(LongEdgeLists, ElementTypes);

constexpr size_t kNodes = 3000;
constexpr size_t kEdges = 70000;

// Edges with end points off by fractions that truncate to the node.
template <typename T>
std::vector<T> random_edges(std::mt19937_64& rng) {
  std::uniform_int_distribution<size_t> node(0, kNodes - 1);
  std::vector<T> e(2 * kEdges);
  for (T& v : e) v = static_cast<T>(node(rng)) + T(0.25);
  return e;
}

TYPED_TEST(LongEdgeLists, CascadeSumsMatchOnePassInEdgeOrder) {
  using T = TypeParam;
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> uniform(-0.5, 0.5);
  std::vector<T> edges = random_edges<T>(rng), w(kEdges), x(2 * kNodes), steps{T(3)};
  for (T& v : w) v = static_cast<T>(uniform(rng));
  for (T& v : x) v = static_cast<T>(uniform(rng));
  std::vector<T> y(2 * kNodes, T(-1));
  const KernelBuffer in[] = {buffer(x, {2, kNodes}), buffer(edges, {kEdges, 2}),
                             buffer(w, {kEdges}), buffer(steps, {1})};
  const KernelBuffer out[] = {buffer(y, {2, kNodes})};
  KernelResult r;
  mirelon::cascade_fwd<T>(r, in, 4, out, 1);
  ASSERT_TRUE(r.ok) << r.message;

  for (size_t b = 0; b < 2; ++b) {
    std::vector<T> state(x.begin() + b * kNodes, x.begin() + (b + 1) * kNodes), total(kNodes);
    for (size_t k = 0; k < kNodes; ++k) total[k] = T(0) + state[k];
    for (int s = 0; s < 3; ++s) {
      std::vector<T> next(kNodes, T(0));
      for (size_t e = 0; e < kEdges; ++e) {
        const auto src = static_cast<size_t>(edges[2 * e]);
        const auto dst = static_cast<size_t>(edges[2 * e + 1]);
        next[dst] = w[e] * state[src] + next[dst];
      }
      for (size_t k = 0; k < kNodes; ++k) total[k] = total[k] + next[k];
      state = next;
    }
    for (size_t k = 0; k < kNodes; ++k) ASSERT_EQ(y[b * kNodes + k], total[k]) << b << " " << k;
  }
}

TYPED_TEST(LongEdgeLists, EdgeLengthsStopAtTheFirstInvalidEdge) {
  using T = TypeParam;
  std::mt19937_64 rng(6);
  std::uniform_real_distribution<double> uniform(-5, 5);
  std::vector<T> edges = random_edges<T>(rng), x(2 * kNodes);
  for (T& v : x) v = static_cast<T>(uniform(rng));
  edges[2 * 65001] = T(-1);
  edges[2 * 50000 + 1] = static_cast<T>(kNodes);
  std::vector<T> lengths(kEdges, T(-1));
  const KernelBuffer in[] = {buffer(x, {kNodes, 2}), buffer(edges, {kEdges, 2})};
  const KernelBuffer out[] = {buffer(lengths, {kEdges})};
  KernelResult r;
  mirelon::edge_lengths_fwd<T>(r, in, 2, out, 1);
  EXPECT_EQ(r.message, "edge 50000 references node (" +
                           std::to_string(static_cast<size_t>(edges[100000])) +
                           ", 3000) outside 0..3000");
  for (size_t e = 0; e < kEdges; ++e) ASSERT_EQ(lengths[e] >= T(0), e < 50000) << e;
}

}  // namespace
