// Grid and mesh interpolation kernels called directly: the vector path of the grid kernels gives
// the bits of the portable one, and extents that are negative or whose product overflows are
// rejected. Operands own exactly sized storage, so sanitizers see any access past them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "cpu.hpp"
#include "kernel_call.hpp"
#include "targets.hpp"

namespace mirelon {
namespace {

using namespace test_support;

template <typename T>
class GridVectorPath : public ::testing::Test {
 protected:
  void TearDown() override { cpu::cap(cpu::Level::avx512); }

  // Random grid values, and points inside, outside, on the edges and special.
  static void fill(Operand<T>& f, Operand<T>& p, size_t dim, std::mt19937_64& rng) {
    std::normal_distribution<double> normal;
    for (T& v : f.values) v = static_cast<T>(normal(rng));
    // NaNs of both signs, and infinities whose zero weights give the default NaN.
    f.values[5] = std::numeric_limits<T>::quiet_NaN();
    f.values[6] = -std::numeric_limits<T>::quiet_NaN();
    f.values[f.values.size() / 2] = std::numeric_limits<T>::infinity();
    f.values[f.values.size() / 2 + 1] = -std::numeric_limits<T>::quiet_NaN();
    std::uniform_real_distribution<double> wide(-3.0, 14.0);
    for (T& v : p.values) v = static_cast<T>(wide(rng));
    const T special[] = {std::numeric_limits<T>::quiet_NaN(), std::numeric_limits<T>::infinity(),
                         -std::numeric_limits<T>::infinity(), T(-0.0), T(0), T(1e30)};
    for (size_t k = 0; k < std::size(special); ++k) p.values[dim * k + k % dim] = special[k];
    p.values[dim * 7] = T(0.5) * T(f.dims.back() - 1);  // the upper x edge
  }

  // The outputs of `kernel` at the portable level and at AVX2, byte for byte.
  void expect_same_bits(KernelFn kernel, std::vector<Operand<T>*> in, Operands<T> out) {
    Operands<T> portable = out;
    std::vector<Operand<T>*> outs, portable_outs;
    for (auto& o : out) outs.push_back(&o);
    for (auto& o : portable) portable_outs.push_back(&o);
    cpu::cap(cpu::Level::portable);
    ASSERT_EQ(run<T>(kernel, in, portable_outs), "");
    cpu::cap(cpu::Level::avx2);
    ASSERT_EQ(run<T>(kernel, in, outs), "");
    for (size_t k = 0; k < out.size(); ++k)
      EXPECT_EQ(first_bit_difference(out[k].values, portable[k].values), out[k].values.size())
          << "output " << k;
  }

