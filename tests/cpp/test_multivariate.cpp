// Multivariate kernels called directly with a negative extent where they read a dimension: the
// shape is rejected with the kernel's message before anything is written, in both element types.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "numeric.hpp"
#include "targets.hpp"

namespace {

using mirelon::KernelBuffer;
using Dims = std::vector<int64_t>;

struct NegativeDimension {
  const char* name;
  mirelon::KernelFn f32;
  mirelon::KernelFn f64;
  std::vector<Dims> in;
  std::vector<Dims> out;
  const char* text;
};

#define KERNEL(k) #k, &mirelon::k<float>, &mirelon::k<double>

template <typename T>
void check_rejected(const NegativeDimension& c, mirelon::KernelFn fn) {
  std::vector<std::vector<T>> in_data, out_data;
  std::vector<KernelBuffer> in, out;
  const int32_t dtype = sizeof(T) == 4 ? 11 : 12;
  for (const Dims& d : c.in) {
    in_data.emplace_back(mirelon::element_count(KernelBuffer{d, nullptr, dtype}), T(0.5));
    in.push_back({d, in_data.back().data(), dtype});
  }
  for (const Dims& d : c.out) {
    out_data.emplace_back(mirelon::element_count(KernelBuffer{d, nullptr, dtype}), T(-7.25));
    out.push_back({d, out_data.back().data(), dtype});
  }
  mirelon::KernelResult r;
  fn(r, in.data(), in.size(), out.data(), out.size());
  EXPECT_FALSE(r.ok) << c.name;
  EXPECT_EQ(r.message, c.text) << c.name;
  for (const auto& o : out_data)
    for (T v : o) EXPECT_EQ(v, T(-7.25)) << c.name << " wrote an output";
}

class NegativeDimensionCall : public ::testing::TestWithParam<NegativeDimension> {};

TEST_P(NegativeDimensionCall, IsRejectedWithTheKernelsMessage) {
  check_rejected<float>(GetParam(), GetParam().f32);
  check_rejected<double>(GetParam(), GetParam().f64);
}

INSTANTIATE_TEST_SUITE_P(
    Multivariate, NegativeDimensionCall,
    ::testing::Values(
        // The element counts alone would pass as rows of 0 coordinates and an empty factor.
        NegativeDimension{KERNEL(copula_fwd), {{2, -3}, {1}}, {{2}}, "copula shape mismatch"},
        NegativeDimension{KERNEL(copula_vjp), {{2, -3}, {1}, {2}}, {{2, -3}, {1}},
                          "copula vjp shape mismatch"},
        NegativeDimension{KERNEL(corr_chol_fwd), {{0}}, {{0, -2}}, "corr_chol shape mismatch"},
        NegativeDimension{KERNEL(corr_chol_vjp), {{0}, {0, -2}}, {{0}},
                          "corr_chol vjp shape mismatch"}));

}  // namespace
