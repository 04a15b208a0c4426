// Log-densities of the univariate distributions and their gradients.
//
// Every family is one per-element formula evaluated in a fixed order and grouping; the 32-bit
// copies run the same steps in single precision, except that the special functions (64-bit only)
// are evaluated on the widened argument and rounded once.
//
// Forward loops whose only logarithm is of a one-value parameter evaluate a few elements per step
// with vector arithmetic and take that logarithm once per piece. Vector lanes use the same IEEE
// operations in the same order as the scalar formula (no contraction, no approximate functions;
// elementary functions of per-element values stay per-lane scalar calls), so every element is
// bit-identical to the element-wise result.
#include <math.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "density/special.hpp"
#include "density/univariate.hpp"
#include "targets.hpp"

namespace mirelon {
namespace density::logp_detail {

template <typename T>
constexpr T kInf = std::numeric_limits<T>::infinity();

// -ln sqrt(2 pi)
template <typename T>
constexpr T kNegHalfLn2Pi = static_cast<T>(-0.9189385332046727);

template <typename T>
constexpr T kTwoPi = static_cast<T>(6.283185307179586);

// ---- short vectors ---------------------------------------------------------------------------

// One SSE register of lanes: two doubles or four floats.
template <typename T>
struct Simd {
  static constexpr size_t width = 16 / sizeof(T);
  typedef T V __attribute__((vector_size(16)));

