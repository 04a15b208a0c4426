// Multivariate kernels called directly on exactly sized buffers: valid shapes, edge sizes included
// and row counts that span several of the gradients' row blocks, succeed without reading or
// writing outside their operands (which the sanitizer build checks); a negative extent where a
// kernel reads a dimension is rejected with its message before anything is written.
#include <gtest/gtest.h>

#include <vector>

#include "kernel_call.hpp"
#include "targets.hpp"

namespace {

using namespace mirelon::test_support;

using Call = KernelCase;

// Every operand filled with values in (0, 1): valid bandwidths, weights, uniforms and factors.
template <typename T>
void check_succeeds(const Call& c) {
  const auto filled = [](const std::vector<Dims>& dims) {
    Operands<T> operands;
    for (const Dims& d : dims) {
      std::vector<T>& v = operands.emplace_back(d, T(0)).values;
      for (size_t i = 0; i < v.size(); ++i) v[i] = T(0.25 + 0.5 * double(i % 7) / 7.0);
    }
    return operands;
  };
  Operands<T> in = filled(c.in), out = filled(c.out);
  EXPECT_EQ(run(copy_for<T>(c.f32, c.f64), in, out), "") << c.name;
}

class ValidCall : public ::testing::TestWithParam<Call> {};

TEST_P(ValidCall, StaysInsideItsOperands) {
  check_succeeds<float>(GetParam());
  check_succeeds<double>(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Multivariate, ValidCall,
    ::testing::Values(
        Call{TYPED_KERNEL(kde_fwd), {{5}, {7}, {1}}, {{5}}},
        Call{TYPED_KERNEL(kde_vjp), {{5}, {0}, {2}, {5}}, {{5}, {0}}},
        Call{TYPED_KERNEL(mixture_fwd), {{4, 3}, {3}}, {{4}}},
        Call{TYPED_KERNEL(mixture_vjp), {{4, 3}, {3}, {4}}, {{4, 3}, {3}}},
        Call{TYPED_KERNEL(histogram_fwd), {{6}, {4}, {3}}, {{6}}},
        Call{TYPED_KERNEL(histogram_vjp), {{6}, {3}, {3}, {6}}, {{3}}},
        Call{TYPED_KERNEL(histogram_vjp), {{2}, {0}, {1}, {2}}, {{1}}},
        Call{TYPED_KERNEL(mvn_logp_fwd), {{3, 4}, {4}, {4, 4}}, {{3}}},
        Call{TYPED_KERNEL(mvn_logp_vjp), {{20000, 1}, {1}, {1, 1}, {20000}},
                          {{20000, 1}, {1}, {1, 1}}},
        Call{TYPED_KERNEL(corr_chol_fwd), {{6}}, {{4, 4}}},
        Call{TYPED_KERNEL(corr_chol_vjp), {{6}, {4, 4}}, {{6}}},
        Call{TYPED_KERNEL(copula_fwd), {{3, 4}, {6}}, {{3}}},
        Call{TYPED_KERNEL(copula_vjp), {{25000, 3}, {4}, {25000}}, {{25000, 3}, {4}}},
        Call{TYPED_KERNEL(copula_vjp), {{2, 0}, {1}, {2}}, {{2, 0}, {1}}},
        Call{TYPED_KERNEL(vonmises_sample), {{3, 4}, {1}, {3}}, {{3}}},
        Call{TYPED_KERNEL(vonmises_sample_bwd), {{1}, {3}, {3}, {3}}, {{3}, {1}}}));

class NegativeDimensionCall : public ::testing::TestWithParam<Call> {};

TEST_P(NegativeDimensionCall, IsRejectedWithTheKernelsMessage) {
  const Call& c = GetParam();
  expect_rejected<float>(c.f32, c.in, c.out, c.text, c.name);
  expect_rejected<double>(c.f64, c.in, c.out, c.text, c.name);
}

INSTANTIATE_TEST_SUITE_P(
    Multivariate, NegativeDimensionCall,
    ::testing::Values(
        // The element counts alone would pass as rows of 0 coordinates and an empty factor.
        Call{TYPED_KERNEL(copula_fwd), {{2, -3}, {1}}, {{2}}, {}, "copula shape mismatch"},
        Call{TYPED_KERNEL(copula_vjp), {{2, -3}, {1}, {2}}, {{2, -3}, {1}}, {},
                          "copula vjp shape mismatch"},
        Call{TYPED_KERNEL(corr_chol_fwd), {{0}}, {{0, -2}}, {}, "corr_chol shape mismatch"},
        Call{TYPED_KERNEL(corr_chol_vjp), {{0}, {0, -2}}, {{0}}, {},
                          "corr_chol vjp shape mismatch"}));

}  // namespace
