// Log-densities of the univariate distributions and their gradients.
//
// Every family is one per-element formula evaluated in a fixed order and grouping; the 32-bit
// copies run the same steps in single precision, except that the special functions (64-bit only)
// are evaluated on the widened argument and rounded once.
//
// Speed without changing a bit of any result:
// - Where parameters hold one value, several loops evaluate a few elements per step in vector
//   lanes (AVX2 when the processor has it, else SSE2; see cpu.hpp). Lanes run the same IEEE operations in the
//   same order as the scalar formula (no contraction, no approximate functions); elementary and
//   special functions of per-element values stay scalar calls, one per lane.
// - A logarithm or special function of a one-value parameter is the same for every element and
//   is evaluated once.
// - Gradient sums into a one-value parameter are still formed in increasing index order.
#include <math.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#include "constants.hpp"
#include "cpu.hpp"
#include "density/special.hpp"
#include "density/univariate.hpp"
#include "targets.hpp"

// The 32-byte lane type only ever lives inside inlined code of the AVX2 loops; no function with
// such a parameter or result crosses a call boundary.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace mirelon {
namespace density::logp_detail {

template <typename T>
constexpr T kInf = std::numeric_limits<T>::infinity();

// ---- short vectors ---------------------------------------------------------------------------

// Lanes of Bytes bytes: 16 (SSE2, every x86-64 processor) or 32 (AVX2).
template <typename T, size_t Bytes>
struct Simd {
  static constexpr size_t width = Bytes / sizeof(T);
  typedef T V __attribute__((vector_size(Bytes)));

