// The log-density formulas of the univariate families, element by element and, where the
// kernels evaluate them in lanes, as vector bodies and gradient factors. Each formula is written
// once in the grouping it is evaluated in; the vector bodies apply it to lanes and to the
// remainder with the same operations.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

#include "constants.hpp"
#include "density/lanes.hpp"
#include "numeric.hpp"

namespace mirelon::density::logp {

template <typename T>
constexpr T kInf = std::numeric_limits<T>::infinity();

// ---- element formulas ------------------------------------------------------------------------
// Written once for scalars and vectors: arithmetic between a vector and a scalar applies the
// scalar to every lane exactly as the scalar formula would.

// Gaussian: z = (x - mu)/sigma; ((z * -0.5) * z - ln sigma) + (-ln sqrt(2 pi)).
template <typename T, typename X, typename M, typename S>
[[gnu::always_inline]] inline X gaussian_value(X x, M mu, S sigma, T log_sigma) {
  const X z = (x - mu) / sigma;
  return ((z * T(-0.5)) * z - log_sigma) + constants::neg_ln_sqrt_two_pi<T>;
}

// Lognormal inside the support, with l = ln x.
template <typename T, typename X, typename M, typename S, typename L>
[[gnu::always_inline]] inline X lognormal_inside(X l, M mu, S sigma, L log_sigma) {
  const X z = (l - mu) / sigma;
  return (((z * T(-0.5)) * z - l) - log_sigma) + constants::neg_ln_sqrt_two_pi<T>;
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
[[gnu::always_inline]] inline X gumbel_t(X x, M mu, B beta) {
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
  return std::log(s) - std::log(sigma * constants::sqrt_two_pi<T>);
}

// ---- vectorised forward bodies ----------------------------------------------------------------
// Used where the parameters that enter a logarithm hold one value; `run<Bytes>` evaluates a piece
// with lanes of that many bytes and the remainder element by element.

template <typename T, bool MuB>
struct GaussianBody {
  const T* x;
  const T* mu;
  T sigma;
  T* out;

  template <size_t Bytes>
  [[gnu::always_inline]] void run(size_t begin, size_t end) const {
    using S = Simd<T, Bytes>;
    const T* const xs = x;
    const T* const ms = mu;
    T* const os = out;
    const T sg = sigma;
    const T log_sigma = std::log(sg);
    size_t i = begin;
    for (; end - i >= S::width; i += S::width) {
      S::store(os + i, gaussian_value<T>(S::load(xs + i), S::template lanes<MuB>(ms, i), sg,
                                         log_sigma));
    }
    for (; i < end; ++i) os[i] = gaussian_value<T>(xs[i], ms[pick<MuB>(i)], sg, log_sigma);
  }
};

template <typename T, bool MuB>
struct LognormalBody {
  const T* x;
  const T* mu;
  T sigma;
  T* out;

  template <size_t Bytes>
  [[gnu::always_inline]] void run(size_t begin, size_t end) const {
    using S = Simd<T, Bytes>;
    using V = typename S::V;
    const T* const xs = x;
    const T* const ms = mu;
    T* const os = out;
    const T sg = sigma;
    const T log_sigma = std::log(sg);
    const V outside = S::splat(-kInf<T>);
    size_t i = begin;
    for (; end - i >= S::width; i += S::width) {
      const V xv = S::load(xs + i);
      V l;
      for (size_t k = 0; k < S::width; ++k) l[k] = std::log(xv[k]);
      const V inside = lognormal_inside<T>(l, S::template lanes<MuB>(ms, i), sg, log_sigma);
      S::store(os + i, xv <= T(0) ? outside : inside);
    }
    for (; i < end; ++i) os[i] = lognormal_value<T>(xs[i], ms[pick<MuB>(i)], sg, log_sigma);
  }
};

template <typename T>
struct ExponentialBody {
  const T* x;
  T r;
  T* out;

  template <size_t Bytes>
  [[gnu::always_inline]] void run(size_t begin, size_t end) const {
    using S = Simd<T, Bytes>;
    using V = typename S::V;
    const T* const xs = x;
    T* const os = out;
    const T rate = r;
    const T log_r = std::log(rate);
    const V outside = S::splat(-kInf<T>);
    size_t i = begin;
    for (; end - i >= S::width; i += S::width) {
      const V xv = S::load(xs + i);
      S::store(os + i, xv < T(0) ? outside : log_r - xv * rate);
    }
    for (; i < end; ++i) os[i] = exponential_value<T>(xs[i], rate, log_r);
  }
};

template <typename T>
struct UniformBody {
  const T* x;
  T a;
  T b;
  T* out;

  template <size_t Bytes>
  [[gnu::always_inline]] void run(size_t begin, size_t end) const {
    using S = Simd<T, Bytes>;
    using V = typename S::V;
    const T* const xs = x;
    T* const os = out;
    const T lo = a;
    const T hi = b;
    const T neg_log_width = -std::log(hi - lo);
    const V outside = S::splat(-kInf<T>);
    const V inside = S::splat(neg_log_width);
    size_t i = begin;
    for (; end - i >= S::width; i += S::width) {
      const V xv = S::load(xs + i);
      S::store(os + i, ((xv < lo) | (xv > hi)) ? outside : inside);
    }
    for (; i < end; ++i) os[i] = uniform_value<T>(xs[i], lo, hi, neg_log_width);
  }
};

// Gumbel with one location: t for two (64-bit) or four (32-bit) elements at a time; exp stays a
// per-element call, and ln beta is taken once when the scale holds one value too.
template <typename T, bool BetaB>
struct GumbelBody {
  const T* x;
  T mu;
  const T* beta;
  T* out;

  void run(size_t begin, size_t end) const {
    using S = Simd<T, 16>;
    using V = typename S::V;
    const T* const xs = x;
    const T* const bs = beta;
    T* const os = out;
    const T m = mu;
    const T log_beta0 = BetaB ? std::log(bs[0]) : T(0);
    size_t i = begin;
    for (; end - i >= S::width; i += S::width) {
      const V bv = S::template lanes<BetaB>(bs, i);
      const V t = gumbel_t(S::load(xs + i), m, bv);
      V e;
      V lb;
      for (size_t k = 0; k < S::width; ++k) {
        e[k] = std::exp(t[k]);
        lb[k] = BetaB ? log_beta0 : std::log(bv[k]);
      }
      S::store(os + i, (t - e) - lb);
    }
    for (; i < end; ++i) {
      const T b = bs[pick<BetaB>(i)];
      os[i] = gumbel_value<T>(xs[i], m, b, BetaB ? log_beta0 : std::log(b));
    }
  }
};

// Gamma forward: the logarithms of a block of observations are taken one after another (they
// are independent calls that overlap), then the rest of the formula runs in lanes.
template <typename T, bool AlphaB, bool BetaB>
struct GammaBody {
  const T* x;
  const T* alpha;
  const T* beta;
  T* out;
  const Hoisted<T>* ln_gamma_alpha;
  const Hoisted<T>* log_beta;

  template <size_t Bytes>
  [[gnu::always_inline]] void run(size_t begin, size_t end) const {
    using S = Simd<T, Bytes>;
    using V = typename S::V;
    const T* const xs = x;
    const T* const as = alpha;
    const T* const bs = beta;
    T* const os = out;
    const Hoisted<T>& lg = *ln_gamma_alpha;
    const Hoisted<T>& lb = *log_beta;
    const V outside = S::splat(-kInf<T>);
    size_t i = begin;
    for (; end - i >= S::width; i += S::width) {
      const V xv = S::load(xs + i);
      const V av = S::template lanes<AlphaB>(as, i);
      const V bv = S::template lanes<BetaB>(bs, i);
      V lx;
      V lgv;
      V lbv;
      for (size_t k = 0; k < S::width; ++k) {
        lx[k] = std::log(xv[k]);
        lgv[k] = lg(av[k]);
        lbv[k] = lb(bv[k]);
      }
      const V inside = (((av - T(1)) * lx + av * lbv) - bv * xv) - lgv;
      S::store(os + i, xv <= T(0) ? outside : inside);
    }
    for (; i < end; ++i) {
      const T xi = xs[i];
      const T a = as[pick<AlphaB>(i)];
      const T b = bs[pick<BetaB>(i)];
      os[i] = xi <= T(0) ? -kInf<T> : (((a - T(1)) * std::log(xi) + a * lb(b)) - b * xi) - lg(a);
    }
  }
};

// ---- gradient factors ----------------------------------------------------------------------
// For vector_gradient (lanes.hpp): the factors of an element, in lanes and one at a time, by the
// same formula.

// Gaussian: z = (x - mu)/sigma; (-z)/sigma, z/sigma, (z z - 1)/sigma.
template <typename T>
struct GaussianFactors {
  template <typename X, typename M, typename S>
  [[gnu::always_inline]] static std::array<X, 3> formula(X x, M mu, S sigma) {
    const X z = (x - mu) / sigma;
    return {(-z) / sigma, z / sigma, (z * z - T(1)) / sigma};
  }
  template <typename S>
  [[gnu::always_inline]] auto lanes(typename S::V x, typename S::V mu, typename S::V sigma) const {
    return formula(x, mu, sigma);
  }
  std::array<T, 3> scalar(T x, T mu, T sigma) const { return formula(x, mu, sigma); }
};

// Gamma: zero factors for x <= 0; else (alpha - 1)/x - beta, (ln beta + ln x) - digamma(alpha),
// alpha/beta - x. The logarithms and digamma are per-lane calls.
template <typename T>
struct GammaFactors {
  Hoisted<T> digamma_alpha;
  Hoisted<T> log_beta;

  template <typename S>
  [[gnu::always_inline]] auto lanes(typename S::V x, typename S::V alpha,
                                    typename S::V beta) const {
    using V = typename S::V;
    V lx;
    V dg;
    V lb;
    for (size_t k = 0; k < S::width; ++k) {
      lx[k] = std::log(x[k]);
      dg[k] = digamma_alpha(alpha[k]);
      lb[k] = log_beta(beta[k]);
    }
    const V zero = S::splat(T(0));
    const auto outside = x <= T(0);
    return std::array<V, 3>{outside ? zero : (alpha - T(1)) / x - beta,
                            outside ? zero : (lb + lx) - dg, outside ? zero : alpha / beta - x};
  }
  std::array<T, 3> scalar(T x, T alpha, T beta) const {
    if (x <= T(0)) return {T(0), T(0), T(0)};
    return {(alpha - T(1)) / x - beta, (log_beta(beta) + std::log(x)) - digamma_alpha(alpha),
            alpha / beta - x};
  }
};

}  // namespace mirelon::density::logp
