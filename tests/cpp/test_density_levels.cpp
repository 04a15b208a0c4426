// The density kernels' vector paths at every instruction-set level this machine has, bit for bit
// against the portable level: both element types, lengths that leave a remainder after every lane
// width and block, one-value and per-element parameters, and NaN, infinite and subnormal values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "cpu.hpp"
#include "density/special.hpp"
#include "kernel_call.hpp"
#include "targets.hpp"

namespace {

namespace cpu = mirelon::cpu;
namespace test_support = mirelon::test_support;
using test_support::copy_for;
using test_support::first_difference_but_nan;

constexpr size_t kLengths[] = {0, 1, 7, 33, 1003, 4099};

// Every level this machine can run, lowest first.
std::vector<cpu::Level> machine_levels() {
  std::vector<cpu::Level> out{cpu::Level::portable};
  if (cpu::machine() >= cpu::Level::avx2) out.push_back(cpu::Level::avx2);
  if (cpu::machine() >= cpu::Level::avx512) out.push_back(cpu::Level::avx512);
  return out;
}

// Each test leaves the level where it found it (the highest).
class DensityLevels : public ::testing::Test {
 protected:
  void TearDown() override { cpu::cap(cpu::Level::avx512); }
};

// n values: spread over [lo, hi), with NaN, infinities, signed zeros, subnormals and the ends of
// the range at positions that fall in vector lanes at one width and in a remainder at another.
template <typename T>
std::vector<T> values(size_t n, double lo, double hi, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(lo, hi);
  std::vector<T> v(n);
  for (T& x : v) x = static_cast<T>(u(rng));
  const T special[] = {std::numeric_limits<T>::quiet_NaN(),
                       -std::numeric_limits<T>::quiet_NaN(),
                       std::numeric_limits<T>::infinity(),
                       -std::numeric_limits<T>::infinity(),
                       T(0),
                       -T(0),
                       std::numeric_limits<T>::denorm_min(),
                       -std::numeric_limits<T>::denorm_min() * T(3),
                       std::numeric_limits<T>::min() / T(2),
                       static_cast<T>(lo),
                       T(1)};
  for (size_t i = 3, k = 0; i < n; i += 1 + i % 11, ++k) v[i] = special[k % std::size(special)];
  return v;
}

TEST_F(DensityLevels, ManyValueSpecialFunctionsAgreeAtEveryLevel) {
  using Many = void (*)(const double*, double*, size_t, cpu::Level);
  const struct {
    const char* name;
    Many fn;
    double lo, hi;
  } cases[] = {{"erfc_many", mirelon::density::erfc_many, -30.0, 30.0},
               {"normal_quantile_many", mirelon::density::normal_quantile_many, -0.05, 1.05}};
  for (const auto& c : cases) {
    for (size_t m : {size_t{0}, size_t{1}, size_t{31}, size_t{33}, size_t{1003}}) {
      const std::vector<double> x = values<double>(m, c.lo, c.hi, m);
      std::vector<double> want(m), got(m);
      c.fn(x.data(), want.data(), m, cpu::Level::portable);
      for (cpu::Level level : machine_levels()) {
        c.fn(x.data(), got.data(), m, level);
        const size_t at = first_difference_but_nan(want, got);
        EXPECT_EQ(at, m) << c.name << " at " << cpu::name(level) << ", m " << m << ", element "
                         << at;
      }
    }
  }
}

// A kernel with a vector path: its operands are x (or p), the parameters and, for a gradient, g.
struct Kernel {
  const char* name;
  mirelon::KernelFn f32;
  mirelon::KernelFn f64;
  size_t params;
  bool gradient;
  bool probability;  // the first operand is a probability
};

// All outputs of one call at the level in force; parameter k holds one value when bit k of
// `one_value` is set.
template <typename T>
std::vector<std::vector<T>> run(const Kernel& k, size_t n, unsigned one_value) {
  std::vector<std::vector<T>> in;
  in.push_back(k.probability ? values<T>(n, 0.0, 1.0, n) : values<T>(n, -4.0, 6.0, n));
  for (size_t j = 0; j < k.params; ++j) {
    const size_t count = one_value >> j & 1 ? 1 : n;
    in.push_back(values<T>(count, 0.25 + j, 3.0 + j, 7 * n + j));
    if (count == 1) in.back()[0] = static_cast<T>(0.75 + j);
  }
  if (k.gradient) in.push_back(values<T>(n, -2.0, 2.0, n + 1));
  std::vector<std::vector<T>> out;
  out.emplace_back(n, T(-7.25));
  if (k.gradient)
    for (size_t j = 0; j < k.params; ++j) out.emplace_back(in[1 + j].size(), T(-7.25));
  EXPECT_EQ(test_support::run(copy_for<T>(k.f32, k.f64), in, out), "") << k.name;
  return out;
}

template <typename T>
void expect_every_level_alike(const Kernel& k) {
  for (size_t n : kLengths) {
    for (unsigned one_value = 0; one_value < 1u << k.params; ++one_value) {
      cpu::cap(cpu::Level::portable);
      const auto want = run<T>(k, n, one_value);
      for (cpu::Level level : machine_levels()) {
        cpu::cap(level);
        const auto got = run<T>(k, n, one_value);
        for (size_t o = 0; o < want.size(); ++o) {
          const size_t at = first_difference_but_nan(want[o], got[o]);
          EXPECT_EQ(at, want[o].size())
              << k.name << "<" << (sizeof(T) == 4 ? "float" : "double") << "> at "
              << cpu::name(level) << ", n " << n << ", one-value mask " << one_value
              << ", output " << o << ", element " << at;
        }
      }
    }
  }
}

class DensityLevelsKernel : public DensityLevels, public ::testing::WithParamInterface<Kernel> {};

TEST_P(DensityLevelsKernel, AgreesBitForBitAtEveryLevel) {
  expect_every_level_alike<float>(GetParam());
  expect_every_level_alike<double>(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    VectorPaths, DensityLevelsKernel,
    ::testing::Values(Kernel{TYPED_KERNEL(logp_gaussian_fwd), 2, false, false},
                      Kernel{TYPED_KERNEL(logp_lognormal_fwd), 2, false, false},
                      Kernel{TYPED_KERNEL(logp_exponential_fwd), 1, false, false},
                      Kernel{TYPED_KERNEL(logp_uniform_fwd), 2, false, false},
                      Kernel{TYPED_KERNEL(logp_gamma_fwd), 2, false, false},
                      Kernel{TYPED_KERNEL(logp_gaussian_vjp), 2, true, false},
                      Kernel{TYPED_KERNEL(logp_gamma_vjp), 2, true, false},
                      Kernel{TYPED_KERNEL(cdf_gaussian_fwd), 2, false, false},
                      Kernel{TYPED_KERNEL(cdf_lognormal_fwd), 2, false, false},
                      Kernel{TYPED_KERNEL(q_gaussian_fwd), 2, false, true},
                      Kernel{TYPED_KERNEL(q_lognormal_fwd), 2, false, true},
                      Kernel{TYPED_KERNEL(q_gaussian_vjp), 2, true, true},
                      Kernel{TYPED_KERNEL(q_lognormal_vjp), 2, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
