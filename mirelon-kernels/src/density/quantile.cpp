// Quantile functions of the exponential, gaussian, lognormal, uniform, weibull and gumbel
// distributions with their gradients, on the univariate frame's parallel loops. The
// probability is clamped into [1e-12, 0.9999999] before use (the uniform quantile excepted), and
// the gradient with respect to it is the derivative of the unclamped formula at the clamped value.
//
// Lengths: the output (forward) or g and dp (gradient) must hold n elements. Every parameter
// and every parameter gradient must hold 1 element (one value for all observations, or the sum
// over all of them) or at least n; elements from n on are neither read nor written.
#include <array>
#include <cmath>

#include "density/special.hpp"
#include "density/univariate.hpp"
#include "targets.hpp"

namespace mirelon {

namespace density::quantile_detail {

// min(max(p, 1e-12), 0.9999999) in the element type; a NaN probability becomes the low bound.
template <typename T>
T clamp_probability(T p) {
  const T lo = static_cast<T>(1e-12);
  const T hi = static_cast<T>(0.9999999);
  const T above = p > lo ? p : lo;
  return above < hi ? above : hi;
}

// Every parameter and every parameter gradient of a quantile kernel holds 1 element or at least
// n; elements from n on are neither read nor written.
constexpr LengthRule kQuantileParams = LengthRule::one_or_at_least;

// q[i] = f(p[i], parameters for i).
template <typename T, size_t NP, typename F>
void quantile_forward(KernelResult& r, const KernelBuffer* in, const KernelBuffer* out, F f) {
  ForwardCall<T, NP> c;
  if (!check_forward(r, in, out, c, kQuantileParams)) return;
  run_forward(c, f);
}

// Gradient checks of the quantile kernels: g and dp hold n elements; then each parameter, then
// each parameter gradient, holds 1 or at least n; then the parameter gradients are zero-filled.
// The probabilities are the call's x and their gradient its dx.
template <typename T, size_t NP>
bool check_quantile_gradient(KernelResult& r, const KernelBuffer* in, const KernelBuffer* out,
                             GradientCall<T, NP>& c) {
  if (!check_cotangent(r, in, out, c)) return false;
  for (size_t k = 0; k < NP; ++k) {
    if (!check_parameter(r, c.p[k], c.n, kQuantileParams)) return false;
  }
  for (size_t k = 0; k < NP; ++k) {
    if (!length_follows(c.dp[k].count, c.n, kQuantileParams)) {
      r.fail("parameter cotangent length mismatch");
      return false;
    }
  }
  for (size_t k = 0; k < NP; ++k) zero_fill<T>(out[1 + k]);
  return true;
}

// The gradient loop: factors(p, params...) returns {dq/dp, dq/dtheta_k...}.
template <typename T, size_t NP, typename F>
void quantile_gradient(KernelResult& r, const KernelBuffer* in, const KernelBuffer* out,
                       F factors) {
  GradientCall<T, NP> c;
  if (!check_quantile_gradient(r, in, out, c)) return;
  run_gradient(c, factors);
}

// f(i, z_i) for the observations [begin, end), z_i = normal_quantile(p~_i): evaluated kManyBlock at
// a time side by side in 64-bit and narrowed, each value that of the one-at-a-time call.
template <typename T, typename F>
[[gnu::always_inline]] inline void for_standard_quantiles(const T* p, size_t begin, size_t end,
                                                          cpu::Level level, F f) {
  double wide[kManyBlock];
  double zd[kManyBlock];
  for (size_t i0 = begin; i0 < end; i0 += kManyBlock) {
    const size_t m = end - i0 < kManyBlock ? end - i0 : kManyBlock;
    for (size_t l = 0; l < m; ++l) wide[l] = static_cast<double>(clamp_probability(p[i0 + l]));
    normal_quantile_many(wide, zd, m, level);
    for (size_t l = 0; l < m; ++l) f(i0 + l, static_cast<T>(zd[l]));
  }
}

// Forward of the gaussian and lognormal quantiles: q[i] = f(z_i, mu, sigma).
template <typename T, typename F>
void normal_forward(KernelResult& r, const KernelBuffer* in, const KernelBuffer* out, F f) {
  ForwardCall<T, 2> c;
  if (!check_forward(r, in, out, c, kQuantileParams)) return;
  const cpu::Level level = cpu::active();
  pool::parallel_for(c.n, [&](size_t begin, size_t end) {
    for_standard_quantiles(c.x, begin, end, level,
                           [&](size_t i, T z) { c.out[i] = f(z, c.p[0][i], c.p[1][i]); });
  });
}

// Gradient of the gaussian and lognormal quantiles: factors(z_i, mu, sigma).
template <typename T, typename F>
void normal_gradient(KernelResult& r, const KernelBuffer* in, const KernelBuffer* out,
                     F factors) {
  GradientCall<T, 2> c;
  if (!check_quantile_gradient(r, in, out, c)) return;
  const cpu::Level level = cpu::active();
  ordered_gradient<T, 2>(c.n, c.sums(), [&](size_t begin, size_t end, auto& out) {
    for_standard_quantiles(c.x, begin, end, level, [&](size_t i, T z) {
      c.apply(i, factors(z, c.p[0][i], c.p[1][i]), out, begin);
    });
  });
}

}  // namespace density::quantile_detail

using namespace density::quantile_detail;

template <typename T>
void q_exponential_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                       size_t) {
  quantile_forward<T, 1>(r, in, out, [](T p, T rate) {
    const T pc = clamp_probability(p);
    return (-std::log(T(1) - pc)) / rate;
  });
}

