// Distribution-function and quantile kernels called directly: a call that fails a length check
// leaves every output exactly as it was (no zero fill, no partial write), in both element types.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "targets.hpp"

namespace {

using mirelon::KernelBuffer;
using mirelon::KernelResult;

// A failing call: input and output element counts, the kernel (both copies) and the message.
struct Failing {
  const char* name;
  mirelon::KernelFn f32;
  mirelon::KernelFn f64;
  std::vector<int64_t> in;
  std::vector<int64_t> out;
  const char* text;
};

#define KERNEL(k) #k, &mirelon::k<float>, &mirelon::k<double>

template <typename T>
void check_untouched(const Failing& c, mirelon::KernelFn fn) {
  std::vector<std::vector<T>> in_data, out_data;
  std::vector<KernelBuffer> in, out;
  for (int64_t n : c.in) in_data.emplace_back(n, T(0.5));
  for (int64_t n : c.out) out_data.emplace_back(n, T(-7.25));
  const int32_t dtype = sizeof(T) == 4 ? 11 : 12;
  for (size_t k = 0; k < c.in.size(); ++k) in.push_back({{c.in[k]}, in_data[k].data(), dtype});
  for (size_t k = 0; k < c.out.size(); ++k) out.push_back({{c.out[k]}, out_data[k].data(), dtype});
  KernelResult r;
  fn(r, in.data(), in.size(), out.data(), out.size());
  EXPECT_FALSE(r.ok) << c.name;
  EXPECT_EQ(r.message, c.text) << c.name;
  for (const auto& o : out_data)
    for (T v : o) EXPECT_EQ(v, T(-7.25)) << c.name << " wrote an output before failing";
}

class FailedCall : public ::testing::TestWithParam<Failing> {};

TEST_P(FailedCall, ReportsItsMessageAndLeavesEveryOutputUntouched) {
  check_untouched<float>(GetParam(), GetParam().f32);
  check_untouched<double>(GetParam(), GetParam().f64);
}

INSTANTIATE_TEST_SUITE_P(
    DistributionFunctions, FailedCall,
    ::testing::Values(
        Failing{KERNEL(cdf_gaussian_fwd), {5, 5, 3}, {5},
                "parameter length 3 incompatible with 5 observations"},
        Failing{KERNEL(cdf_lognormal_fwd), {5, 2, 5}, {5},
                "parameter length 2 incompatible with 5 observations"},
        Failing{KERNEL(cdf_weibull_fwd), {5, 5, 5}, {4}, "output length mismatch"},
        Failing{KERNEL(cdf_exponential_fwd), {4, 0}, {4},
                "parameter length 0 incompatible with 4 observations"},
        Failing{KERNEL(cdf_gaussian_vjp), {5, 1, 5, 5}, {5, 1, 4},
                "parameter cotangent length mismatch"},
        Failing{KERNEL(cdf_uniform_vjp), {5, 5, 1, 4}, {5, 5, 1}, "cotangent length mismatch"},
        Failing{KERNEL(cdf_gumbel_vjp), {5, 1, 3, 5}, {5, 1, 3},
                "parameter length 3 incompatible with 5 observations"},
        Failing{KERNEL(cdf_exponential_vjp), {4, 1, 4}, {3, 1}, "cotangent length mismatch"}));

INSTANTIATE_TEST_SUITE_P(
    Quantiles, FailedCall,
    ::testing::Values(
        Failing{KERNEL(q_gaussian_fwd), {3, 1, 1}, {2}, "output length mismatch"},
        Failing{KERNEL(q_uniform_fwd), {9, 9, 2}, {9},
                "parameter length 2 incompatible with 9 observations"},
        Failing{KERNEL(q_exponential_fwd), {2, 0}, {2},
                "parameter length 0 incompatible with 2 observations"},
        Failing{KERNEL(q_weibull_vjp), {3, 1, 1, 3}, {3, 1, 2},
                "parameter cotangent length mismatch"},
        Failing{KERNEL(q_gumbel_vjp), {3, 2, 1, 3}, {3, 3, 1},
                "parameter length 2 incompatible with 3 observations"},
        Failing{KERNEL(q_lognormal_vjp), {3, 1, 1, 3}, {4, 1, 1}, "cotangent length mismatch"},
        Failing{KERNEL(q_exponential_vjp), {3, 3, 2}, {3, 3}, "cotangent length mismatch"}));

}  // namespace
