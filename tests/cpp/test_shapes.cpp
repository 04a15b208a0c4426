// Negative extents where the ellipse, half-space and volume kernels read a size: rejected with a
// message, outputs untouched (the frames carry extents that XLA itself never sends).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame_builder.hpp"

namespace mirelon {
namespace {

using namespace test_support;
using Dims = std::vector<int64_t>;

struct NegativeExtentCase {
  const char* target;
  std::vector<Dims> inputs;
  std::vector<Dims> outputs;
  const char* message;
};

TEST(ShapeKernels, RejectNegativeExtentsReadAsSizes) {
  const NegativeExtentCase cases[] = {
      {"mirelon_ellipse_sd_fwd", {{2, -3, 2}, {2}, {2}, {1}}, {{4}},
       "inner block size must be positive"},
      {"mirelon_ellipse_sd_vjp", {{-3, -2}, {2}, {2}, {1}, {6}}, {{6}, {2}, {2}, {1}},
       "inner block size must be positive"},
      {"mirelon_halfspace_sd_fwd", {{-2, -3}, {2, 3}, {2}, {1}}, {{6}},
       "inner block size must be positive"},
      {"mirelon_halfspace_sd_vjp", {{4, 3}, {-2, 3}, {2}, {1}, {4}}, {{12}, {6}, {2}},
       "inner block size must be positive"},
      {"mirelon_volume_mc", {{-2, -3}, {2, 3}, {1}, {2}}, {{1}}, "samples extent -2 is negative"},
      {"mirelon_volume_mc", {{2, 3}, {-1, -2, 3}, {1}, {2}}, {{1}},
       "normals extent -2 is negative"},
      {"mirelon_volume_mc_vjp", {{-6}, {2, 3}, {1}, {2}, {1}}, {{6}, {2}},
       "samples extent -6 is negative"},
  };
  for (const int32_t dtype : {kF32, kF64}) {
    for (const NegativeExtentCase& c : cases) {
      SCOPED_TRACE(c.target);
      FakeApi api;
      FrameBuilder fb(&api);
      for (const Dims& d : c.inputs) fb.arg(dtype, d, 0);
      for (const Dims& d : c.outputs) fb.ret(dtype, d, 0x7f);
      ASSERT_NE(find_handler(c.target)(fb.frame()), nullptr);
      ASSERT_EQ(api.calls().size(), 1u);
      EXPECT_EQ(api.calls()[0].message, c.message);
      for (auto& out : fb.rets()) {
        for (unsigned char byte : out->values<unsigned char>()) EXPECT_EQ(byte, 0x7f);
      }
    }
  }
}

// Enough points for several pieces on the pool, in buffers sized exactly, for the sanitizer builds
// to watch.
TEST(ShapeKernels, HalfspaceLoopsOnThePoolStayInsideTheirOperands) {
  std::vector<double> points(2 * 300 * 3), normals(5 * 3), offsets(2 * 5), g(2 * 300);
  for (size_t i = 0; i < points.size(); ++i) points[i] = static_cast<double>(i % 17) * 0.25 - 2;
  for (size_t i = 0; i < normals.size(); ++i) normals[i] = static_cast<double>(i % 7) - 3;
  for (size_t i = 0; i < offsets.size(); ++i) offsets[i] = 0.5 + static_cast<double>(i % 3);
  for (size_t i = 0; i < g.size(); ++i) g[i] = static_cast<double>(i % 5) - 2;
  for (const std::vector<double>& tau : {std::vector<double>{0.0, 0.5}, {0.25, -1.0}}) {
    for (const bool gradient : {false, true}) {
      FakeApi api;
      FrameBuilder fb(&api);
      fb.arg_values(points, {2, 300, 3});
      fb.arg_values(normals, {1, 5, 3});
      fb.arg_values(offsets, {2, 5});
      fb.arg_values(tau);
      if (gradient) {
        fb.arg_values(g);
        fb.ret(kF64, {2, 300, 3});
        fb.ret(kF64, {1, 5, 3});
        fb.ret(kF64, {2, 5});
      } else {
        fb.ret(kF64, {2, 300});
      }
      const char* target = gradient ? "mirelon_halfspace_sd_vjp" : "mirelon_halfspace_sd_fwd";
      EXPECT_EQ(find_handler(target)(fb.frame()), nullptr);
      EXPECT_TRUE(api.calls().empty());
    }
  }
}

}  // namespace
}  // namespace mirelon
