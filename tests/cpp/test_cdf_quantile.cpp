// Distribution-function and quantile kernels called directly: a call that fails a length check
// leaves every output exactly as it was (no zero fill, no partial write), in both element types.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "kernel_call.hpp"
#include "targets.hpp"

namespace {

using namespace mirelon::test_support;

using Case = KernelCase;

class FailedCall : public ::testing::TestWithParam<Case> {};

TEST_P(FailedCall, ReportsItsMessageAndLeavesEveryOutputUntouched) {
  const Case& c = GetParam();
  expect_rejected<float>(c.f32, c.in, c.out, c.text, c.name);
  expect_rejected<double>(c.f64, c.in, c.out, c.text, c.name);
}

INSTANTIATE_TEST_SUITE_P(
    DistributionFunctions, FailedCall,
    ::testing::Values(
        Case{TYPED_KERNEL(cdf_gaussian_fwd), {{5}, {5}, {3}}, {{5}}, {},
             "parameter length 3 incompatible with 5 observations"},
        Case{TYPED_KERNEL(cdf_lognormal_fwd), {{5}, {2}, {5}}, {{5}}, {},
             "parameter length 2 incompatible with 5 observations"},
        Case{TYPED_KERNEL(cdf_weibull_fwd), {{5}, {5}, {5}}, {{4}}, {}, "output length mismatch"},
        Case{TYPED_KERNEL(cdf_exponential_fwd), {{4}, {0}}, {{4}}, {},
             "parameter length 0 incompatible with 4 observations"},
        Case{TYPED_KERNEL(cdf_gaussian_vjp), {{5}, {1}, {5}, {5}}, {{5}, {1}, {4}}, {},
             "parameter cotangent length mismatch"},
        Case{TYPED_KERNEL(cdf_uniform_vjp), {{5}, {5}, {1}, {4}}, {{5}, {5}, {1}}, {},
             "cotangent length mismatch"},
        Case{TYPED_KERNEL(cdf_gumbel_vjp), {{5}, {1}, {3}, {5}}, {{5}, {1}, {3}}, {},
             "parameter length 3 incompatible with 5 observations"},
        Case{TYPED_KERNEL(cdf_exponential_vjp), {{4}, {1}, {4}}, {{3}, {1}}, {},
             "cotangent length mismatch"}));

INSTANTIATE_TEST_SUITE_P(
    Quantiles, FailedCall,
    ::testing::Values(
        Case{TYPED_KERNEL(q_gaussian_fwd), {{3}, {1}, {1}}, {{2}}, {}, "output length mismatch"},
        Case{TYPED_KERNEL(q_uniform_fwd), {{9}, {9}, {2}}, {{9}}, {},
             "parameter length 2 incompatible with 9 observations"},
        Case{TYPED_KERNEL(q_exponential_fwd), {{2}, {0}}, {{2}}, {},
             "parameter length 0 incompatible with 2 observations"},
        Case{TYPED_KERNEL(q_weibull_vjp), {{3}, {1}, {1}, {3}}, {{3}, {1}, {2}}, {},
             "parameter cotangent length mismatch"},
        Case{TYPED_KERNEL(q_gumbel_vjp), {{3}, {2}, {1}, {3}}, {{3}, {3}, {1}}, {},
             "parameter length 2 incompatible with 3 observations"},
        Case{TYPED_KERNEL(q_lognormal_vjp), {{3}, {1}, {1}, {3}}, {{4}, {1}, {1}}, {},
             "cotangent length mismatch"},
        Case{TYPED_KERNEL(q_exponential_vjp), {{3}, {3}, {2}}, {{3}, {3}}, {},
             "cotangent length mismatch"}));

}  // namespace
