// Log-densities of the univariate distributions and their gradients.
//
// Every family is one per-element formula evaluated in a fixed order and grouping
// (logp_formulas.hpp); the 32-bit copies run the same steps in single precision, except that the
// special functions (64-bit only) are evaluated on the widened argument and rounded once.
//
// Speed without changing a bit of any result:
// - Where parameters hold one value, several loops evaluate a few elements per step in vector
//   lanes (lanes.hpp), at the level the processor supports.
// - A logarithm or special function of a one-value parameter is the same for every element and
//   is evaluated once.
// - Gradient sums into a one-value parameter are still formed in increasing index order.
#include <math.h>

#include <array>
#include <cmath>

#include "constants.hpp"
#include "density/lanes.hpp"
#include "density/logp_formulas.hpp"
#include "density/special.hpp"
#include "density/univariate.hpp"
#include "targets.hpp"

namespace mirelon {
namespace density::logp {

// A location-scale forward (Body is GaussianBody or LognormalBody): element by element with
// value(x, mu, sigma, ln sigma) where the scale varies per element, else the vector body, for a
// one-value or a per-element location.
template <template <typename, bool> class Body, typename T, typename Value>
void location_scale_forward(const ForwardCall<T, 2>& c, Value value) {
  if (!c.p[1].broadcast()) {
    run_forward(c, [&](T x, T mu, T sigma) { return value(x, mu, sigma, std::log(sigma)); });
  } else if (c.p[0].broadcast()) {
    vector_forward(c.n, Body<T, true>{c.x, c.p[0].data, c.p[1].data[0], c.out});
  } else {
    vector_forward(c.n, Body<T, false>{c.x, c.p[0].data, c.p[1].data[0], c.out});
  }
}

}  // namespace density::logp

using density::dispatch2;
using density::ForwardCall;
using density::Hoisted;
using density::univariate_forward;
using density::univariate_gradient;
using density::vector_forward;
using density::vector_gradient;
namespace lp = density::logp;

// ---- gaussian ----------------------------------------------------------------------------------

template <typename T>
void logp_gaussian_fwd(KernelResult& result, const KernelBuffer* inputs, size_t,
                       const KernelBuffer* outputs, size_t) {
  ForwardCall<T, 2> c;
  if (!density::check_forward(result, inputs, outputs, c)) return;
  lp::location_scale_forward<lp::GaussianBody>(c, [](T x, T mu, T sigma, T log_sigma) {
    return lp::gaussian_value<T>(x, mu, sigma, log_sigma);
  });
}

template <typename T>
void logp_gaussian_vjp(KernelResult& result, const KernelBuffer* inputs, size_t,
                       const KernelBuffer* outputs, size_t) {
  density::GradientCall<T, 2> c;
  if (!density::check_gradient(result, inputs, outputs, c)) return;
  vector_gradient(c, lp::GaussianFactors<T>{});
}

// ---- lognormal ---------------------------------------------------------------------------------

template <typename T>
void logp_lognormal_fwd(KernelResult& result, const KernelBuffer* inputs, size_t,
                        const KernelBuffer* outputs, size_t) {
  ForwardCall<T, 2> c;
  if (!density::check_forward(result, inputs, outputs, c)) return;
  lp::location_scale_forward<lp::LognormalBody>(c, [](T x, T mu, T sigma, T log_sigma) {
    return lp::lognormal_value<T>(x, mu, sigma, log_sigma);
  });
}

template <typename T>
void logp_lognormal_vjp(KernelResult& result, const KernelBuffer* inputs, size_t,
                        const KernelBuffer* outputs, size_t) {
  univariate_gradient<T, 2>(result, inputs, outputs, [](T x, T mu, T sigma) {
    if (x <= T(0)) return std::array<T, 3>{T(0), T(0), T(0)};
    const T l = std::log(x);
    const T z = (l - mu) / sigma;
    const T t1 = z / sigma;
    const T t2 = (z * z - T(1)) / sigma;
    return std::array<T, 3>{(-(t1 + T(1))) / x, t1, t2};
  });
}

// ---- exponential -------------------------------------------------------------------------------

template <typename T>
void logp_exponential_fwd(KernelResult& result, const KernelBuffer* inputs, size_t,
                          const KernelBuffer* outputs, size_t) {
  ForwardCall<T, 1> c;
  if (!density::check_forward(result, inputs, outputs, c)) return;
  if (!c.p[0].broadcast()) {
    density::run_forward(c, [](T x, T r) { return lp::exponential_value<T>(x, r, std::log(r)); });
  } else {
    vector_forward(c.n, lp::ExponentialBody<T>{c.x, c.p[0].data[0], c.out});
  }
}

template <typename T>
void logp_exponential_vjp(KernelResult& result, const KernelBuffer* inputs, size_t,
                          const KernelBuffer* outputs, size_t) {
  univariate_gradient<T, 1>(result, inputs, outputs, [](T x, T r) {
    if (x < T(0)) return std::array<T, 2>{T(0), T(0)};
    return std::array<T, 2>{-r, T(1) / r - x};
  });
}

// ---- uniform -----------------------------------------------------------------------------------

template <typename T>
void logp_uniform_fwd(KernelResult& result, const KernelBuffer* inputs, size_t,
                      const KernelBuffer* outputs, size_t) {
  ForwardCall<T, 2> c;
  if (!density::check_forward(result, inputs, outputs, c)) return;
  if (!(c.p[0].broadcast() && c.p[1].broadcast())) {
    density::run_forward(c, [](T x, T a, T b) {
      return lp::uniform_value<T>(x, a, b, -std::log(b - a));
    });
  } else {
    vector_forward(c.n, lp::UniformBody<T>{c.x, c.p[0].data[0], c.p[1].data[0], c.out});
  }
}

template <typename T>
void logp_uniform_vjp(KernelResult& result, const KernelBuffer* inputs, size_t,
                      const KernelBuffer* outputs, size_t) {
  univariate_gradient<T, 2>(result, inputs, outputs, [](T x, T a, T b) {
    if (x < a || x > b) return std::array<T, 3>{T(0), T(0), T(0)};
    const T w = T(1) / (b - a);
    return std::array<T, 3>{T(0), w, -w};
  });
}

// ---- weibull -----------------------------------------------------------------------------------

template <typename T>
void logp_weibull_fwd(KernelResult& result, const KernelBuffer* inputs, size_t,
                      const KernelBuffer* outputs, size_t) {
  univariate_forward<T, 2>(result, inputs, outputs, lp::weibull_value<T>);
}

template <typename T>
void logp_weibull_vjp(KernelResult& result, const KernelBuffer* inputs, size_t,
                      const KernelBuffer* outputs, size_t) {
  univariate_gradient<T, 2>(result, inputs, outputs, [](T x, T lambda, T k) {
    if (x <= T(0)) return std::array<T, 3>{T(0), T(0), T(0)};
    const T t = x / lambda;
    const T q = std::pow(t, k);
    const T L = std::log(t);
    return std::array<T, 3>{(k - T(1)) / x - (k * q) / x, (k * q) / lambda - k / lambda,
                            (T(1) / k + L) - L * q};
  });
}

// ---- gumbel ------------------------------------------------------------------------------------

template <typename T>
void logp_gumbel_fwd(KernelResult& result, const KernelBuffer* inputs, size_t,
                     const KernelBuffer* outputs, size_t) {
  ForwardCall<T, 2> c;
  if (!density::check_forward(result, inputs, outputs, c)) return;
  if (!c.p[0].broadcast()) {
    density::run_forward(c, [](T x, T mu, T beta) {
      return lp::gumbel_value<T>(x, mu, beta, std::log(beta));
    });
    return;
  }
  auto run = [&](const auto& body) {
    pool::parallel_for(c.n, [&](size_t begin, size_t end) { body.run(begin, end); });
  };
  if (c.p[1].broadcast()) {
    run(lp::GumbelBody<T, true>{c.x, c.p[0].data[0], c.p[1].data, c.out});
  } else {
    run(lp::GumbelBody<T, false>{c.x, c.p[0].data[0], c.p[1].data, c.out});
  }
}

template <typename T>
void logp_gumbel_vjp(KernelResult& result, const KernelBuffer* inputs, size_t,
                     const KernelBuffer* outputs, size_t) {
  univariate_gradient<T, 2>(result, inputs, outputs, [](T x, T mu, T beta) {
    const T z = (x - mu) / beta;
    const T c = std::exp(-z) - T(1);
    const T tx = c / beta;
    // The location's term is the negative of dx's: adding -(tx * g) subtracts tx * g exactly.
    return std::array<T, 3>{tx, -tx, (T(-1) - z * c) / beta};
  });
}

// ---- beta --------------------------------------------------------------------------------------

template <typename T>
void logp_beta_fwd(KernelResult& result, const KernelBuffer* inputs, size_t,
                   const KernelBuffer* outputs, size_t) {
  ForwardCall<T, 2> c;
  if (!density::check_forward(result, inputs, outputs, c)) return;
  const auto log_beta_fn = [](T a, T b) {
    const T lg_a = eval_in_double<T>(density::ln_gamma, a);
    const T lg_b = eval_in_double<T>(density::ln_gamma, b);
    const T lg_ab = eval_in_double<T>(density::ln_gamma, T(a + b));
    return (lg_a + lg_b) - lg_ab;
  };
  // With both shapes one-valued the normalising term is the same for every element.
  const bool shared = c.p[0].broadcast() && c.p[1].broadcast();
  const T shared_B = shared ? log_beta_fn(c.p[0].data[0], c.p[1].data[0]) : T(0);
  density::run_forward(c, [&](T x, T a, T b) {
    const T xc = lp::beta_clamp(x);
    const T B = shared ? shared_B : log_beta_fn(a, b);
    return ((a - T(1)) * std::log(xc) + (b - T(1)) * std::log(T(1) - xc)) - B;
  });
}

template <typename T>
void logp_beta_vjp(KernelResult& result, const KernelBuffer* inputs, size_t,
                   const KernelBuffer* outputs, size_t) {
  density::GradientCall<T, 2> c;
  if (!density::check_gradient(result, inputs, outputs, c)) return;
  const auto digamma_t = [](T v) { return eval_in_double<T>(density::digamma, v); };
  const Hoisted<T> dg_a(c.p[0], digamma_t);
  const Hoisted<T> dg_b(c.p[1], digamma_t);
  const bool shared = c.p[0].broadcast() && c.p[1].broadcast();
  const T shared_ab = shared ? digamma_t(T(c.p[0].data[0] + c.p[1].data[0])) : T(0);
  density::run_gradient(c, [&](T x, T a, T b) {
    const T xc = lp::beta_clamp(x);
    const T dg_ab = shared ? shared_ab : digamma_t(T(a + b));
    const T tx = (a - T(1)) / xc - (b - T(1)) / (T(1) - xc);
    const T t1 = (std::log(xc) - dg_a(a)) + dg_ab;
    const T t2 = dg_ab + (std::log(T(1) - xc) - dg_b(b));
    return std::array<T, 3>{tx, t1, t2};
  });
}

// ---- gamma -------------------------------------------------------------------------------------

template <typename T>
void logp_gamma_fwd(KernelResult& result, const KernelBuffer* inputs, size_t,
                    const KernelBuffer* outputs, size_t) {
  ForwardCall<T, 2> c;
  if (!density::check_forward(result, inputs, outputs, c)) return;
  // ln_gamma of a one-value shape and the logarithm of a one-value rate are the same for every
  // element, so they are evaluated once.
  const Hoisted<T> lg(c.p[0], [](T a) { return eval_in_double<T>(density::ln_gamma, a); });
  const Hoisted<T> lb(c.p[1], [](T b) { return std::log(b); });
  dispatch2(c.p[0].broadcast(), c.p[1].broadcast(), [&]<bool AlphaB, bool BetaB>() {
    vector_forward(c.n, lp::GammaBody<T, AlphaB, BetaB>{c.x, c.p[0].data, c.p[1].data, c.out,
                                                        &lg, &lb});
  });
}

template <typename T>
void logp_gamma_vjp(KernelResult& result, const KernelBuffer* inputs, size_t,
                    const KernelBuffer* outputs, size_t) {
  density::GradientCall<T, 2> c;
  if (!density::check_gradient(result, inputs, outputs, c)) return;
  vector_gradient(
      c, lp::GammaFactors<T>{
             Hoisted<T>(c.p[0], [](T a) { return eval_in_double<T>(density::digamma, a); }),
             Hoisted<T>(c.p[1], [](T b) { return std::log(b); })});
}

// ---- von Mises ---------------------------------------------------------------------------------

template <typename T>
void logp_vonmises_fwd(KernelResult& result, const KernelBuffer* inputs, size_t,
                       const KernelBuffer* outputs, size_t) {
  ForwardCall<T, 2> c;
  if (!density::check_forward(result, inputs, outputs, c)) return;
  const Hoisted<T> norm(c.p[1], [](T kappa) {
    return std::log(eval_in_double<T>(density::bessel_i0e, kappa) * constants::two_pi<T>);
  });
  density::run_forward(c, [&](T x, T mu, T kappa) {
    return kappa * (std::cos(x - mu) - T(1)) - norm(kappa);
  });
}

template <typename T>
void logp_vonmises_vjp(KernelResult& result, const KernelBuffer* inputs, size_t,
                       const KernelBuffer* outputs, size_t) {
  density::GradientCall<T, 2> c;
  if (!density::check_gradient(result, inputs, outputs, c)) return;
  // A = I1(kappa)/I0(kappa) from the scaled functions (the scaling cancels). The concentration's
  // term is the derivative for kappa >= 0; for a negative concentration it keeps the same form.
  const Hoisted<T> ratio(c.p[1], [](T kappa) {
    const T i1 = eval_in_double<T>(density::bessel_i1e, kappa);
    const T i0 = eval_in_double<T>(density::bessel_i0e, kappa);
    return i1 / i0;
  });
  density::run_gradient(c, [&](T x, T mu, T kappa) {
    T s;
    T co;
    sin_cos(T(x - mu), s, co);
    const T A = ratio(kappa);
    return std::array<T, 3>{(-kappa) * s, kappa * s, (co - T(1)) - (A - T(1))};
  });
}

// ---- wrapped gaussian --------------------------------------------------------------------------

template <typename T>
void logp_wrapped_gaussian_fwd(KernelResult& result, const KernelBuffer* inputs, size_t,
                               const KernelBuffer* outputs, size_t) {
  univariate_forward<T, 2>(result, inputs, outputs, lp::wrapped_gaussian_value<T>);
}

template <typename T>
void logp_wrapped_gaussian_vjp(KernelResult& result, const KernelBuffer* inputs, size_t,
                               const KernelBuffer* outputs, size_t) {
  univariate_gradient<T, 2>(result, inputs, outputs, [](T x, T mu, T sigma) {
    const T d = x - mu;
    const T sigma2 = sigma * sigma;
    const T sigma3 = sigma2 * sigma;
    T s = T(0);
    T p = T(0);
    T q = T(0);
    for (int k = 0; k < 7; ++k) {
      const T u = lp::image_offset(d, k);
      const T v = u / sigma;
      const T wk = std::exp((v * T(-0.5)) * v);
      const T pk = (u * wk) / sigma2;
      const T qk = (u * (u * wk)) / sigma3;
      s = k == 0 ? wk : s + wk;
      p = k == 0 ? pk : p + pk;
      q = k == 0 ? qk : q + qk;
    }
    s = s + static_cast<T>(1e-12);
    const T ps = p / s;
    return std::array<T, 3>{-ps, ps, T(-1) / sigma + q / s};
  });
}

MIRELON_INSTANTIATE_KERNEL(logp_gaussian_fwd);
MIRELON_INSTANTIATE_KERNEL(logp_gaussian_vjp);
MIRELON_INSTANTIATE_KERNEL(logp_weibull_fwd);
MIRELON_INSTANTIATE_KERNEL(logp_weibull_vjp);
MIRELON_INSTANTIATE_KERNEL(logp_lognormal_fwd);
MIRELON_INSTANTIATE_KERNEL(logp_lognormal_vjp);
MIRELON_INSTANTIATE_KERNEL(logp_gumbel_fwd);
MIRELON_INSTANTIATE_KERNEL(logp_gumbel_vjp);
MIRELON_INSTANTIATE_KERNEL(logp_exponential_fwd);
MIRELON_INSTANTIATE_KERNEL(logp_exponential_vjp);
MIRELON_INSTANTIATE_KERNEL(logp_gamma_fwd);
MIRELON_INSTANTIATE_KERNEL(logp_gamma_vjp);
MIRELON_INSTANTIATE_KERNEL(logp_beta_fwd);
MIRELON_INSTANTIATE_KERNEL(logp_beta_vjp);
MIRELON_INSTANTIATE_KERNEL(logp_uniform_fwd);
MIRELON_INSTANTIATE_KERNEL(logp_uniform_vjp);
MIRELON_INSTANTIATE_KERNEL(logp_vonmises_fwd);
MIRELON_INSTANTIATE_KERNEL(logp_vonmises_vjp);
MIRELON_INSTANTIATE_KERNEL(logp_wrapped_gaussian_fwd);
MIRELON_INSTANTIATE_KERNEL(logp_wrapped_gaussian_vjp);

}  // namespace mirelon
