// Point-set reductions and distance matrices called directly with extents whose sizes do not fit
// in 64 bits or are negative: each call must fail with its message before touching an operand.
// Wrapped products would pass the length checks (2^32 x 2^32 wraps to 0, so an empty output
// would do) and let the loops run far outside the buffers.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "targets.hpp"

namespace {

using mirelon::KernelBuffer;
using mirelon::KernelResult;
using Dims = std::vector<int64_t>;

constexpr int64_t k2_32 = int64_t{1} << 32;
constexpr int64_t k2_62_plus_1 = (int64_t{1} << 62) + 1;

struct Oversized {
  const char* name;
  mirelon::KernelFn f32;
  mirelon::KernelFn f64;
  std::vector<Dims> in;
  std::vector<Dims> out;
  const char* text;
};

#define KERNEL(k) #k, &mirelon::k<float>, &mirelon::k<double>

// Every input points at the same small zeroed block: large enough for the operands that are
// read before the checks (a kind code), far too small for the claimed sizes, so any later read
// is caught by the sanitizer build. Outputs are 4 elements, or none with a null pointer.
template <typename T>
void check_rejected(const Oversized& c, mirelon::KernelFn fn) {
  std::vector<T> block(16, T(0));
  std::vector<std::vector<T>> out_data;
  std::vector<KernelBuffer> in, out;
  const int32_t dtype = sizeof(T) == 4 ? 11 : 12;
  for (const Dims& d : c.in) in.push_back({d, block.data(), dtype});
  for (const Dims& d : c.out) {
    out_data.emplace_back(mirelon::element_count({d, nullptr, dtype}), T(-7.25));
    out.push_back({d, out_data.back().empty() ? nullptr : out_data.back().data(), dtype});
  }
  KernelResult r;
  fn(r, in.data(), in.size(), out.data(), out.size());
  EXPECT_FALSE(r.ok) << c.name;
  EXPECT_EQ(r.message, c.text) << c.name;
  for (const auto& o : out_data)
    for (T v : o) EXPECT_EQ(v, T(-7.25)) << c.name << " wrote an output before failing";
}

class OversizedCall : public ::testing::TestWithParam<Oversized> {};

TEST_P(OversizedCall, FailsBeforeTouchingAnOperand) {
  check_rejected<float>(GetParam(), GetParam().f32);
  check_rejected<double>(GetParam(), GetParam().f64);
}

// Queries [1, 2^32, 2] against references [2^32, 1, 2]: 2^32 batches of 2^32 queries.
const Dims kManyQueries = {1, k2_32, 2};
const Dims kManyBatches = {k2_32, 1, 2};

INSTANTIATE_TEST_SUITE_P(
    PointSets, OversizedCall,
    ::testing::Values(
        Oversized{KERNEL(points_closest_soft_fwd), {kManyQueries, kManyBatches, {1}}, {{0}},
                  "output length mismatch"},
        Oversized{KERNEL(points_closest_soft_vjp), {kManyQueries, kManyBatches, {1}, {0}},
                  {{4}, {4}}, "cotangent length mismatch"},
        Oversized{KERNEL(row_reduce_fwd), {kManyQueries, kManyBatches, {1}, {1}}, {{0}},
                  "output length mismatch"},
        Oversized{KERNEL(row_reduce_vjp), {kManyQueries, kManyBatches, {1}, {0}, {1}},
                  {{4}, {4}}, "cotangent length mismatch"},
        // A negative extent is no count of points.
        Oversized{KERNEL(points_closest_soft_fwd), {{2, -3, 2}, {3, 2}, {1}}, {{4}},
                  "inner block size must be positive"},
        Oversized{KERNEL(row_reduce_fwd), {{2, 2}, {-5, 2}, {1}, {1}}, {{2}},
                  "inner block size must be positive"}));

INSTANTIATE_TEST_SUITE_P(
    Matrices, OversizedCall,
    ::testing::Values(
        // 2^32 points against 2^32 segments.
        Oversized{KERNEL(segments_matrix_fwd), {kManyQueries, {k2_32, 4}}, {{0}},
                  "output length mismatch"},
        Oversized{KERNEL(segments_matrix_vjp), {kManyQueries, {k2_32, 4}, {0}}, {{4}, {4}},
                  "cotangent length mismatch"},
        // D * Np and R * D beyond 64 bits; the element counts wrap to 4.
        Oversized{KERNEL(ray_matrix_fwd), {{1, 4, k2_62_plus_1}, {1, 4}, {1, 4}}, {{4}},
                  "inner block size 4611686018427387905 x 4 does not fit in 64 bits"},
        Oversized{KERNEL(ray_matrix_vjp), {{1, 4}, {k2_62_plus_1, 4}, {1, 4}, {1}}, {{4}, {4}, {4}},
                  "inner block size 4611686018427387905 x 4 does not fit in 64 bits"},
        // 2^32 points in one batch against 2^33 batches of one ray: 2^65 distances.
        Oversized{KERNEL(ray_matrix_fwd), {{1, k2_32, 1}, {2 * k2_32, 1, 1}, {1, 1}}, {{0}},
                  "output length mismatch"},
        Oversized{KERNEL(ray_matrix_vjp), {{1, k2_32, 1}, {2 * k2_32, 1, 1}, {1, 1}, {0}},
                  {{4}, {4}, {4}}, "cotangent length mismatch"},
        Oversized{KERNEL(ray_matrix_fwd), {{2, 3, -2}, {1, 2}, {1, 2}}, {{4}},
                  "inner block size must be positive"}));

}  // namespace
