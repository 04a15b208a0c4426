// Quantile functions of the exponential, gaussian, lognormal, uniform, weibull and gumbel
// distributions with their gradients. All twelve kernels run on the calling thread. The
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

constexpr double kMinusLnSqrtTwoPi = -0.9189385332046727;

// min(max(p, 1e-12), 0.9999999) in the element type; a NaN probability becomes the low bound.
template <typename T>
T clamp_probability(T p) {
  const T lo = static_cast<T>(1e-12);
  const T hi = static_cast<T>(0.9999999);
  const T above = p > lo ? p : lo;
  return above < hi ? above : hi;
}

// z = normal_quantile(p~), evaluated in 64-bit and rounded once.
template <typename T>
T standard_quantile(T pc) {
  return static_cast<T>(density::normal_quantile(static_cast<double>(pc)));
}

// The standard normal density at z, in 64-bit, rounded once.
template <typename T>
T density_at(T z) {
  const double zd = static_cast<double>(z);
  return static_cast<T>(std::exp(zd * -0.5 * zd + kMinusLnSqrtTwoPi));
}

// A buffer a quantile kernel reads or writes per observation: 1 element, or at least n.
inline bool covers(size_t count, size_t n) { return n == 0 || count == 1 || count >= n; }

// Forward: output length, then each parameter (nothing else is read).
template <typename T, size_t NP>
bool check_forward(KernelResult& r, const KernelBuffer* in, const KernelBuffer* out, size_t n,
                   std::array<Param<T>, NP>& params) {
  if (!check_length(r, out[0], n, "output length mismatch")) return false;
  for (size_t k = 0; k < NP; ++k) {
    params[k] = param_of<T>(in[1 + k]);
    if (!covers(params[k].count, n)) {
      r.fail(parameter_length_error(params[k].count, n));
      return false;
    }
  }
  return true;
}

// q[i] = f(p[i], parameters for i), in increasing i on the calling thread.
template <typename T, size_t NP, typename F>
void quantile_forward(KernelResult& r, const KernelBuffer* in, const KernelBuffer* out, F f) {
  const size_t n = element_count(in[0]);
  std::array<Param<T>, NP> params;
  if (!check_forward<T, NP>(r, in, out, n, params)) return;
  const T* p = static_cast<const T*>(in[0].data);
  T* q = static_cast<T*>(out[0].data);
  for (size_t i = 0; i < n; ++i) {
    if constexpr (NP == 1) {
      q[i] = f(p[i], params[0].at(i));
    } else {
      q[i] = f(p[i], params[0].at(i), params[1].at(i));
    }
  }
}

// Gradient: g and dp hold n elements; then each parameter, then each parameter gradient, holds 1
// or at least n; then the parameter gradients are zero-filled. factors(p, params...) returns
// {dq/dp, dq/dtheta_1[, dq/dtheta_2]}; dp[i] = dq/dp * g[i] is stored and dq/dtheta_k * g[i] is
// added to element 0 of a one-element parameter gradient, else to element i.
template <typename T, size_t NP, typename F>
void quantile_gradient(KernelResult& r, const KernelBuffer* in, const KernelBuffer* out,
                       F factors) {
  const size_t n = element_count(in[0]);
  const KernelBuffer& g_buf = in[1 + NP];
  if (element_count(g_buf) != n || element_count(out[0]) != n) {
    r.fail("cotangent length mismatch");
    return;
  }
  std::array<Param<T>, NP> params;
  for (size_t k = 0; k < NP; ++k) {
    params[k] = param_of<T>(in[1 + k]);
    if (!covers(params[k].count, n)) {
      r.fail(parameter_length_error(params[k].count, n));
      return;
    }
  }
  std::array<T*, NP> dtheta;
  std::array<bool, NP> summed;
  for (size_t k = 0; k < NP; ++k) {
    const size_t count = element_count(out[1 + k]);
    if (!covers(count, n)) {
      r.fail("parameter cotangent length mismatch");
      return;
    }
    dtheta[k] = static_cast<T*>(out[1 + k].data);
    summed[k] = count == 1;
  }
  for (size_t k = 0; k < NP; ++k) zero_fill<T>(out[1 + k]);

  const T* p = static_cast<const T*>(in[0].data);
  const T* g = static_cast<const T*>(g_buf.data);
  T* dp = static_cast<T*>(out[0].data);
  for (size_t i = 0; i < n; ++i) {
    std::array<T, NP + 1> d;
    if constexpr (NP == 1) {
      d = factors(p[i], params[0].at(i));
    } else {
      d = factors(p[i], params[0].at(i), params[1].at(i));
    }
    const T gi = g[i];
    dp[i] = d[0] * gi;
    for (size_t k = 0; k < NP; ++k) dtheta[k][summed[k] ? 0 : i] += d[1 + k] * gi;
  }
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
  quantile_forward<T, 2>(r, in, out, [](T p, T mu, T sigma) {
    const T z = standard_quantile(clamp_probability(p));
    return z * sigma + mu;
  });
}

template <typename T>
void q_gaussian_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                    size_t) {
  // mu enters no derivative; it is still length-checked like every operand.
  quantile_gradient<T, 2>(r, in, out, [](T p, T, T sigma) {
    const T z = standard_quantile(clamp_probability(p));
    return std::array<T, 3>{sigma / density_at(z), T(1), z};
  });
}

template <typename T>
void q_lognormal_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                     size_t) {
  quantile_forward<T, 2>(r, in, out, [](T p, T mu, T sigma) {
    const T z = standard_quantile(clamp_probability(p));
    return std::exp(z * sigma + mu);
  });
}

template <typename T>
void q_lognormal_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                     size_t) {
  quantile_gradient<T, 2>(r, in, out, [](T p, T mu, T sigma) {
    const T z = standard_quantile(clamp_probability(p));
    const T q = std::exp(z * sigma + mu);
    return std::array<T, 3>{(sigma * q) / density_at(z), q, z * q};
  });
}

// No logarithm or power here: four observations per step, each by the element-wise formula
// (b - a) * p + a, so the results are those of the one-at-a-time loop.
template <typename T>
void q_uniform_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                   size_t) {
  const size_t n = element_count(in[0]);
  std::array<density::Param<T>, 2> params;
  if (!check_forward<T, 2>(r, in, out, n, params)) return;
  const T* p = static_cast<const T*>(in[0].data);
  T* q = static_cast<T*>(out[0].data);
  const size_t n4 = n - n % 4;
  if (params[0].broadcast() && params[1].broadcast()) {
    const T a = params[0].data[0];
    const T w = params[1].data[0] - a;
    for (size_t i = 0; i < n4; i += 4) {
      q[i] = w * p[i] + a;
      q[i + 1] = w * p[i + 1] + a;
      q[i + 2] = w * p[i + 2] + a;
      q[i + 3] = w * p[i + 3] + a;
    }
    for (size_t i = n4; i < n; ++i) q[i] = w * p[i] + a;
    return;
  }
  const auto& pa = params[0];
  const auto& pb = params[1];
  for (size_t i = 0; i < n4; i += 4) {
    for (size_t j = i; j < i + 4; ++j) q[j] = (pb.at(j) - pa.at(j)) * p[j] + pa.at(j);
  }
  for (size_t i = n4; i < n; ++i) q[i] = (pb.at(i) - pa.at(i)) * p[i] + pa.at(i);
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