template <typename T>
void q_exponential_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                       size_t) {
  quantile_gradient<T, 1>(r, in, out, [](T p, T rate) {
    const T pc = clamp_probability(p);
    const T tail = T(1) - pc;
    return std::array<T, 2>{T(1) / (rate * tail), std::log(tail) / (rate * rate)};
  });
}

template <typename T>
void q_gaussian_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                    size_t) {
  normal_forward<T>(r, in, out, [](T z, T mu, T sigma) { return z * sigma + mu; });
}

template <typename T>
void q_gaussian_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                    size_t) {
  // mu enters no derivative; it is still length-checked like every operand.
  normal_gradient<T>(r, in, out, [](T z, T, T sigma) {
    return std::array<T, 3>{sigma / density::normal_density(z), T(1), z};
  });
}

template <typename T>
void q_lognormal_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                     size_t) {
  normal_forward<T>(r, in, out, [](T z, T mu, T sigma) { return std::exp(z * sigma + mu); });
}

template <typename T>
void q_lognormal_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                     size_t) {
  normal_gradient<T>(r, in, out, [](T z, T mu, T sigma) {
    const T q = std::exp(z * sigma + mu);
    return std::array<T, 3>{(sigma * q) / density::normal_density(z), q, z * q};
  });
}

// No logarithm or power here: each observation by the element-wise formula (b - a) * p + a,
// with the width taken once when both bounds hold one value.
template <typename T>
void q_uniform_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                   size_t) {
  density::ForwardCall<T, 2> c;
  if (!density::check_forward(r, in, out, c, kQuantileParams)) return;
  if (!(c.p[0].broadcast() && c.p[1].broadcast())) {
    density::run_forward(c, [](T p, T a, T b) { return (b - a) * p + a; });
    return;
  }
  const T* p = c.x;
  T* q = c.out;
  const T a = c.p[0].data[0];
  const T w = c.p[1].data[0] - a;
  pool::parallel_for(c.n, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) q[i] = w * p[i] + a;
  });
}

template <typename T>
void q_uniform_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                   size_t) {
  quantile_gradient<T, 2>(r, in, out, [](T p, T a, T b) {
    return std::array<T, 3>{b - a, T(1) - p, p};
  });
}

template <typename T>
void q_weibull_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                   size_t) {
  quantile_forward<T, 2>(r, in, out, [](T p, T lambda, T k) {
    const T w = -std::log(T(1) - clamp_probability(p));
    return lambda * std::pow(w, T(1) / k);
  });
}

template <typename T>
void q_weibull_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                   size_t) {
  quantile_gradient<T, 2>(r, in, out, [](T p, T lambda, T k) {
    const T pc = clamp_probability(p);
    const T tail = T(1) - pc;
    T w = -std::log(tail);
    // In single precision 1 - p~ rounds to 1 for p~ <= 2^-25 (the low clamp bound included), so
    // w would be 0 and the derivatives 0/0. There -ln(1 - p~) equals p~ to single precision;
    // take that, which gives the derivatives at p~. Double precision never reaches this.
    if (w == T(0)) w = pc;
    const T s = std::pow(w, T(1) / k);
    return std::array<T, 3>{lambda * s / (w * k * tail), s,
                            -lambda * s * std::log(w) / (k * k)};
  });
}

template <typename T>
void q_gumbel_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                  size_t) {
  quantile_forward<T, 2>(r, in, out, [](T p, T mu, T beta) {
    const T w = -std::log(clamp_probability(p));
    return mu - beta * std::log(w);
  });
}

template <typename T>
void q_gumbel_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                  size_t) {
  // mu enters no derivative; it is still length-checked like every operand.
  quantile_gradient<T, 2>(r, in, out, [](T p, T, T beta) {
    const T pc = clamp_probability(p);
    const T w = -std::log(pc);
    return std::array<T, 3>{beta / (w * pc), T(1), -std::log(w)};
  });
}

MIRELON_INSTANTIATE_KERNEL(q_exponential_fwd);
MIRELON_INSTANTIATE_KERNEL(q_exponential_vjp);
MIRELON_INSTANTIATE_KERNEL(q_gaussian_fwd);
MIRELON_INSTANTIATE_KERNEL(q_gaussian_vjp);
MIRELON_INSTANTIATE_KERNEL(q_lognormal_fwd);
MIRELON_INSTANTIATE_KERNEL(q_lognormal_vjp);
MIRELON_INSTANTIATE_KERNEL(q_uniform_fwd);
MIRELON_INSTANTIATE_KERNEL(q_uniform_vjp);
MIRELON_INSTANTIATE_KERNEL(q_weibull_fwd);
MIRELON_INSTANTIATE_KERNEL(q_weibull_vjp);
MIRELON_INSTANTIATE_KERNEL(q_gumbel_fwd);
MIRELON_INSTANTIATE_KERNEL(q_gumbel_vjp);

}  // namespace mirelon
