// The geometry vector paths (the segment leaf scan, the distance row) at every instruction-set
// level this machine runs, against the portable bodies, bit for bit: the nearest-segment query
// and the kernels built on them, both element types, counts that leave partial groups of four
// and partial leaves, ties and NaN.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "cpu.hpp"
#include "geometry/bvh.hpp"
#include "kernel_call.hpp"
#include "targets.hpp"

namespace mirelon {
namespace {

using namespace test_support;

// Runs each test at every level up to the machine's and restores the highest level afterwards.
class GeometryLevels : public ::testing::Test {
 protected:
  void TearDown() override { cpu::cap(cpu::Level::avx512); }

  static std::vector<cpu::Level> wider_levels() {
    std::vector<cpu::Level> out;
    for (cpu::Level l : {cpu::Level::avx2, cpu::Level::avx512})
      if (l <= cpu::machine()) out.push_back(l);
    return out;
  }
};

// Coordinates in [-scale, scale] with specials: every 11th word NaN, every 13th a copy of the
// word four places back (exact ties between neighbouring items), every 17th infinite.
template <typename T>
std::vector<T> words(size_t count, uint64_t seed, double scale = 10.0) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-scale, scale);
  std::vector<T> w(count);
  for (size_t k = 0; k < count; ++k) {
    w[k] = static_cast<T>(u(rng));
    if (k % 11 == 5) w[k] = std::numeric_limits<T>::quiet_NaN();
    if (k % 13 == 7 && k >= 4) w[k] = w[k - 4];
    if (k % 17 == 9) w[k] = std::numeric_limits<T>::infinity();
  }
  return w;
}

// One kernel call on the given inputs ((extents, values) each) at the active level; returns
// its outputs, which start as the sentinel, and fails the test if the call fails.
template <typename T>
struct Call {
  std::vector<Dims> in_dims;
  std::vector<std::vector<T>> in_values;
  std::vector<Dims> out_dims;

  Operands<T> run(KernelFn f) const {
    Operands<T> in, out;
    for (size_t k = 0; k < in_values.size(); ++k) in.emplace_back(in_dims[k], in_values[k]);
    for (const Dims& d : out_dims) out.emplace_back(d, kSentinel<T>);
    EXPECT_EQ(test_support::run(f, in, out), "");
    return out;
  }
};

// Every wider level gives the portable level's outputs bit for bit.
template <typename T>
void expect_levels_agree(const Call<T>& call, KernelFn f, const char* what) {
  cpu::cap(cpu::Level::portable);
  const auto want = call.run(f);
  for (cpu::Level l : {cpu::Level::avx2, cpu::Level::avx512}) {
    if (l > cpu::machine()) continue;
    cpu::cap(l);
    const auto got = call.run(f);
    for (size_t k = 0; k < want.size(); ++k)
      EXPECT_EQ(first_bit_difference(got[k].values, want[k].values), want[k].values.size())
          << what << ": output " << k << " differs at " << cpu::name(l);
  }
}

TEST_F(GeometryLevels, NearestSegmentIsTheSameAtEveryLevel) {
  // Counts around multiples of four and of the leaf size; queries on and beside the segments,
  // NaN and infinite ones, and far ones whose squared distances overflow.
  for (size_t n : {2, 3, 4, 5, 7, 8, 9, 12, 13, 31, 200}) {
    std::vector<double> segs = words<double>(4 * n, 10 + n);
    for (size_t i = 2; i < n; i += 5) {  // duplicates: equal distances in one leaf
      for (size_t c = 0; c < 4; ++c) segs[4 * i + c] = segs[4 * (i - 2) + c];
    }
    // Nearest to the query (1e9, 1e9) with an overflowing projection: its ratio is NaN, which
    // must clamp to 0 (the segment's start) in every body.
    const double reach = 1.5e308;
    segs[4] = 1e9 - 3.0;
    segs[5] = 1e9 - 3.0;
    segs[6] = reach;
    segs[7] = -reach;
    const Bvh bvh = bvh_build_segments(segs, n);
    std::vector<double> qs = words<double>(400, 20 + n, 14.0);
    qs.insert(qs.end(), {segs[0], segs[1], 1e200, -1e200, 0.0, 0.0, 1e9, 1e9});
    for (size_t j = 0; j + 1 < qs.size(); j += 2) {
      const auto want =
          bvh_nearest_segment(bvh, segs, n, qs[j], qs[j + 1], cpu::Level::portable);
      for (cpu::Level l : wider_levels()) {
        const auto got = bvh_nearest_segment(bvh, segs, n, qs[j], qs[j + 1], l);
        ASSERT_EQ(got.has_value(), want.has_value()) << "n " << n << " query " << j / 2;
        if (!want) continue;
        EXPECT_EQ(got->index, want->index) << "n " << n << " query " << j / 2;
        EXPECT_TRUE(same_bits(got->d2, want->d2) && same_bits(got->x, want->x) &&
                    same_bits(got->y, want->y))
            << "n " << n << " query " << j / 2;
      }
    }
  }
}

template <typename T>
class GeometryKernelLevels : public GeometryLevels {};

using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(GeometryKernelLevels, ElementTypes);

TYPED_TEST(GeometryKernelLevels, PairwiseDistancesAreTheSameAtEveryLevel) {
  using T = TypeParam;
  struct Shape {
    int64_t batch, a, b;
  };
  // Rows of every length 1 .. 9 and longer ones, so that each tail of the group of four occurs.
  for (const Shape s : {Shape{1, 3, 1}, Shape{2, 5, 2}, Shape{1, 4, 3}, Shape{3, 2, 4},
                        Shape{1, 7, 5}, Shape{2, 3, 6}, Shape{1, 6, 7}, Shape{1, 9, 8},
                        Shape{2, 4, 9}, Shape{1, 33, 37}}) {
    Call<T> c{{{s.batch, s.a, 2}, {s.batch, s.b, 2}},
              {words<T>(s.batch * s.a * 2, s.a), words<T>(s.batch * s.b * 2, 100 + s.b)},
              {{s.batch, s.a, s.b}}};
    expect_levels_agree(c, &pairwise_fwd<T>, "pairwise");
  }
}

TYPED_TEST(GeometryKernelLevels, SegmentAndPolygonDistancesAreTheSameAtEveryLevel) {
  using T = TypeParam;
  for (int64_t ns : {1, 3, 4, 5, 8, 9, 13, 37}) {
    const int64_t batch = 2;
    const int64_t m = 41;
    const std::vector<T> points = words<T>(batch * m * 2, 300 + ns, 14.0);
    Call<T> segments{{{batch, m, 2}, {ns, 4}},
                     {points, words<T>(ns * 4, 400 + ns)},
                     {{batch, m}, {batch, m}, {batch, m}}};
    expect_levels_agree(segments, &segments_closest_fwd<T>, "segments");
    const int64_t nv = ns + 2;  // polygons need three vertices
    Call<T> polygons{{{batch, m, 2}, {batch, nv, 2}},
                     {points, words<T>(batch * nv * 2, 500 + ns)},
                     {{batch, m}, {batch, m}, {batch, m}}};
    expect_levels_agree(polygons, &polygon_sd_fwd<T>, "polygon");
  }
}

}  // namespace
}  // namespace mirelon
