// Multivariate kernels called directly on exactly sized buffers: valid shapes, edge sizes included
// and row counts that span several of the gradients' row blocks, succeed without reading or
// writing outside their operands (which the sanitizer build checks); a negative extent where a
// kernel reads a dimension is rejected with its message before anything is written.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "numeric.hpp"
#include "targets.hpp"

namespace {

using mirelon::KernelBuffer;
using Dims = std::vector<int64_t>;

// A call: the kernel in both copies, input and output extents, and the message when it fails.
struct Call {
  const char* name;
  mirelon::KernelFn f32;
  mirelon::KernelFn f64;
  std::vector<Dims> in;
  std::vector<Dims> out;
  const char* text;
};

#define KERNEL(k) #k, &mirelon::k<float>, &mirelon::k<double>

template <typename T>
void check_rejected(const Call& c, mirelon::KernelFn fn) {
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

// Every operand filled with values in (0, 1): valid bandwidths, weights, uniforms and factors.
template <typename T>
void check_succeeds(const Call& c, mirelon::KernelFn fn) {
  std::vector<std::vector<T>> data;
  std::vector<KernelBuffer> in, out;
  const int32_t dtype = sizeof(T) == 4 ? 11 : 12;
  for (const auto* dims : {&c.in, &c.out}) {
    for (const Dims& d : *dims) {
      const size_t n = mirelon::element_count(KernelBuffer{d, nullptr, dtype});
      data.emplace_back(n);
      for (size_t i = 0; i < n; ++i) data.back()[i] = T(0.25 + 0.5 * double(i % 7) / 7.0);
      (dims == &c.in ? in : out).push_back({d, data.back().data(), dtype});
    }
  }
  mirelon::KernelResult r;
  fn(r, in.data(), in.size(), out.data(), out.size());
  EXPECT_TRUE(r.ok) << c.name << ": " << r.message;
}

class ValidCall : public ::testing::TestWithParam<Call> {};

TEST_P(ValidCall, StaysInsideItsOperands) {
  check_succeeds<float>(GetParam(), GetParam().f32);
  check_succeeds<double>(GetParam(), GetParam().f64);
}

INSTANTIATE_TEST_SUITE_P(
    Multivariate, ValidCall,
    ::testing::Values(
        // Valid shapes always succeed; the message field is unused.
        Call{KERNEL(kde_fwd), {{5}, {7}, {1}}, {{5}}, ""},
        Call{KERNEL(kde_vjp), {{5}, {0}, {2}, {5}}, {{5}, {0}}, ""},
        Call{KERNEL(mixture_fwd), {{4, 3}, {3}}, {{4}}, ""},
        Call{KERNEL(mixture_vjp), {{4, 3}, {3}, {4}}, {{4, 3}, {3}}, ""},
        Call{KERNEL(histogram_fwd), {{6}, {4}, {3}}, {{6}}, ""},
        Call{KERNEL(histogram_vjp), {{6}, {3}, {3}, {6}}, {{3}}, ""},
        Call{KERNEL(histogram_vjp), {{2}, {0}, {1}, {2}}, {{1}}, ""},
        Call{KERNEL(mvn_logp_fwd), {{3, 4}, {4}, {4, 4}}, {{3}}, ""},
        Call{KERNEL(mvn_logp_vjp), {{20000, 1}, {1}, {1, 1}, {20000}},
                          {{20000, 1}, {1}, {1, 1}}, ""},
        Call{KERNEL(corr_chol_fwd), {{6}}, {{4, 4}}, ""},
        Call{KERNEL(corr_chol_vjp), {{6}, {4, 4}}, {{6}}, ""},
        Call{KERNEL(copula_fwd), {{3, 4}, {6}}, {{3}}, ""},
        Call{KERNEL(copula_vjp), {{25000, 3}, {4}, {25000}}, {{25000, 3}, {4}}, ""},
        Call{KERNEL(copula_vjp), {{2, 0}, {1}, {2}}, {{2, 0}, {1}}, ""},
        Call{KERNEL(vonmises_sample), {{3, 4}, {1}, {3}}, {{3}}, ""},
        Call{KERNEL(vonmises_sample_bwd), {{1}, {3}, {3}, {3}}, {{3}, {1}}, ""}));

class NegativeDimensionCall : public ::testing::TestWithParam<Call> {};

TEST_P(NegativeDimensionCall, IsRejectedWithTheKernelsMessage) {
  check_rejected<float>(GetParam(), GetParam().f32);
  check_rejected<double>(GetParam(), GetParam().f64);
}

INSTANTIATE_TEST_SUITE_P(
    Multivariate, NegativeDimensionCall,
    ::testing::Values(
        // The element counts alone would pass as rows of 0 coordinates and an empty factor.
        Call{KERNEL(copula_fwd), {{2, -3}, {1}}, {{2}}, "copula shape mismatch"},
        Call{KERNEL(copula_vjp), {{2, -3}, {1}, {2}}, {{2, -3}, {1}},
                          "copula vjp shape mismatch"},
        Call{KERNEL(corr_chol_fwd), {{0}}, {{0, -2}}, "corr_chol shape mismatch"},
        Call{KERNEL(corr_chol_vjp), {{0}, {0, -2}}, {{0}},
                          "corr_chol vjp shape mismatch"}));

}  // namespace
