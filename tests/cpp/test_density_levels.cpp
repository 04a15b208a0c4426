// The density kernels' vector paths at every instruction-set level this machine has, bit for bit
// against the portable level: both element types, lengths that leave a remainder after every lane
// width and block, one-value and per-element parameters, and NaN, infinite and subnormal values.
// The univariate kernels' pooled loops, at every level, bit for bit against the same kernel called
// one element at a time.
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
using namespace mirelon::test_support;
using mirelon::KernelBuffer;
using mirelon::KernelResult;

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
// the range at positions that fall in vector lanes at one width and in a remainder at another
// (unless `plain`: a single NaN would make every sum over the values NaN, whatever its order).
template <typename T>
std::vector<T> values(size_t n, double lo, double hi, uint64_t seed, bool plain = false) {
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
  if (plain) return v;
  for (size_t i = 3, k = 0; i < n; i += 1 + i % 11, ++k) v[i] = special[k % std::size(special)];
  return v;
}

// Expects equal bits in every output, a NaN matching any NaN (first_difference_but_nan).
template <typename T>
void expect_same(const std::vector<std::vector<T>>& want, const std::vector<std::vector<T>>& got,
                 const std::string& label) {
  for (size_t o = 0; o < want.size(); ++o) {
    const size_t at = first_difference_but_nan(want[o], got[o]);
    EXPECT_EQ(at, want[o].size()) << label << ", output " << o << ", element " << at;
  }
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
    for (size_t m : {size_t{0}, size_t{1}, size_t{31}, size_t{33}, mirelon::density::kManyBlock - 1,
                     mirelon::density::kManyBlock + 1, size_t{1003}}) {
      const std::vector<double> x = values<double>(m, c.lo, c.hi, m);
      std::vector<double> want(m), got(m);
      c.fn(x.data(), want.data(), m, cpu::Level::portable);
      for (cpu::Level level : machine_levels()) {
        c.fn(x.data(), got.data(), m, level);
        expect_same<double>({want}, {got}, mirelon::message(c.name, " at ", cpu::name(level),
                                                            ", m ", m));
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

// The operands of a call: x (or p), the parameters (parameter j holds one value when bit j of
// `one_value` is set) and, for a gradient, g.
template <typename T>
std::vector<std::vector<T>> operands(const Kernel& k, size_t n, unsigned one_value,
                                     bool plain = false) {
  std::vector<std::vector<T>> in;
  in.push_back(k.probability ? values<T>(n, 0.0, 1.0, n, plain)
                             : values<T>(n, -4.0, 6.0, n, plain));
  for (size_t j = 0; j < k.params; ++j) {
    const size_t count = one_value >> j & 1 ? 1 : n;
    in.push_back(values<T>(count, 0.25 + j, 3.0 + j, 7 * n + j, plain));
    if (count == 1) in.back()[0] = static_cast<T>(0.75 + j);
  }
  if (k.gradient) in.push_back(values<T>(n, -2.0, 2.0, n + 1, plain));
  return in;
}

constexpr int32_t dtype_of(size_t bytes) { return bytes == 4 ? 11 : 12; }

// All outputs of one call at the level in force: n values and, for a gradient, parameter
// cotangent j with cotangents[j] elements.
template <typename T>
std::vector<std::vector<T>> call(const Kernel& k, std::vector<std::vector<T>>& in,
                                 const std::vector<size_t>& cotangents) {
  std::vector<std::vector<T>> out;
  out.emplace_back(in[0].size(), T(-7.25));
  for (size_t count : cotangents) out.emplace_back(count, T(-7.25));
  EXPECT_EQ(mirelon::test_support::run(copy_for<T>(k.f32, k.f64), in, out), "") << k.name;
  return out;
}

// Each parameter cotangent as long as its parameter.
template <typename T>
std::vector<size_t> cotangents_like(const Kernel& k, const std::vector<std::vector<T>>& in) {
  std::vector<size_t> counts;
  if (k.gradient)
    for (size_t j = 0; j < k.params; ++j) counts.push_back(in[1 + j].size());
  return counts;
}

template <typename T>
std::vector<std::vector<T>> run(const Kernel& k, size_t n, unsigned one_value) {
  auto in = operands<T>(k, n, one_value);
  return call(k, in, cotangents_like(k, in));
}

template <typename T>
void expect_every_level_alike(const Kernel& k) {
  for (size_t n : kLengths) {
    for (unsigned one_value = 0; one_value < 1u << k.params; ++one_value) {
      cpu::cap(cpu::Level::portable);
      const auto want = run<T>(k, n, one_value);
      for (cpu::Level level : machine_levels()) {
        cpu::cap(level);
        expect_same(want, run<T>(k, n, one_value),
                    mirelon::message(k.name, "<", sizeof(T) * 8, "-bit> at ", cpu::name(level),
                                     ", n ", n, ", one-value mask ", one_value));
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

// The same outputs formed one element at a time, the loop every pooled path must reproduce: a
// one-element call per element (it runs on the calling thread, without lanes or blocks), its
// outputs stored in place, and the terms of a one-value cotangent added in increasing index order
// in the element type.
template <typename T>
std::vector<std::vector<T>> one_at_a_time(const Kernel& k, std::vector<std::vector<T>>& in,
                                          const std::vector<size_t>& cotangents) {
  const size_t n = in[0].size();
  std::vector<std::vector<T>> out;
  out.emplace_back(n, T(-7.25));
  for (size_t count : cotangents) out.emplace_back(count, count == 1 ? T(0) : T(-7.25));
  std::vector<T> one(out.size());
  std::vector<KernelBuffer> ib(in.size()), ob(out.size());
  for (auto& b : ib) b = {{1}, nullptr, dtype_of(sizeof(T))};
  for (size_t o = 0; o < ob.size(); ++o) ob[o] = {{1}, &one[o], dtype_of(sizeof(T))};
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < in.size(); ++j) ib[j].data = &in[j][in[j].size() == 1 ? 0 : i];
    KernelResult r;
    copy_for<T>(k.f32, k.f64)(r, ib.data(), ib.size(), ob.data(), ob.size());
    out[0][i] = one[0];
    for (size_t j = 0; j < cotangents.size(); ++j) {
      if (cotangents[j] == 1) out[1 + j][0] = out[1 + j][0] + one[1 + j];
      else out[1 + j][i] = one[1 + j];
    }
  }
  return out;
}

// Lengths below and above the pooled gradient loops' threshold, none a multiple of a block.
constexpr size_t kLoopLengths[] = {0, 1, 7, 1003, 13001};

template <typename T>
void expect_one_at_a_time(const Kernel& k, std::vector<std::vector<T>>& in,
                          const std::vector<size_t>& cotangents, const std::string& label) {
  const auto want = one_at_a_time(k, in, cotangents);
  for (cpu::Level level : machine_levels()) {
    cpu::cap(level);
    expect_same(want, call(k, in, cotangents),
                mirelon::message(k.name, "<", sizeof(T) * 8, "-bit> at ", cpu::name(level), ", ",
                                 label));
  }
}

// Every one-value mask of the parameters; a quantile gradient also takes every mask of its
// cotangents apart from them (each may hold one element or one per observation). Operands with
// and without special values: with them NaN and infinities pass through, without them every sum
// is finite and its order shows.
template <typename T>
void expect_loops_match(const Kernel& k) {
  const unsigned masks = 1u << k.params;
  const unsigned cotangent_masks = k.gradient && k.probability ? masks : 1;
  for (bool plain : {false, true}) {
    for (size_t n : kLoopLengths) {
      for (unsigned mask = 0; mask < masks * cotangent_masks; ++mask) {
        const unsigned one_value = mask % masks;
        const unsigned summed = mask / masks;
        auto in = operands<T>(k, n, one_value, plain);
        std::vector<size_t> counts = cotangents_like(k, in);
        if (cotangent_masks > 1)
          for (size_t j = 0; j < k.params; ++j) counts[j] = summed >> j & 1 ? 1 : n;
        const std::string label = mirelon::message("n ", n, plain ? ", plain" : "",
                                                   ", one-value mask ", one_value,
                                                   ", summed mask ", summed);
        expect_one_at_a_time(k, in, counts, label);
      }
    }
  }
}

class DensityLevelsLoop : public DensityLevels, public ::testing::WithParamInterface<Kernel> {};

TEST_P(DensityLevelsLoop, MatchesTheOneElementAtATimeLoop) {
  expect_loops_match<float>(GetParam());
  expect_loops_match<double>(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Gradients, DensityLevelsLoop,
    ::testing::Values(Kernel{TYPED_KERNEL(logp_gaussian_vjp), 2, true, false},
                      Kernel{TYPED_KERNEL(logp_lognormal_vjp), 2, true, false},
                      Kernel{TYPED_KERNEL(logp_exponential_vjp), 1, true, false},
                      Kernel{TYPED_KERNEL(logp_uniform_vjp), 2, true, false},
                      Kernel{TYPED_KERNEL(logp_weibull_vjp), 2, true, false},
                      Kernel{TYPED_KERNEL(logp_gumbel_vjp), 2, true, false},
                      Kernel{TYPED_KERNEL(logp_beta_vjp), 2, true, false},
                      Kernel{TYPED_KERNEL(logp_gamma_vjp), 2, true, false},
                      Kernel{TYPED_KERNEL(logp_vonmises_vjp), 2, true, false},
                      Kernel{TYPED_KERNEL(logp_wrapped_gaussian_vjp), 2, true, false},
                      Kernel{TYPED_KERNEL(cdf_gaussian_vjp), 2, true, false},
                      Kernel{TYPED_KERNEL(cdf_lognormal_vjp), 2, true, false},
                      Kernel{TYPED_KERNEL(cdf_exponential_vjp), 1, true, false},
                      Kernel{TYPED_KERNEL(cdf_uniform_vjp), 2, true, false},
                      Kernel{TYPED_KERNEL(cdf_weibull_vjp), 2, true, false},
                      Kernel{TYPED_KERNEL(cdf_gumbel_vjp), 2, true, false},
                      Kernel{TYPED_KERNEL(q_gaussian_vjp), 2, true, true},
                      Kernel{TYPED_KERNEL(q_lognormal_vjp), 2, true, true},
                      Kernel{TYPED_KERNEL(q_exponential_vjp), 1, true, true},
                      Kernel{TYPED_KERNEL(q_uniform_vjp), 2, true, true},
                      Kernel{TYPED_KERNEL(q_weibull_vjp), 2, true, true},
                      Kernel{TYPED_KERNEL(q_gumbel_vjp), 2, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    QuantileForwards, DensityLevelsLoop,
    ::testing::Values(Kernel{TYPED_KERNEL(q_gaussian_fwd), 2, false, true},
                      Kernel{TYPED_KERNEL(q_lognormal_fwd), 2, false, true},
                      Kernel{TYPED_KERNEL(q_exponential_fwd), 1, false, true},
                      Kernel{TYPED_KERNEL(q_uniform_fwd), 2, false, true},
                      Kernel{TYPED_KERNEL(q_weibull_fwd), 2, false, true},
                      Kernel{TYPED_KERNEL(q_gumbel_fwd), 2, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