  void check(size_t dim, std::vector<int64_t> grid, int64_t point_batches, int64_t m) {
    if (cpu::machine() < cpu::Level::avx2) GTEST_SKIP() << "no AVX2 on this machine";
    std::mt19937_64 rng(grid.size() * 100 + point_batches);
    Operand<T> f(grid, T(0));
    Operand<T> p({point_batches, m, static_cast<int64_t>(dim)}, T(0));
    fill(f, p, dim, rng);
    // x from +0, so that a point at -0 has the offset -0; the other axes from -0.5.
    Operand<T> origin({static_cast<int64_t>(dim)}, T(-0.5));
    origin.values[0] = T(0);
    Operand<T> spacing({static_cast<int64_t>(dim)}, T(0.5));
    spacing.values[dim - 1] = T(0.75);
    const int64_t b = std::max<int64_t>(grid.size() == dim + 1 ? grid[0] : 1, point_batches);
    Operand<T> g({b, m}, T(0));
    std::normal_distribution<double> normal;
    for (T& v : g.values) v = static_cast<T>(normal(rng));
    const bool two = dim == 2;
    expect_same_bits(two ? KernelFn(field_interp_fwd<T>) : KernelFn(field3_interp_fwd<T>),
                     {&f, &p, &origin, &spacing}, {Operand<T>({b, m}, T(0))});
    expect_same_bits(two ? KernelFn(field_interp_vjp<T>) : KernelFn(field3_interp_vjp<T>),
                     {&f, &p, &origin, &spacing, &g},
                     {Operand<T>(f.dims, T(0)), Operand<T>(p.dims, T(0))});
  }
};

using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(GridVectorPath, ElementTypes);

TYPED_TEST(GridVectorPath, BilinearMatchesThePortablePath) {
  this->check(2, {2, 7, 9}, 2, 301);
  this->check(2, {1, 7, 9}, 3, 4001);  // one grid for every batch, in pieces on the pool
}

TYPED_TEST(GridVectorPath, TrilinearMatchesThePortablePath) {
  this->check(3, {2, 5, 6, 7}, 2, 203);
  this->check(3, {1, 5, 6, 7}, 3, 4001);
}

// The forward runs its queries in pieces on the pool; the first query to reach a bad triangle
// names the error, and every query before it has its results.
TEST(MeshForward, QueriesBeforeTheFirstFailingOneAreWrittenWhateverThePieces) {
  using T = double;
  constexpr int64_t nt = 600, nq = 3000, first_failing = 1234;
  Operand<T> v{{4, 2}, {0, 0, 1, 0, 0, 1, 5, 5}};
  Operand<T> t({nt, 3}, T(0));
  for (int64_t k = 0; k < nt; ++k) {
    t.values[3 * k + 1] = 1;
    t.values[3 * k + 2] = 2;
  }
  t.values[3 * 500 + 2] = 9;  // reached only by queries outside the unit triangle
  Operand<T> z{{4}, {1, 2, 3, 4}};
  Operand<T> q({nq, 2}, T(0.25));
  for (int64_t k : {first_failing, int64_t{1800}, int64_t{2999}}) q.values[2 * k] = 3;
  Operand<T> value({nq}, T(-1)), index({nq}, T(-1));
  Operand<T> bary({3, nq}, T(-1));
  EXPECT_EQ(run<T>(mesh_interp_fwd<T>, {&v, &t, &z, &q}, {&value, &index, &bary}),
            "triangle 500 references vertex 9 outside 0..4");
  for (int64_t k = 0; k < first_failing; ++k) {
    ASSERT_EQ(value.values[k], T(1.75)) << k;
    ASSERT_EQ(index.values[k], T(0)) << k;
  }
}

constexpr int64_t kBig = int64_t{1} << 32;
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

TEST(GridAndMeshExtents, NegativeOrOverflowingSizesAreRejected) {
  using T = double;
  struct Case {
    KernelFn kernel;
    std::vector<Dims> in, out;
    const char* text;
  };
  const Case cases[] = {
      {field_interp_fwd<T>, {{-3, 4}, {5, 2}, {2}, {2}}, {{5}}, "field must be at least 2x2, got 0x4"},
      {field_interp_vjp<T>, {{2, -1}, {5, 2}, {2}, {2}, {5}}, {{4}, {10}},
       "field must be at least 2x2, got 2x0"},
      {field_interp_fwd<T>, {{3, 4}, {-5, 2}, {2}, {2}}, {{5}}, "inner block size must be positive"},
      {field_interp_fwd<T>, {{kBig, kBig}, {5, 2}, {2}, {2}}, {{5}},
       "field of 4294967296x4294967296 values is too large"},
      {field3_interp_vjp<T>, {{2, -3, 4}, {5, 3}, {3}, {3}, {5}}, {{24}, {15}},
       "field3 must be at least 2x2x2, got 2x0x4"},
      {field3_interp_fwd<T>, {{kBig, kBig, 2}, {5, 3}, {3}, {3}}, {{5}},
       "field3 of 4294967296x4294967296x2 values is too large"},
      {field3_interp_fwd<T>, {{2, 2, 2}, {kMax, 4}, {3}, {3}}, {{5}},
       "query point block of 9223372036854775807x3 values is too large"},
      {mesh_interp_fwd<T>, {{-3, 2}, {1, 3}, {0}, {1, 2}}, {{1}, {1}, {3}},
       "mesh_interp: buffer length mismatch"},
      {mesh_interp_fwd<T>, {{3, 2}, {1, 3}, {3}, {-1, 2}}, {{0}, {0}, {0}},
       "mesh_interp: buffer length mismatch"},
      {mesh_interp_vjp<T>, {{3, 2}, {-2, 3}, {3}, {1}, {3}, {1}}, {{3}, {2}},
       "mesh_interp_vjp: buffer length mismatch"},
  };
  for (const Case& c : cases) expect_rejected<T>(c.kernel, c.in, c.out, c.text, c.text);
}

}  // namespace
}  // namespace mirelon
