// Structural counts that no element backs: an item count read from an extent in front of a last
// extent of 0 (samples or vertices of no components) may be as large as an extent can be while
// the operand holds nothing. Such calls finish at once with the values the per-item loops would
// give, instead of running those loops or allocating per item.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "kernel_call.hpp"
#include "targets.hpp"

namespace {

using mirelon::KernelBuffer;
using mirelon::KernelResult;
using mirelon::test_support::buffer;
using mirelon::test_support::same_bits;

template <typename T>
class UnbackedCounts : public ::testing::Test {};

using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(UnbackedCounts, ElementTypes);

constexpr int64_t kHuge = int64_t{1} << 40;

// volume_mc and its gradient with N samples of d components (all 0) against normals of d
// components (all 0): the estimate and the offset gradient.
template <typename T>
struct Volume {
  T value;
  std::vector<T> offset_grad;
};

template <typename T>
Volume<T> volume(int64_t n, int64_t d, std::vector<T> offsets, T g) {
  const auto m = static_cast<int64_t>(offsets.size());
  std::vector<T> samples(static_cast<size_t>(n * d)), normals(static_cast<size_t>(m * d));
  std::vector<T> half{T(0.5)}, cot{g}, value{T(-1)}, da(normals.size()), db(offsets.size());
  const KernelBuffer in[] = {buffer(samples, {n, d}), buffer(normals, {m, d}),
                             buffer(half, {1}), buffer(offsets, {m}), buffer(cot, {1})};
  const KernelBuffer fwd_out[] = {buffer(value, {1})};
  const KernelBuffer vjp_out[] = {buffer(da, {m, d}), buffer(db, {m})};
  KernelResult r;
  mirelon::volume_mc<T>(r, in, 4, fwd_out, 1);
  EXPECT_TRUE(r.ok) << r.message;
  mirelon::volume_mc_vjp<T>(r, in, 5, vjp_out, 2);
  EXPECT_TRUE(r.ok) << r.message;
  return {value[0], db};
}

// Samples of no components all give one membership: the estimate and the gradient are those of
// N explicit samples at the origin of a 1-D box of volume 1 (R = 1/2) against zero normals, bit
// for bit, through every rounding of the running sums (ties included, which random memberships
// meet within the first few powers of two).
TYPED_TEST(UnbackedCounts, VolumeOfComponentlessSamplesEqualsTheSampleLoop) {
  using T = TypeParam;
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> offset(-5e-14, 5e-14), cotangent(-2, 2);
  const auto check = [](int64_t n, const std::vector<T>& b, T g) {
    SCOPED_TRACE(testing::Message() << "n " << n << " b[0] " << b[0] << " g " << g);
    const Volume<T> fast = volume<T>(n, 0, b, g);
    const Volume<T> loop = volume<T>(n, 1, b, g);
    EXPECT_TRUE(same_bits(fast.value, loop.value)) << fast.value << " vs " << loop.value;
    for (size_t j = 0; j < b.size(); ++j)
      EXPECT_TRUE(same_bits(fast.offset_grad[j], loop.offset_grad[j]))
          << fast.offset_grad[j] << " vs " << loop.offset_grad[j];
  };
  // t = -b / 1e-12 in [-0.05, 0.05]: memberships between 0.007 and 0.993; a NaN value is skipped.
  for (int trial = 0; trial < 200; ++trial) {
    const std::vector<T> b{static_cast<T>(offset(rng)), T(NAN), static_cast<T>(offset(rng))};
    const T g = static_cast<T>(cotangent(rng));
    for (const int64_t n : {1, 2, 3, 5, 9, 17, 33, 100, 1000}) check(n, b, g);
  }
  check(100003, {T(0)}, T(1));
  check(100003, {T(-1e-14)}, T(5e25));  // 32-bit sums run through the last binade to -inf
  check(2097155, {T(-1e-14)}, T(0.7));
  // 2^62 samples: done at once, the sum of memberships 1/(e + 1) held where adding them stops
  // moving it, divided by N.
  const Volume<T> huge = volume<T>(int64_t{1} << 62, 0, {T(-1e-14)}, T(1));
  EXPECT_TRUE(huge.value >= T(0) && huge.value < T(0.3)) << huge.value;
  EXPECT_TRUE(std::isfinite(huge.offset_grad[0])) << huge.offset_grad[0];
}

// A polyline of 2^40 vertices of no coordinates: every segment has length 0, so a fraction of 0
// lands on segment 0 and any other on the last one; the gradient is empty but the residual
// indices are still checked.
TYPED_TEST(UnbackedCounts, PolylineOfComponentlessVertices) {
  using T = TypeParam;
  for (const T closed : {T(0), T(1)}) {
    const double last = static_cast<double>(closed != T(0) ? kHuge - 1 : kHuge - 2);
    std::vector<T> vertices, s{T(0), T(0.5), T(NAN), T(2), T(-1)}, flag{closed};
    std::vector<T> points, segment(5, T(-1)), t(5, T(-1));
    const KernelBuffer in[] = {buffer(vertices, {kHuge, 0}), buffer(s, {5}), buffer(flag, {1})};
    const KernelBuffer out[] = {buffer(points, {5, 0}), buffer(segment, {5}), buffer(t, {5})};
    KernelResult r;
    mirelon::boundary_point_at_fwd<T>(r, in, 3, out, 3);
    ASSERT_TRUE(r.ok) << r.message;
    const T end = static_cast<T>(last);
    EXPECT_EQ(segment, (std::vector<T>{T(0), end, T(0), end, T(0)}));
    EXPECT_EQ(t, (std::vector<T>{T(0), T(0.5), T(0), T(1), T(0)}));

    for (const double index : {last, last + 1}) {
      std::vector<T> residual(5, static_cast<T>(index)), g, dv, ds(5, T(-1));
      const KernelBuffer vin[] = {in[0], in[1], in[2], buffer(residual, {5}), buffer(t, {5}),
                                  buffer(g, {5, 0})};
      const KernelBuffer vout[] = {buffer(dv, {kHuge, 0}), buffer(ds, {5})};
      KernelResult rv;
      mirelon::boundary_point_at_vjp<T>(rv, vin, 6, vout, 2);
      // In 32-bit the last segment's index rounds up to 2^40, past every segment.
      const bool valid = static_cast<double>(static_cast<T>(index)) <= last;
      EXPECT_EQ(rv.ok, valid) << rv.message;
      if (!valid) {
        EXPECT_EQ(rv.message, "boundary_point_at_vjp: residual segment index out of range");
      }
      EXPECT_EQ(ds, std::vector<T>(5, T(0)));
    }
  }
}

}  // namespace
