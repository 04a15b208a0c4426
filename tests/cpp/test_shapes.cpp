// Negative extents where the ellipse, half-space and volume kernels read a size: rejected with a
// message, outputs untouched (the frames carry extents that XLA itself never sends).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame_builder.hpp"

namespace mirelon {
namespace {

using test_support::FakeApi;
using test_support::find_handler;
using test_support::FrameBuilder;
using test_support::kF32;
using test_support::kF64;
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

}  // namespace
}  // namespace mirelon