  [[gnu::always_inline]] static V load(const T* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  [[gnu::always_inline]] static void store(T* p, V v) { std::memcpy(p, &v, sizeof v); }
  [[gnu::always_inline]] static V splat(T a) {
    V v;
    for (size_t k = 0; k < width; ++k) v[k] = a;
    return v;
  }
  // A parameter's lanes for elements i … i + width - 1: its single value or its own elements.
  template <bool Broadcast>
  [[gnu::always_inline]] static V lanes(const T* p, size_t i) {
    if constexpr (Broadcast) {
      return splat(p[0]);
    } else {
      return load(p + i);
    }
  }
};

template <bool B>
inline size_t pick(size_t i) {
  return B ? 0 : i;
}

// The widest lanes the loops here have. The bodies of the levels above perform the same
// operations, so those levels run the AVX2 body.
inline constexpr cpu::Level kWidestLanes = cpu::Level::avx2;

// body.template run<Bytes>(args...) compiled for one level: 16-byte lanes for the portable level,
// 32-byte lanes for AVX2. Both run the same IEEE operations per lane (no contraction), so they
// agree bit for bit.
template <typename Body, typename... Args>
void run_portable(const Body& body, Args... args) {
  body.template run<16>(args...);
}

template <typename Body, typename... Args>
[[gnu::target("avx2")]] void run_avx2(const Body& body, Args... args) {
  body.template run<32>(args...);
}

template <cpu::Level L, typename Body, typename... Args>
[[gnu::always_inline]] inline void run_lanes(const Body& body, Args... args) {
  static_assert(L <= kWidestLanes);
  if constexpr (L == cpu::Level::avx2) {
    run_avx2(body, args...);
  } else {
    run_portable(body, args...);
  }
}

// The vectorised forward loop: body over pieces of [0, n) on the pool, at the level active when
// the call starts.
template <typename Body>
void vector_forward(size_t n, const Body& body) {
  cpu::dispatch<kWidestLanes>([&]<cpu::Level L>() {
    pool::parallel_for(n, [&](size_t begin, size_t end) { run_lanes<L>(body, begin, end); });
  });
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
      S::store(os + i, (xv < lo) | (xv > hi) ? outside : inside);
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

// ---- vectorised gradients -------------------------------------------------------------------
// The factors of a block of elements are computed in lanes; dx is stored per lane and the
// parameter terms are added in increasing index order, exactly as the element-wise loop adds
// them (a one-value parameter's sum is carried in a register and stored once at the end).
// `Factors` gives the per-element factors twice, for lanes and for one element, by the same
// formula.

template <typename T, bool B1, bool B2, typename Factors>
struct GradientBody {
  const T* x;
  const T* p1;
  const T* p2;
  const T* g;
  T* dx;
  T* dp1;
  T* dp2;
  size_t n;
  Factors factors;

  // The whole of [0, n), on the calling thread.
  template <size_t Bytes>
  [[gnu::always_inline]] void run() const {
    using S = Simd<T, Bytes>;
    using V = typename S::V;
    const T* const xs = x;
    const T* const as = p1;
    const T* const bs = p2;
    const T* const gs = g;
    T* const dxs = dx;
    T* const d1 = dp1;
    T* const d2 = dp2;
    T acc1 = B1 ? d1[0] : T(0);
    T acc2 = B2 ? d2[0] : T(0);
    size_t i = 0;
    for (; n - i >= S::width; i += S::width) {
      const auto t = factors.template lanes<S>(S::load(xs + i), S::template lanes<B1>(as, i),
                                               S::template lanes<B2>(bs, i));
      const V gv = S::load(gs + i);
      S::store(dxs + i, t[0] * gv);
      const V q1 = t[1] * gv;
      const V q2 = t[2] * gv;
      if constexpr (B1) {
        for (size_t k = 0; k < S::width; ++k) acc1 = acc1 + q1[k];
      } else {
        S::store(d1 + i, S::load(d1 + i) + q1);
      }
      if constexpr (B2) {
        for (size_t k = 0; k < S::width; ++k) acc2 = acc2 + q2[k];
      } else {
        S::store(d2 + i, S::load(d2 + i) + q2);
      }
    }
    for (; i < n; ++i) {
      const std::array<T, 3> t = factors.scalar(xs[i], as[pick<B1>(i)], bs[pick<B2>(i)]);
      const T gi = gs[i];
      dxs[i] = t[0] * gi;
      if constexpr (B1) acc1 = acc1 + t[1] * gi;
      else d1[i] = d1[i] + t[1] * gi;
      if constexpr (B2) acc2 = acc2 + t[2] * gi;
      else d2[i] = d2[i] + t[2] * gi;
    }
    if constexpr (B1) d1[0] = acc1;
    if constexpr (B2) d2[0] = acc2;
  }
};

// Runs a two-parameter gradient after the frame's checks and zero fill, on the calling thread.
template <typename T, typename Factors>
void vector_gradient(const GradientCall<T, 2>& c, const Factors& factors) {
  if (c.n == 0) return;
  cpu::dispatch<kWidestLanes>([&]<cpu::Level L>() {
    dispatch2(c.p[0].broadcast(), c.p[1].broadcast(), [&]<bool B1, bool B2>() {
      run_lanes<L>(GradientBody<T, B1, B2, Factors>{c.x, c.p[0].data, c.p[1].data, c.g, c.dx,
                                                    c.dp[0].data, c.dp[1].data, c.n, factors});
    });
  });
}

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

// A function of one parameter's value: evaluated once when the parameter holds one value (the
// same for every element), else per element.
template <typename T>
class Hoisted {
 public:
  template <typename F>
  Hoisted(const Param<T>& p, F f) : fn_(f), shared_(p.broadcast()) {
    if (shared_) value_ = f(p.data[0]);
  }
  T operator()(T v) const { return shared_ ? value_ : fn_(v); }

 private:
  T (*fn_)(T);
  bool shared_;
  T value_ = T(0);
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

}  // namespace density::logp_detail

using density::ForwardCall;
using density::univariate_forward;
using density::univariate_gradient;
namespace lp = density::logp_detail;

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
  lp::vector_gradient(c, lp::GaussianFactors<T>{});
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
    lp::vector_forward(c.n, lp::ExponentialBody<T>{c.x, c.p[0].data[0], c.out});
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
    lp::vector_forward(c.n, lp::UniformBody<T>{c.x, c.p[0].data[0], c.p[1].data[0], c.out});
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
  const lp::Hoisted<T> dg_a(c.p[0], digamma_t);
  const lp::Hoisted<T> dg_b(c.p[1], digamma_t);
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
  const lp::Hoisted<T> lg(c.p[0], [](T a) { return eval_in_double<T>(density::ln_gamma, a); });
  const lp::Hoisted<T> lb(c.p[1], [](T b) { return std::log(b); });
  lp::dispatch2(c.p[0].broadcast(), c.p[1].broadcast(), [&]<bool AlphaB, bool BetaB>() {
    lp::vector_forward(c.n, lp::GammaBody<T, AlphaB, BetaB>{c.x, c.p[0].data, c.p[1].data, c.out,
                                                             &lg, &lb});
  });
}

template <typename T>
void logp_gamma_vjp(KernelResult& result, const KernelBuffer* inputs, size_t,
                    const KernelBuffer* outputs, size_t) {
  density::GradientCall<T, 2> c;
  if (!density::check_gradient(result, inputs, outputs, c)) return;
  lp::vector_gradient(
      c, lp::GammaFactors<T>{
             lp::Hoisted<T>(c.p[0], [](T a) { return eval_in_double<T>(density::digamma, a); }),
             lp::Hoisted<T>(c.p[1], [](T b) { return std::log(b); })});
}

// ---- von Mises ---------------------------------------------------------------------------------

template <typename T>
void logp_vonmises_fwd(KernelResult& result, const KernelBuffer* inputs, size_t,
                       const KernelBuffer* outputs, size_t) {
  ForwardCall<T, 2> c;
  if (!density::check_forward(result, inputs, outputs, c)) return;
  const lp::Hoisted<T> norm(c.p[1], [](T kappa) {
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
  const lp::Hoisted<T> ratio(c.p[1], [](T kappa) {
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