  static V load(const T* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  static void store(T* p, V v) { std::memcpy(p, &v, sizeof v); }
  static V splat(T a) {
    V v;
    for (size_t k = 0; k < width; ++k) v[k] = a;
    return v;
  }
  // A parameter's lanes for elements i … i + width - 1: its single value or its own elements.
  template <bool Broadcast>
  static V lanes(const T* p, size_t i) {
    if constexpr (Broadcast) {
      return splat(p[0]);
    } else {
      return load(p + i);
    }
  }
};

// Runs block(i) for every full vector of [begin, end) and element(i) for the remainder.
template <typename T, typename Block, typename Element>
void vector_piece(size_t begin, size_t end, Block block, Element element) {
  constexpr size_t w = Simd<T>::width;
  size_t i = begin;
  for (; end - i >= w; i += w) block(i);
  for (; i < end; ++i) element(i);
}

template <bool B>
inline size_t pick(size_t i) {
  return B ? 0 : i;
}

// Calls f.template operator()<B1, B2>() with the broadcast flags of two parameters as constants.
template <typename F>
void dispatch2(bool b1, bool b2, F&& f) {
  if (b1) {
    if (b2) f.template operator()<true, true>();
    else f.template operator()<true, false>();
  } else {
    if (b2) f.template operator()<false, true>();
    else f.template operator()<false, false>();
  }
}

// ---- element formulas ------------------------------------------------------------------------
// Written once for scalars and vectors: arithmetic between a vector and a scalar applies the
// scalar to every lane exactly as the scalar formula would.

// Gaussian: z = (x - mu)/sigma; ((z * -0.5) * z - ln sigma) + (-ln sqrt(2 pi)).
template <typename T, typename X, typename M, typename S>
X gaussian_value(X x, M mu, S sigma, T log_sigma) {
  const X z = (x - mu) / sigma;
  return ((z * T(-0.5)) * z - log_sigma) + kNegHalfLn2Pi<T>;
}

// Lognormal inside the support, with l = ln x.
template <typename T, typename X, typename M, typename S, typename L>
X lognormal_inside(X l, M mu, S sigma, L log_sigma) {
  const X z = (l - mu) / sigma;
  return (((z * T(-0.5)) * z - l) - log_sigma) + kNegHalfLn2Pi<T>;
}

template <typename T>
T lognormal_value(T x, T mu, T sigma, T log_sigma) {
  if (x <= T(0)) return -kInf<T>;
  return lognormal_inside<T>(std::log(x), mu, sigma, log_sigma);
}

template <typename T>
T exponential_value(T x, T r, T log_r) {
  if (x < T(0)) return -kInf<T>;
  return log_r - x * r;
}

// Uniform: neg_log_width = -ln(b - a).
template <typename T>
T uniform_value(T x, T a, T b, T neg_log_width) {
  if (x < a || x > b) return -kInf<T>;
  return neg_log_width;
}

template <typename T>
T weibull_value(T x, T lambda, T k) {
  if (x <= T(0)) return -kInf<T>;
  const T log_lambda = std::log(lambda);
  return ((std::log(x) - log_lambda) * (k - T(1)) + (std::log(k) - log_lambda)) -
         std::pow(x / lambda, k);
}

// Gumbel: t = -(x - mu)/beta; (t - exp t) - ln beta.
template <typename X, typename M, typename B>
X gumbel_t(X x, M mu, B beta) {
  return (-(x - mu)) / beta;
}

template <typename T>
T gumbel_value(T x, T mu, T beta, T log_beta) {
  const T t = gumbel_t(x, mu, beta);
  return (t - std::exp(t)) - log_beta;
}

template <typename T>
T beta_clamp(T x) {
  return min_ignoring_nan(max_ignoring_nan(x, static_cast<T>(1e-6)), static_cast<T>(0.999999));
}

template <typename T>
T beta_value(T x, T a, T b) {
  const T xc = beta_clamp(x);
  const T lg_a = eval_in_double<T>(density::ln_gamma, a);
  const T lg_b = eval_in_double<T>(density::ln_gamma, b);
  const T lg_ab = eval_in_double<T>(density::ln_gamma, T(a + b));
  const T B = (lg_a + lg_b) - lg_ab;
  return ((a - T(1)) * std::log(xc) + (b - T(1)) * std::log(T(1) - xc)) - B;
}

template <typename T>
T gamma_value(T x, T alpha, T beta) {
  if (x <= T(0)) return -kInf<T>;
  const T lg = eval_in_double<T>(density::ln_gamma, alpha);
  return (((alpha - T(1)) * std::log(x) + alpha * std::log(beta)) - beta * x) - lg;
}

template <typename T>
T vonmises_value(T x, T mu, T kappa) {
  const T i0 = eval_in_double<T>(density::bessel_i0e, kappa);
  return kappa * (std::cos(x - mu) - T(1)) - std::log(i0 * kTwoPi<T>);
}

// The seven images of the wrapped gaussian, k = 3 … -3, as offsets 2 pi k (0 for k = 0).
template <typename T>
constexpr T kImageOffset[7] = {
    static_cast<T>(18.84955592153876),  static_cast<T>(12.566370614359172),
    static_cast<T>(6.283185307179586),  T(0),
    static_cast<T>(-6.283185307179586), static_cast<T>(-12.566370614359172),
    static_cast<T>(-18.84955592153876)};

template <typename T>
T image_offset(T d, int k) {
  return k == 3 ? d : d + kImageOffset<T>[k];  // nothing is added for the central image
}

template <typename T>
T wrapped_gaussian_value(T x, T mu, T sigma) {
  const T d = x - mu;
  T s = T(0);
  for (int k = 0; k < 7; ++k) {
    const T v = image_offset(d, k) / sigma;
    const T w = std::exp((v * T(-0.5)) * v);
    s = k == 0 ? w : s + w;
  }
  s = s + static_cast<T>(1e-12);
  return std::log(s) - std::log(sigma * static_cast<T>(2.5066282746310002));
}

// ---- sine and cosine together -----------------------------------------------------------------

inline void sin_cos(double a, double& s, double& c) { ::sincos(a, &s, &c); }
inline void sin_cos(float a, float& s, float& c) { ::sincosf(a, &s, &c); }

}  // namespace density::logp_detail

using density::ForwardCall;
using density::univariate_forward;
using density::univariate_gradient;
namespace lp = density::logp_detail;

// ---- gaussian ----------------------------------------------------------------------------------

template <typename T>
void logp_gaussian_fwd(KernelResult& result, const KernelBuffer* inputs, size_t, const KernelBuffer* outputs,
                       size_t) {
  ForwardCall<T, 2> c;
  if (!density::check_forward(result, inputs, outputs, c)) return;
  if (!c.p[1].broadcast()) {
    density::run_forward(c, [](T x, T mu, T sigma) {
      return lp::gaussian_value<T>(x, mu, sigma, std::log(sigma));
    });
    return;
  }
  // One sigma: ln sigma once per piece, vector arithmetic for the rest.
  lp::dispatch2(c.p[0].broadcast(), true, [&]<bool MuB, bool>() {
    using S = lp::Simd<T>;
    const T* x = c.x;
    const T* mu = c.p[0].data;
    const T sigma = c.p[1].data[0];
    T* out = c.out;
    pool::parallel_for(c.n, [&](size_t begin, size_t end) {
      const T log_sigma = std::log(sigma);
      lp::vector_piece<T>(
          begin, end,
          [&](size_t i) {
            S::store(out + i, lp::gaussian_value<T>(S::load(x + i), S::template lanes<MuB>(mu, i),
                                                    sigma, log_sigma));
          },
          [&](size_t i) {
            out[i] = lp::gaussian_value<T>(x[i], mu[lp::pick<MuB>(i)], sigma, log_sigma);
          });
    });
  });
}

template <typename T>
void logp_gaussian_vjp(KernelResult& result, const KernelBuffer* inputs, size_t, const KernelBuffer* outputs,
                       size_t) {
  univariate_gradient<T, 2>(result, inputs, outputs, [](T x, T mu, T sigma) {
    const T z = (x - mu) / sigma;
    return std::array<T, 3>{(-z) / sigma, z / sigma, (z * z - T(1)) / sigma};
  });
}

// ---- lognormal ---------------------------------------------------------------------------------

template <typename T>
void logp_lognormal_fwd(KernelResult& result, const KernelBuffer* inputs, size_t, const KernelBuffer* outputs,
                        size_t) {
  ForwardCall<T, 2> c;
  if (!density::check_forward(result, inputs, outputs, c)) return;
  if (!c.p[1].broadcast()) {
    density::run_forward(c, [](T x, T mu, T sigma) {
      return lp::lognormal_value<T>(x, mu, sigma, std::log(sigma));
    });
    return;
  }
  lp::dispatch2(c.p[0].broadcast(), true, [&]<bool MuB, bool>() {
    using S = lp::Simd<T>;
    using V = typename S::V;
    constexpr size_t w = S::width;
    const T* x = c.x;
    const T* mu = c.p[0].data;
    const T sigma = c.p[1].data[0];
    T* out = c.out;
    pool::parallel_for(c.n, [&](size_t begin, size_t end) {
      const T log_sigma = std::log(sigma);
      lp::vector_piece<T>(
          begin, end,
          [&](size_t i) {
            const V xv = S::load(x + i);
            V l;
            for (size_t k = 0; k < w; ++k) l[k] = std::log(xv[k]);
            const V inside =
                lp::lognormal_inside<T>(l, S::template lanes<MuB>(mu, i), sigma, log_sigma);
            S::store(out + i, xv <= T(0) ? S::splat(-lp::kInf<T>) : inside);
          },
          [&](size_t i) {
            out[i] = lp::lognormal_value<T>(x[i], mu[lp::pick<MuB>(i)], sigma, log_sigma);
          });
    });
  });
}

template <typename T>
void logp_lognormal_vjp(KernelResult& result, const KernelBuffer* inputs, size_t, const KernelBuffer* outputs,
                        size_t) {
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
void logp_exponential_fwd(KernelResult& result, const KernelBuffer* inputs, size_t, const KernelBuffer* outputs,
                          size_t) {
  ForwardCall<T, 1> c;
  if (!density::check_forward(result, inputs, outputs, c)) return;
  if (!c.p[0].broadcast()) {
    density::run_forward(c, [](T x, T r) { return lp::exponential_value<T>(x, r, std::log(r)); });
    return;
  }
  using S = lp::Simd<T>;
  const T* x = c.x;
  const T r = c.p[0].data[0];
  T* out = c.out;
  pool::parallel_for(c.n, [&](size_t begin, size_t end) {
    const T log_r = std::log(r);
    lp::vector_piece<T>(
        begin, end,
        [&](size_t i) {
          const typename S::V xv = S::load(x + i);
          S::store(out + i, xv < T(0) ? S::splat(-lp::kInf<T>) : log_r - xv * r);
        },
        [&](size_t i) { out[i] = lp::exponential_value<T>(x[i], r, log_r); });
  });
}

template <typename T>
void logp_exponential_vjp(KernelResult& result, const KernelBuffer* inputs, size_t, const KernelBuffer* outputs,
                          size_t) {
  univariate_gradient<T, 1>(result, inputs, outputs, [](T x, T r) {
    if (x < T(0)) return std::array<T, 2>{T(0), T(0)};
    return std::array<T, 2>{-r, T(1) / r - x};
  });
}

// ---- uniform -----------------------------------------------------------------------------------

template <typename T>
void logp_uniform_fwd(KernelResult& result, const KernelBuffer* inputs, size_t, const KernelBuffer* outputs,
                      size_t) {
  ForwardCall<T, 2> c;
  if (!density::check_forward(result, inputs, outputs, c)) return;
  if (!(c.p[0].broadcast() && c.p[1].broadcast())) {
    density::run_forward(c, [](T x, T a, T b) {
      return lp::uniform_value<T>(x, a, b, -std::log(b - a));
    });
    return;
  }
  using S = lp::Simd<T>;
  const T* x = c.x;
  const T a = c.p[0].data[0];
  const T b = c.p[1].data[0];
  T* out = c.out;
  pool::parallel_for(c.n, [&](size_t begin, size_t end) {
    const T neg_log_width = -std::log(b - a);
    lp::vector_piece<T>(
        begin, end,
        [&](size_t i) {
          const typename S::V xv = S::load(x + i);
          S::store(out + i, (xv < a) | (xv > b) ? S::splat(-lp::kInf<T>) : S::splat(neg_log_width));
        },
        [&](size_t i) { out[i] = lp::uniform_value<T>(x[i], a, b, neg_log_width); });
  });
}

template <typename T>
void logp_uniform_vjp(KernelResult& result, const KernelBuffer* inputs, size_t, const KernelBuffer* outputs,
                      size_t) {
  univariate_gradient<T, 2>(result, inputs, outputs, [](T x, T a, T b) {
    if (x < a || x > b) return std::array<T, 3>{T(0), T(0), T(0)};
    const T w = T(1) / (b - a);
    return std::array<T, 3>{T(0), w, -w};
  });
}

// ---- weibull -----------------------------------------------------------------------------------

template <typename T>
void logp_weibull_fwd(KernelResult& result, const KernelBuffer* inputs, size_t, const KernelBuffer* outputs,
                      size_t) {
  univariate_forward<T, 2>(result, inputs, outputs, lp::weibull_value<T>);
}

template <typename T>
void logp_weibull_vjp(KernelResult& result, const KernelBuffer* inputs, size_t, const KernelBuffer* outputs,
                      size_t) {
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
void logp_gumbel_fwd(KernelResult& result, const KernelBuffer* inputs, size_t, const KernelBuffer* outputs,
                     size_t) {
  ForwardCall<T, 2> c;
  if (!density::check_forward(result, inputs, outputs, c)) return;
  if (!c.p[0].broadcast()) {
    density::run_forward(c, [](T x, T mu, T beta) {
      return lp::gumbel_value<T>(x, mu, beta, std::log(beta));
    });
    return;
  }
  // One location: t for a vector of elements at once; exp stays a per-element call.
  lp::dispatch2(true, c.p[1].broadcast(), [&]<bool, bool BetaB>() {
    using S = lp::Simd<T>;
    using V = typename S::V;
    constexpr size_t w = S::width;
    const T* x = c.x;
    const T mu = c.p[0].data[0];
    const T* beta = c.p[1].data;
    T* out = c.out;
    pool::parallel_for(c.n, [&](size_t begin, size_t end) {
      const T log_beta0 = BetaB ? std::log(beta[0]) : T(0);
      lp::vector_piece<T>(
          begin, end,
          [&](size_t i) {
            const V bv = S::template lanes<BetaB>(beta, i);
            const V t = lp::gumbel_t(S::load(x + i), mu, bv);
            V e;
            V lb;
            for (size_t k = 0; k < w; ++k) {
              e[k] = std::exp(t[k]);
              lb[k] = BetaB ? log_beta0 : std::log(bv[k]);
            }
            S::store(out + i, (t - e) - lb);
          },
          [&](size_t i) {
            const T b = beta[lp::pick<BetaB>(i)];
            out[i] = lp::gumbel_value<T>(x[i], mu, b, BetaB ? log_beta0 : std::log(b));
          });
    });
  });
}

template <typename T>
void logp_gumbel_vjp(KernelResult& result, const KernelBuffer* inputs, size_t, const KernelBuffer* outputs,
                     size_t) {
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
void logp_beta_fwd(KernelResult& result, const KernelBuffer* inputs, size_t, const KernelBuffer* outputs,
                   size_t) {
  univariate_forward<T, 2>(result, inputs, outputs, lp::beta_value<T>);
}

template <typename T>
void logp_beta_vjp(KernelResult& result, const KernelBuffer* inputs, size_t, const KernelBuffer* outputs,
                   size_t) {
  univariate_gradient<T, 2>(result, inputs, outputs, [](T x, T a, T b) {
    const T xc = lp::beta_clamp(x);
    const T dg_ab = eval_in_double<T>(density::digamma, T(a + b));
    const T dg_a = eval_in_double<T>(density::digamma, a);
    const T dg_b = eval_in_double<T>(density::digamma, b);
    const T tx = (a - T(1)) / xc - (b - T(1)) / (T(1) - xc);
    const T t1 = (std::log(xc) - dg_a) + dg_ab;
    const T t2 = dg_ab + (std::log(T(1) - xc) - dg_b);
    return std::array<T, 3>{tx, t1, t2};
  });
}

// ---- gamma -------------------------------------------------------------------------------------

template <typename T>
void logp_gamma_fwd(KernelResult& result, const KernelBuffer* inputs, size_t, const KernelBuffer* outputs,
                    size_t) {
  univariate_forward<T, 2>(result, inputs, outputs, lp::gamma_value<T>);
}

template <typename T>
void logp_gamma_vjp(KernelResult& result, const KernelBuffer* inputs, size_t, const KernelBuffer* outputs,
                    size_t) {
  univariate_gradient<T, 2>(result, inputs, outputs, [](T x, T alpha, T beta) {
    if (x <= T(0)) return std::array<T, 3>{T(0), T(0), T(0)};
    const T dg = eval_in_double<T>(density::digamma, alpha);
    return std::array<T, 3>{(alpha - T(1)) / x - beta, (std::log(beta) + std::log(x)) - dg,
                            alpha / beta - x};
  });
}

// ---- von Mises ---------------------------------------------------------------------------------

template <typename T>
void logp_vonmises_fwd(KernelResult& result, const KernelBuffer* inputs, size_t, const KernelBuffer* outputs,
                       size_t) {
  univariate_forward<T, 2>(result, inputs, outputs, lp::vonmises_value<T>);
}

template <typename T>
void logp_vonmises_vjp(KernelResult& result, const KernelBuffer* inputs, size_t, const KernelBuffer* outputs,
                       size_t) {
  // The concentration's term is the derivative for kappa >= 0; for a negative concentration it is
  // kept in the same form, as the forward value is continued there through |kappa| only.
  univariate_gradient<T, 2>(result, inputs, outputs, [](T x, T mu, T kappa) {
    T s;
    T c;
    lp::sin_cos(T(x - mu), s, c);
    const T i1 = eval_in_double<T>(density::bessel_i1e, kappa);
    const T i0 = eval_in_double<T>(density::bessel_i0e, kappa);
    const T A = i1 / i0;
    return std::array<T, 3>{(-kappa) * s, kappa * s, (c - T(1)) - (A - T(1))};
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
