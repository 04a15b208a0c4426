// Point-set reductions and distance matrices called directly: extents whose sizes do not fit in
// 64 bits or are negative fail before any operand is touched (a wrapped 2^32 x 2^32 is 0, so an
// empty output would pass its check and the loops run far outside the buffers), and the vector
// paths give the bits of the portable path at every instruction-set level.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "cpu.hpp"
#include "kernel_call.hpp"
#include "targets.hpp"

namespace {

using namespace mirelon::test_support;
using mirelon::cpu::Level;

// Inputs without values hold random points with NaN, infinite, zero and repeated values; a failing
// call's inputs each hold a small block, far too small for the shapes claimed, so that a read past
// the checks shows in the sanitizer build.
using Call = KernelCase;

template <typename T>
std::vector<T> points(size_t n, size_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-3.0, 3.0);
  std::vector<T> v(n);
  for (T& x : v) x = static_cast<T>(u(rng));
  if (n >= 24) {
    v[3] = std::numeric_limits<T>::quiet_NaN();
    v[10] = std::numeric_limits<T>::infinity();
    for (size_t k = 0; k < 8; ++k) v[n - 8 + k] = v[k + 12];  // repeated points and records
    for (size_t k = 12; k < 15; ++k) v[k] = T(0);              // zero directions, equal ends
  }
  return v;
}

// Runs the call at `level`; returns its outputs, each first filled with the sentinel.
template <typename T>
Operands<T> run(const Call& c, mirelon::KernelFn fn, Level level) {
  Operands<T> in, out;
  for (size_t k = 0; k < c.in.size(); ++k) {
    if (k < c.values.size() && !c.values[k].empty()) {
      in.emplace_back(c.in[k], std::vector<T>(c.values[k].begin(), c.values[k].end()));
    } else if (c.text == nullptr) {
      in.emplace_back(c.in[k], points<T>(elements(c.in[k]), 17 + k));
    } else {
      in.emplace_back(c.in[k], std::vector<T>(16, T(0)));
    }
  }
  for (const Dims& d : c.out) out.emplace_back(d, kSentinel<T>);
  mirelon::cpu::cap(level);
  const std::string message = run(fn, in, out);
  mirelon::cpu::cap(Level::avx512);
  EXPECT_EQ(message, c.text == nullptr ? "" : c.text) << c.name;
  return out;
}

template <typename T>
void check(const Call& c, mirelon::KernelFn fn) {
  const Operands<T> plain = run<T>(c, fn, Level::portable);
  if (c.text != nullptr) return expect_untouched(plain, kSentinel<T>, c.name);
  for (Level level : {Level::avx2, Level::avx512}) {
    if (mirelon::cpu::machine() < level) continue;
    const Operands<T> got = run<T>(c, fn, level);
    EXPECT_EQ(first_bit_difference(got[0].values, plain[0].values), plain[0].values.size())
        << c.name << " at " << mirelon::cpu::name(level) << " differs from the portable path";
  }
}

class ReductionCall : public ::testing::TestWithParam<Call> {};

TEST_P(ReductionCall, FailsUntouchedOrGivesThePortableBitsAtEveryLevel) {
  check<float>(GetParam(), GetParam().f32);
  check<double>(GetParam(), GetParam().f64);
}

constexpr int64_t k2_32 = int64_t{1} << 32;
constexpr int64_t k2_62_plus_1 = (int64_t{1} << 62) + 1;
const Dims kManyQueries = {1, k2_32, 2};  // against kManyBatches: 2^32 batches of 2^32 queries
const Dims kManyBatches = {k2_32, 1, 2};

INSTANTIATE_TEST_SUITE_P(
    Oversized, ReductionCall,
    ::testing::Values(
        Call{TYPED_KERNEL(points_closest_soft_fwd), {kManyQueries, kManyBatches, {1}}, {{0}}, {},
             "output length mismatch"},
        Call{TYPED_KERNEL(row_reduce_vjp), {kManyQueries, kManyBatches, {1}, {0}, {1}}, {{4}, {4}}, {},
             "cotangent length mismatch"},
        Call{TYPED_KERNEL(row_reduce_fwd), {{2, 2}, {-5, 2}, {1}, {1}}, {{2}}, {},
             "inner block size must be positive"},
        Call{TYPED_KERNEL(segments_matrix_fwd), {kManyQueries, {k2_32, 4}}, {{0}}, {},
             "output length mismatch"},
        // D x Np and R x D beyond 64 bits, with element counts that wrap to 4.
        Call{TYPED_KERNEL(ray_matrix_fwd), {{1, 4, k2_62_plus_1}, {1, 4}, {1, 4}}, {{4}}, {},
             "inner block size 4611686018427387905 x 4 does not fit in 64 bits"},
        Call{TYPED_KERNEL(ray_matrix_vjp), {{1, 4}, {k2_62_plus_1, 4}, {1, 4}, {1}}, {{4}, {4}, {4}},
             {}, "inner block size 4611686018427387905 x 4 does not fit in 64 bits"},
        // 2^32 points in one batch against 2^33 batches of one ray.
        Call{TYPED_KERNEL(ray_matrix_fwd), {{1, k2_32, 1}, {2 * k2_32, 1, 1}, {1, 1}}, {{0}}, {},
             "output length mismatch"}));

// 37 queries: groups of 16, 8 and 4 lanes and queries left over; parameters for both paths of
// every kind. 300 segments: a tile of 256, then lanes and a few left over. 600 rays of three
// components: more than a tile; one component; too many components for a tile.
const std::vector<Dims> kSoft = {{2, 37, 2}, {1, 53, 2}, {2}};
const std::vector<Dims> kReduce = {{2, 37, 2}, {1, 53, 2}, {2}, {1}};

INSTANTIATE_TEST_SUITE_P(
    EveryLevel, ReductionCall,
    ::testing::Values(
        Call{TYPED_KERNEL(points_closest_soft_fwd), kSoft, {{74}}, {{}, {}, {0.3, -1.0}}},
        Call{TYPED_KERNEL(points_closest_soft_fwd), kSoft, {{74}}, {{}, {}, {1e-3, 0.0}}},
        Call{TYPED_KERNEL(row_reduce_fwd), kReduce, {{74}}, {{}, {}, {0.3, -1.0}, {0.0}}},
        Call{TYPED_KERNEL(row_reduce_fwd), kReduce, {{74}}, {{}, {}, {0.3, -1.0}, {1.0}}},
        Call{TYPED_KERNEL(row_reduce_fwd), kReduce, {{74}}, {{}, {}, {0.3, -1.0}, {2.0}}},
        Call{TYPED_KERNEL(row_reduce_fwd), kReduce, {{74}}, {{}, {}, {1.5, 0.0}, {3.0}}},
        Call{TYPED_KERNEL(row_reduce_fwd), kReduce, {{74}}, {{}, {}, {1.5, -1.0}, {4.0}}},
        Call{TYPED_KERNEL(segments_matrix_fwd), {{3, 29, 2}, {300, 4}}, {{3 * 29 * 300}}},
        Call{TYPED_KERNEL(ray_matrix_fwd), {{2, 7, 3}, {1, 600, 3}, {2, 600, 3}}, {{2 * 7 * 600}}},
        Call{TYPED_KERNEL(ray_matrix_fwd), {{5, 1}, {2, 13, 1}, {13, 1}}, {{2 * 5 * 13}}},
        Call{TYPED_KERNEL(ray_matrix_fwd), {{3, 600}, {9, 600}, {9, 600}}, {{3 * 9}}}));

}  // namespace
