// Point-set reductions and distance matrices called directly: their vector paths give the bits
// of the portable path at every instruction-set level, and extents whose sizes do not fit in 64
// bits or are negative fail with their message before any operand is touched (wrapped products
// would pass the length checks, 2^32 x 2^32 wrapping to 0, and let the loops run far outside the
// buffers).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "cpu.hpp"
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

// ---- every level gives the same bits ------------------------------------------------------------

// A forward call: its kernel, its input shapes, the values of its small inputs (parameters, kind;
// none given means random points with NaN, infinite, zero and repeated values) and its output
// length.
struct LevelCase {
  const char* name;
  mirelon::KernelFn f32;
  mirelon::KernelFn f64;
  std::vector<Dims> in;
  std::vector<std::vector<double>> values;
  int64_t out;
};

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

template <typename T>
std::vector<T> run_at(mirelon::cpu::Level level, const LevelCase& c, mirelon::KernelFn fn) {
  std::vector<std::vector<T>> data;
  std::vector<KernelBuffer> in;
  const int32_t dtype = sizeof(T) == 4 ? 11 : 12;
  for (size_t k = 0; k < c.in.size(); ++k) {
    const size_t n = mirelon::element_count({c.in[k], nullptr, dtype});
    if (k < c.values.size() && !c.values[k].empty()) {
      data.emplace_back(c.values[k].begin(), c.values[k].end());
    } else {
      data.push_back(points<T>(n, 17 + k));
    }
    in.push_back({c.in[k], data.back().data(), dtype});
  }
  std::vector<T> result(static_cast<size_t>(c.out), T(-7.25));
  const KernelBuffer out{{c.out}, result.data(), dtype};
  mirelon::cpu::cap(level);
  KernelResult r;
  fn(r, in.data(), in.size(), &out, 1);
  mirelon::cpu::cap(mirelon::cpu::Level::avx512);
  EXPECT_TRUE(r.ok) << c.name << ": " << r.message;
  return result;
}

template <typename T>
void check_levels(const LevelCase& c, mirelon::KernelFn fn) {
  using mirelon::cpu::Level;
  const std::vector<T> plain = run_at<T>(Level::portable, c, fn);
  for (Level level : {Level::avx2, Level::avx512}) {
    if (mirelon::cpu::machine() < level) continue;
    const std::vector<T> got = run_at<T>(level, c, fn);
    ASSERT_EQ(got.size(), plain.size());
    EXPECT_EQ(std::memcmp(got.data(), plain.data(), got.size() * sizeof(T)), 0)
        << c.name << " at " << mirelon::cpu::name(level) << " differs from the portable path";
  }
}

class EveryLevel : public ::testing::TestWithParam<LevelCase> {};

TEST_P(EveryLevel, GivesThePortableBits) {
  check_levels<float>(GetParam(), GetParam().f32);
  check_levels<double>(GetParam(), GetParam().f64);
}

// 37 queries: groups of 16, 8 and 4 lanes and the queries left over; parameters that take both
// paths of every kind.
const std::vector<Dims> kSoft = {{2, 37, 2}, {1, 53, 2}, {2}};
const std::vector<Dims> kReduce = {{2, 37, 2}, {1, 53, 2}, {2}, {1}};

INSTANTIATE_TEST_SUITE_P(
    Forwards, EveryLevel,
    ::testing::Values(
        LevelCase{KERNEL(points_closest_soft_fwd), kSoft, {{}, {}, {0.3, -1.0}}, 74},
        LevelCase{KERNEL(points_closest_soft_fwd), kSoft, {{}, {}, {1e-3, 0.0}}, 74},
        LevelCase{KERNEL(row_reduce_fwd), kReduce, {{}, {}, {0.3, -1.0}, {0.0}}, 74},
        LevelCase{KERNEL(row_reduce_fwd), kReduce, {{}, {}, {0.3, -1.0}, {1.0}}, 74},
        LevelCase{KERNEL(row_reduce_fwd), kReduce, {{}, {}, {0.3, -1.0}, {2.0}}, 74},
        LevelCase{KERNEL(row_reduce_fwd), kReduce, {{}, {}, {1.5, 0.0}, {3.0}}, 74},
        LevelCase{KERNEL(row_reduce_fwd), kReduce, {{}, {}, {1.5, -1.0}, {4.0}}, 74},
        // 300 segments: a full tile of 256, then lanes and a few left over.
        LevelCase{KERNEL(segments_matrix_fwd), {{3, 29, 2}, {300, 4}}, {}, 3 * 29 * 300},
        // 600 rays of 3 components: more than one tile; one component; too many components
        // for a tile.
        LevelCase{KERNEL(ray_matrix_fwd), {{2, 7, 3}, {1, 600, 3}, {2, 600, 3}}, {}, 2 * 7 * 600},
        LevelCase{KERNEL(ray_matrix_fwd), {{5, 1}, {2, 13, 1}, {13, 1}}, {}, 2 * 5 * 13},
        LevelCase{KERNEL(ray_matrix_fwd), {{3, 600}, {9, 600}, {9, 600}}, {}, 3 * 9}));

}  // namespace
