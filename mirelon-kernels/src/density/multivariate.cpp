// Multivariate and sampling density kernels: the Gaussian kernel density estimate, the mixture,
// histogram, multivariate normal and Gaussian-copula log-densities, the correlation Cholesky
// factor, and von Mises sampling with its backward pass.
//
// The 32-bit copies widen their operands, evaluate in 64-bit and round each stored value once,
// except for the few single-precision steps noted at the kernels (the histogram's bin search and
// bin width, the multivariate normal's x - mu). Loops whose items are independent of one another
// (one query point, row or sample each) run on the pool; every sum over observations stays on one
// thread in index order, so no result depends on the worker count.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "constants.hpp"
#include "cpu.hpp"
#include "density/special.hpp"
#include "kernel.hpp"
#include "numeric.hpp"
#include "param.hpp"
#include "pool.hpp"
#include "targets.hpp"

namespace mirelon {

namespace density::multivariate_detail {

constexpr double kPi = constants::pi<double>;
constexpr double kTwoPi = constants::two_pi<double>;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kLnTwoPi = 1.8378770664093453;

// The last extent of an operand read as a dimension, or nothing when it is negative: a negative
// extent is a malformed shape, not an empty one.
inline std::optional<size_t> dimension_of(const KernelBuffer& b) {
  if (!b.dims.empty() && b.dims.back() < 0) return std::nullopt;
  return last_extent(b);
}

// d(d - 1)/2, the number of correlation parameters of dimension d, or nothing on overflow.
inline std::optional<size_t> pair_count(size_t d) {
  if (d == 0) return size_t{0};
  const auto twice = checked_size(d, d - 1);
  if (!twice) return std::nullopt;
  return *twice / 2;
}

// An operand's elements widened to 64-bit.
template <typename T>
std::vector<double> widened(std::span<const T> v, size_t count) {
  return std::vector<double>(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(count));
}

// Copies a 64-bit accumulator into an output, rounding each value once.
template <typename T>
void store(const std::vector<double>& acc, std::span<T> out) {
  for (size_t k = 0; k < out.size(); ++k) out[k] = static_cast<T>(acc[k]);
}

// ---- kernel density estimate -------------------------------------------------------------------

// Query points are evaluated against the samples in blocks: the exponents of a block are formed
// side by side (vectorisable, the same operations per element), then summed in sample order.
constexpr size_t kKdeBlock = 64;

template <typename T>
double kde_sum(double x, std::span<const T> data, double h) {
  double arg[kKdeBlock];
  double s = 0.0;
  for (size_t j0 = 0; j0 < data.size(); j0 += kKdeBlock) {
    const size_t len = std::min(kKdeBlock, data.size() - j0);
    for (size_t l = 0; l < len; ++l) {
      const double u = (x - static_cast<double>(data[j0 + l])) / h;
      arg[l] = (u * -0.5) * u;
    }
    for (size_t l = 0; l < len; ++l) s = s + std::exp(arg[l]);
  }
  return s;
}

// ---- mixture -----------------------------------------------------------------------------------

// ln of the sum of exp(logw_k): the log-weights' normaliser.
template <typename T>
double log_weight_total(std::span<const T> logw) {
  double m = -kInf;
  for (T w : logw) m = max_ignoring_nan(m, static_cast<double>(w));
  double s = 0.0;
  for (T w : logw) s = s + std::exp(static_cast<double>(w) - m);
  return m + std::log(s);
}

// Row i's a_ik = (L_ik + logw_k) - lse_w.
template <typename T>
double mixture_term(const T* row, std::span<const T> logw, double lse, size_t k) {
  return (static_cast<double>(row[k]) + static_cast<double>(logw[k])) - lse;
}

// The largest a_ik of a row, NaN ignored; -inf when every term is -inf or NaN.
template <typename T>
double mixture_row_max(const T* row, std::span<const T> logw, double lse) {
  double m = -kInf;
  for (size_t k = 0; k < logw.size(); ++k) m = max_ignoring_nan(m, mixture_term(row, logw, lse, k));
  return m;
}

// A row whose largest term is -inf has zero density under every component, unless a term is NaN.
template <typename T>
bool mixture_row_has_nan(const T* row, std::span<const T> logw, double lse) {
  for (size_t k = 0; k < logw.size(); ++k)
    if (std::isnan(mixture_term(row, logw, lse, k))) return true;
  return false;
}

// ---- histogram ---------------------------------------------------------------------------------

// The bin of x among B bins: a bisection over the inner edges e_1 .. e_(B-1) only, so points
// outside the edges take the nearest end bin and a NaN point takes bin 0.
template <typename T>
size_t histogram_bin(T x, const T* edges, size_t bins) {
  if (bins == 1) return 0;
  size_t lo = 0;
  size_t hi = bins;
  for (;;) {
    const size_t mid = lo + (hi - lo) / 2;
    if (x >= edges[mid]) {
      lo = mid;
      if (hi - mid < 2) break;
    } else {
      hi = mid;
      if (mid - lo < 2) break;
    }
  }
  return lo;
}

// ---- multivariate normal -----------------------------------------------------------------------

// z = L^-1 (x - mu) by forward substitution over the lower triangle of L (row-major d x d);
// returns |z|^2. x - mu is formed in the element type, everything after it in 64-bit.
template <typename T, typename LT>
double mvn_forward_solve(const T* x, const T* mu, const LT* L, size_t d, double* z) {
  double q = 0.0;
  for (size_t j = 0; j < d; ++j) {
    double r = static_cast<double>(x[j] - mu[j]);
    const LT* row = L + j * d;
    for (size_t k = 0; k < j; ++k) r = r - static_cast<double>(row[k]) * z[k];
    z[j] = r / static_cast<double>(row[j]);
    q = q + z[j] * z[j];
  }
  return q;
}

// ---- correlation Cholesky factor ---------------------------------------------------------------

// A value with its derivative with respect to one chosen parameter.
struct Dual {
  double v = 0.0;
  double t = 0.0;
};

// The factor of a d x d correlation matrix from the d(d-1)/2 parameters theta (strict lower
// triangle, row by row), as d*d Dual elements in F, row-major; tangents with respect to
// theta[seed], or all 0 without a seed. Row i spends its unit length column by column: each entry
// takes the share tanh(theta) of the square root of what is left, and the diagonal takes the rest,
// floored at 1e-12 before its square root.
void corr_cholesky_dual(const double* theta, size_t d, std::optional<size_t> seed,
                        std::vector<Dual>& F) {
  F.assign(d * d, Dual{});
  for (size_t i = 0; i < d; ++i) F[i * d + i] = Dual{1.0, 0.0};
  size_t t = 0;
  for (size_t i = 1; i < d; ++i) {
    Dual rem{1.0, 0.0};
    for (size_t j = 0; j < i; ++j, ++t) {
      const double xt = seed && *seed == t ? 1.0 : 0.0;
      const double zv = std::tanh(theta[t]);
      const double zt = (1.0 - zv * zv) * xt;
      const double sv = std::sqrt(rem.v);
      const double st = (rem.t * 0.5) / max_ignoring_nan(sv, 1e-150);
      F[i * d + j] = Dual{sv * zv, st * zv + sv * zt};
      const double keep = 1.0 - zv * zv;
      rem.t = rem.t * keep - ((zv + zv) * zt) * rem.v;
      rem.v = rem.v * keep;
    }
    const double diag = std::sqrt(max_ignoring_nan(rem.v, 1e-12));
    F[i * d + i] = Dual{diag, (rem.t * 0.5) / diag};
  }
}

// ---- Gaussian copula ---------------------------------------------------------------------------

// The copula log-density of one row of scores z under the factor F, with the tangent F carries
// (computed only when Tangent is set; the value does not depend on it). w is d elements of scratch.
template <bool Tangent>
Dual copula_logp_dual(const double* z, const Dual* F, size_t d, Dual* w) {
  for (size_t i = 0; i < d; ++i) {
    double sv = z[i];
    double st = 0.0;
    const Dual* row = F + i * d;
    for (size_t k = 0; k < i; ++k) {
      if constexpr (Tangent) st = (st - w[k].v * row[k].t) - row[k].v * w[k].t;
      sv = sv - row[k].v * w[k].v;
    }
    const Dual f = row[i];
    w[i].v = sv / f.v;
    if constexpr (Tangent) w[i].t = (st * f.v - sv * f.t) / (f.v * f.v);
  }
  Dual a, b;
  double s = 0.0;
  for (size_t i = 0; i < d; ++i) {
    const Dual f = F[i * d + i];
    a.v = a.v + w[i].v * w[i].v;
    b.v = b.v + std::log(f.v);
    if constexpr (Tangent) {
      a.t = a.t + (2.0 * w[i].v) * w[i].t;
      b.t = b.t + f.t / f.v;
    }
    s = s + z[i] * z[i];
  }
  return Dual{(a.v - s) * -0.5 - b.v, a.t * -0.5 - b.t};
}

// Normal scores of one row of uniforms, each clamped to [1e-6, 0.999999] (NaN stays NaN), at the
// instruction-set level the kernel read for the call.
template <typename T>
void copula_scores(const T* u, size_t d, double* clamped, double* z, cpu::Level level) {
  for (size_t j = 0; j < d; ++j) {
    const double v = static_cast<double>(u[j]);
    clamped[j] = v < 1e-6 ? 1e-6 : (v > 0.999999 ? 0.999999 : v);
  }
  normal_quantile_many(clamped, z, d, level);
}

// ---- von Mises sampling ------------------------------------------------------------------------

inline double wrap_angle(double a) {
  double m = std::fmod(a + kPi, kTwoPi);
  if (m < 0.0) m = m + kTwoPi;
  return m - kPi;
}

// The sign of an accepted candidate. Given acceptance, u2 is uniform on [0, c e^(1 - c)] whatever
// the angle, so comparing it with the middle of that range gives each sign with probability 1/2,
// independently of the angle; comparing with 1/2 would favour negative angles.
inline double accepted_sign(double u2, double c) {
  if (std::isnan(u2)) return kNaN;
  return u2 >= (0.5 * c) * std::exp(1.0 - c) ? 1.0 : -1.0;
}

// The sampler's angle about the location for one sample: the first of K candidate pairs that
// passes the Best-Fisher acceptance tests, or 0 when none does. Later pairs cannot change it, so
// they are not evaluated.
template <typename T>
double vonmises_angle(const double kappa, const T* u, size_t pairs) {
  const double tau = std::sqrt((kappa * 4.0) * kappa + 1.0) + 1.0;
  const double rho = (tau - std::sqrt(tau + tau)) / (kappa + kappa);
  const double r = (rho * rho + 1.0) / ((rho + rho) + 1e-12);
  for (size_t j = 0; j < pairs; ++j) {
    const double u1 = static_cast<double>(u[2 * j]);
    const double u2 = static_cast<double>(u[2 * j + 1]);
    const double z = std::cos(u1 * kPi);
    const double f = (r * z + 1.0) / ((z + r) + 1e-12);
    const double c = (r - f) * kappa;
    const bool pass = (2.0 - c) * c > u2 ||
                      (std::log(c / max_ignoring_nan(u2, 1e-12)) + 1.0) - c >= 0.0;
    if (pass) {
      const double clamped = f < -1.0 ? -1.0 : (f > 1.0 ? 1.0 : f);
      return accepted_sign(u2, c) * std::acos(clamped);
    }
  }
  return 0.0;
}

// 1 - I1(kappa)/I0(kappa): the power series of I0 and I1 (positive terms) below 30, which lose up
// to about 1e-13 relative to the cancellation in their difference near 30; the asymptotic
// expansions above, with the difference of the two summed term by term, to about 1e-15.
double one_minus_bessel_ratio(double kappa) {
  if (kappa < 30.0) {
    const double q = (kappa * kappa) * 0.25;
    double t0 = 1.0, t1 = kappa * 0.5, s0 = 0.0, s1 = 0.0;
    for (int j = 1; j < 200; ++j) {
      s0 = s0 + t0;
      s1 = s1 + t1;
      if (t0 < 1e-17 * s0) break;
      t0 = t0 * (q / (static_cast<double>(j) * j));
      t1 = t1 * (q / (static_cast<double>(j) * (j + 1)));
    }
    return (s0 - s1) / s0;
  }
  const double z = 8.0 * kappa;
  double p0 = 1.0, diff = 0.0, a0 = 1.0, a1 = 1.0;
  for (int j = 1; j < 60; ++j) {
    const double odd = 2.0 * j - 1.0;
    a0 = a0 * ((odd * odd) / (j * z));
    a1 = a1 * ((odd * odd - 4.0) / (j * z));
    p0 = p0 + a0;
    diff = diff + (a0 - a1);
    if (a0 < 1e-17 * p0) break;
  }
  return diff / p0;
}

// 8-point Gauss-Legendre rule on [a, b].
template <typename F>
double gauss_legendre(F&& f, double a, double b) {
  static constexpr double node[4] = {0.18343464249564978, 0.525532409916329, 0.7966664774136267,
                                     0.9602898564975362};
  static constexpr double weight[4] = {0.36268378337836166, 0.3137066458778869,
                                       0.22238103445337443, 0.10122853629037706};
  const double mid = 0.5 * (a + b);
  const double half = 0.5 * (b - a);
  double s = 0.0;
  for (int l = 0; l < 4; ++l) s = s + weight[l] * (f(mid - half * node[l]) + f(mid + half * node[l]));
  return half * s;
}

// -(dF/dkappa)(x) / f(x) for the von Mises law of location 0: the rate at which a sample moves
// with kappa at a fixed value of its distribution function. The normaliser cancels, leaving
//   q(x) = -integral over [-pi, x] of (cos t - A) exp(kappa (cos t - cos x)) dt,  A = I1/I0.
// q is odd and vanishes at 0 and at +-pi, so it has to be accurate relative to its own size
// there; a fixed rule over the whole circle is not (its rounding and the error of A leave an
// offset that a vanishing q cannot absorb, and wide nodes miss a concentrated density).
//
// It is evaluated at y = -|x| <= 0, where it is the positive integral of |cos t - A| times the
// exponential over whichever side of y keeps cos t - A of one sign: [y, 0] when cos y >= A (the
// integral over [-pi, 0] is 0 by symmetry), [-pi, y] otherwise. cos t - A and the exponent are
// formed from half-angle sines, exact near t = 0, with 1 - A from its series. The outer side is
// split into Gauss-Legendre panels that double in width away from y and end once the exponent is
// below -64; the inner side is one panel, over which the exponent changes by at most about 1/2.
double vonmises_cdf_dkappa(double x, double kappa) {
  if (!(x > -kPi)) return -0.0;  // nothing below -pi; a NaN sample moves by -0 as well
  if (!(x < kPi) || std::isinf(kappa)) return 0.0;
  const double y = -std::fabs(x);
  const double oma = one_minus_bessel_ratio(kappa);
  const double hy = std::sin(0.5 * y);
  const auto exponent = [&](double ht) { return 2.0 * (kappa * ((hy - ht) * (hy + ht))); };
  double v = 0.0;
  if (2.0 * (hy * hy) <= oma) {
    v = gauss_legendre(
        [&](double t) {
          const double ht = std::sin(0.5 * t);
          return (oma - 2.0 * (ht * ht)) * std::exp(exponent(ht));
        },
        y, 0.0);
  } else {
    const auto outer = [&](double t) {
      const double ht = std::sin(0.5 * t);
      return (2.0 * (ht * ht) - oma) * std::exp(exponent(ht));
    };
    double width = 1.0 / (kappa * std::fabs(std::sin(y)) + std::sqrt(kappa));
    double right = y;
    for (int panel = 0; panel < 200 && right > -kPi && width > 0.0; ++panel) {
      const double left = std::max(right - width, -kPi);
      v = v + gauss_legendre(outer, left, right);
      if (exponent(std::sin(0.5 * left)) < -64.0) break;
      right = left;
      width = width + width;
    }
  }
  return x > 0.0 ? -v : v;
}

}  // namespace density::multivariate_detail

using namespace density::multivariate_detail;

// ---- kernel density estimate -------------------------------------------------------------------

template <typename T>
void kde_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out, size_t) {
  const size_t n = element_count(in[0]);
  const size_t m = element_count(in[1]);
  if (element_count(in[2]) != 1 || element_count(out[0]) != n) {
    r.fail("kde shape mismatch");
    return;
  }
  const auto x = input_span<T>(in[0]);
  const auto data = input_span<T>(in[1]);
  const double h = static_cast<double>(input_span<T>(in[2])[0]);
  const auto logp = output_span<T>(out[0]);
  const double c = std::log((static_cast<double>(m) * h) * constants::sqrt_two_pi<double>);
  pool::parallel_for(n, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      const double s = kde_sum(static_cast<double>(x[i]), data, h);
      logp[i] = static_cast<T>(std::log(s + 1e-300) - c);
    }
  });
}

template <typename T>
void kde_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out, size_t) {
  const size_t n = element_count(in[0]);
  const size_t m = element_count(in[1]);
  constexpr const char* kMismatch = "kde vjp shape mismatch";
  if (!check_length(r, in[3], n, kMismatch)) return;
  if (element_count(out[0]) != n || element_count(out[1]) != m) {
    r.fail(kMismatch);
    return;
  }
  if (!check_length_at_least(r, in[2], 1, kMismatch)) return;  // h is its element 0
  const auto x = input_span<T>(in[0]);
  const auto data = input_span<T>(in[1]);
  const auto g = input_span<T>(in[3]);
  const double h = static_cast<double>(input_span<T>(in[2])[0]);
  const auto dx = output_span<T>(out[0]);
  std::vector<double> ddata(m, 0.0);
  for (size_t i = 0; i < n; ++i) {
    const double xi = static_cast<double>(x[i]);
    const double gi = static_cast<double>(g[i]);
    double s = 0.0;
    double t = 0.0;
    for (size_t j = 0; j < m; ++j) {
      const double u = (xi - static_cast<double>(data[j])) / h;
      const double e = std::exp((u * -0.5) * u);
      s = s + e;
      t = t - (u * e) / h;
    }
    s = s + 1e-300;
    dx[i] = static_cast<T>((t * gi) / s);
    for (size_t j = 0; j < m; ++j) {
      const double u = (xi - static_cast<double>(data[j])) / h;
      const double e = std::exp((u * -0.5) * u);
      ddata[j] = ddata[j] + (((e * u) / h) * gi) / s;
    }
  }
  store(ddata, output_span<T>(out[1]));
}

// ---- mixture -----------------------------------------------------------------------------------

template <typename T>
void mixture_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                 size_t) {
  const size_t K = element_count(in[1]);
  const size_t n = element_count(out[0]);
  if (!check_length(r, in[0], checked_size(n, K), "mixture shape mismatch")) return;
  const auto logp = output_span<T>(out[0]);
  if (K == 0) {
    for (T& v : logp) v = -std::numeric_limits<T>::infinity();
    return;
  }
  const auto L = input_span<T>(in[0]);
  const auto logw = input_span<T>(in[1]);
  const double lse = log_weight_total(logw);
  pool::parallel_for(n, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      const T* row = L.data() + i * K;
      const double m = mixture_row_max(row, logw, lse);
      if (m == -kInf) {
        logp[i] = static_cast<T>(mixture_row_has_nan(row, logw, lse) ? kNaN : -kInf);
        continue;
      }
      double t = 0.0;
      for (size_t k = 0; k < K; ++k) t = t + std::exp(mixture_term(row, logw, lse, k) - m);
      logp[i] = static_cast<T>(std::log(t) + m);
    }
  });
}

template <typename T>
void mixture_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                 size_t) {
  const size_t K = element_count(in[1]);
  const size_t n = element_count(in[2]);
  const auto nk = checked_size(n, K);
  if (!nk || element_count(in[0]) != *nk || element_count(out[0]) != *nk ||
      element_count(out[1]) != K) {
    r.fail("mixture vjp shape mismatch");
    return;
  }
  if (K == 0) return;
  const auto L = input_span<T>(in[0]);
  const auto logw = input_span<T>(in[1]);
  const auto g = input_span<T>(in[2]);
  const auto dL = output_span<T>(out[0]);
  const double lse = log_weight_total(logw);
  std::vector<double> p(K), dlogw(K, 0.0), e(K);
  for (size_t k = 0; k < K; ++k) p[k] = std::exp(static_cast<double>(logw[k]) - lse);
  for (size_t i = 0; i < n; ++i) {
    const T* row = L.data() + i * K;
    T* drow = dL.data() + i * K;
    const double gi = static_cast<double>(g[i]);
    const double m = mixture_row_max(row, logw, lse);
    if (m == -kInf && !mixture_row_has_nan(row, logw, lse)) {
      // Zero density under every component: the row's log-density is -inf whatever L and the
      // weights, so its factors are 0.
      for (size_t k = 0; k < K; ++k) {
        drow[k] = static_cast<T>(gi * 0.0);
        dlogw[k] = dlogw[k] + 0.0 * gi;
      }
      continue;
    }
    double s = 0.0;
    for (size_t k = 0; k < K; ++k) {
      e[k] = std::exp(mixture_term(row, logw, lse, k) - m);
      s = s + e[k];
    }
    for (size_t k = 0; k < K; ++k) {
      const double resp = e[k] / s;
      drow[k] = static_cast<T>(gi * resp);
      dlogw[k] = dlogw[k] + (resp - p[k]) * gi;
    }
  }
  store(dlogw, output_span<T>(out[1]));
}

// ---- histogram ---------------------------------------------------------------------------------

template <typename T>
double histogram_total(std::span<const T> w) {
  double total = 0.0;
  for (T v : w) total = total + static_cast<double>(v);
  return total;
}

template <typename T>
void histogram_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                   size_t) {
  const size_t n = element_count(in[0]);
  const size_t B = element_count(in[2]);
  constexpr const char* kMismatch = "histogram shape mismatch";
  if (!check_length(r, in[1], B + 1, kMismatch)) return;
  if (!check_length(r, out[0], n, kMismatch)) return;
  if (n > 0 && B == 0) {  // no bin to place the points in
    r.fail(kMismatch);
    return;
  }
  const auto x = input_span<T>(in[0]);
  const auto edges = input_span<T>(in[1]);
  const auto w = input_span<T>(in[2]);
  const auto logp = output_span<T>(out[0]);
  const double total = histogram_total(w);
  pool::parallel_for(n, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      const size_t b = histogram_bin(x[i], edges.data(), B);
      const double width = static_cast<double>(static_cast<T>(edges[b + 1] - edges[b]));
      logp[i] = static_cast<T>(std::log((static_cast<double>(w[b]) / total) / width + 1e-300));
    }
  });
}

template <typename T>
void histogram_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                   size_t) {
  const size_t n = element_count(in[0]);
  const size_t B = element_count(in[2]);
  constexpr const char* kMismatch = "histogram vjp shape mismatch";
  if (!check_length(r, out[0], B, kMismatch)) return;
  // The points' bins are searched among edges e_1 .. e_(B-1), and each point reads its cotangent.
  if ((n > 0 && B == 0) || element_count(in[3]) < n ||
      (B >= 2 && element_count(in[1]) < B)) {
    r.fail(kMismatch);
    return;
  }
  const auto x = input_span<T>(in[0]);
  const auto edges = input_span<T>(in[1]);
  const auto w = input_span<T>(in[2]);
  const auto g = input_span<T>(in[3]);
  const double total = histogram_total(w);
  std::vector<double> dw(B, 0.0);
  for (size_t i = 0; i < n; ++i) {
    const size_t b = histogram_bin(x[i], edges.data(), B);
    const double gi = static_cast<double>(g[i]);
    dw[b] = dw[b] + gi / max_ignoring_nan(static_cast<double>(w[b]), 1e-300);
    const double share = gi / total;
    for (size_t k = 0; k < B; ++k) dw[k] = dw[k] - share;
  }
  store(dw, output_span<T>(out[0]));
}

// ---- multivariate normal -----------------------------------------------------------------------

template <typename T>
void mvn_logp_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                  size_t) {
  const size_t d = element_count(in[1]);
  const size_t n = element_count(out[0]);
  constexpr const char* kMismatch = "mvn shape mismatch";
  if (!check_length(r, in[2], checked_size(d, d), kMismatch)) return;
  if (!check_length(r, in[0], checked_size(n, d), kMismatch)) return;
  const auto X = input_span<T>(in[0]);
  const auto mu = input_span<T>(in[1]);
  const auto L = input_span<T>(in[2]);
  const auto logp = output_span<T>(out[0]);
  double logdet = 0.0;
  for (size_t j = 0; j < d; ++j) logdet = logdet + std::log(std::fabs(static_cast<double>(L[j * (d + 1)])));
  const double c = (static_cast<double>(d) * 0.5) * kLnTwoPi;
  pool::parallel_for(n, [&](size_t begin, size_t end) {
    std::vector<double> z(d);
    for (size_t i = begin; i < end; ++i) {
      const double q = mvn_forward_solve(X.data() + i * d, mu.data(), L.data(), d, z.data());
      logp[i] = static_cast<T>((q * -0.5 - logdet) - c);
    }
  });
}

template <typename T>
void mvn_logp_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                  size_t) {
  const size_t d = element_count(in[1]);
  const size_t n = element_count(in[3]);
  const auto nd = checked_size(n, d);
  const auto dd = checked_size(d, d);
  constexpr const char* kMismatch = "mvn vjp shape mismatch";
  if (!check_length(r, in[0], nd, kMismatch) || !check_length(r, out[0], nd, kMismatch) ||
      !check_length(r, out[1], d, kMismatch) || !check_length(r, out[2], dd, kMismatch)) {
    return;
  }
  // Only the lower triangle is read, but at its row-major positions up to d*d - 1.
  if (!check_length_at_least(r, in[2], dd, kMismatch)) return;
  zero_fill<T>(out[1]);
  zero_fill<T>(out[2]);
  if (n == 0 || d == 0) return;
  const auto X = input_span<T>(in[0]);
  const auto mu = input_span<T>(in[1]);
  const auto g = input_span<T>(in[3]);
  const auto dX = output_span<T>(out[0]);
  const std::vector<double> L = widened(input_span<T>(in[2]), d * d);
  std::vector<double> dmu(d, 0.0), dL(d * d, 0.0);

  // Rows are taken in blocks. The two solves of a block's rows are independent of one another and
  // run on the pool, each row leaving its z and w g_i in the block buffer; the calling thread then
  // adds the rows to the accumulators in row order, as one row at a time would.
  const size_t block = std::max<size_t>(1, size_t{1 << 14} / d);
  std::vector<double> buf(std::min(block, n) * 2 * d);
  for (size_t i0 = 0; i0 < n; i0 += block) {
    const size_t rows = std::min(block, n - i0);
    pool::parallel_for(rows, [&](size_t begin, size_t end) {
      std::vector<double> w(d);
      for (size_t l = begin; l < end; ++l) {
        const size_t i = i0 + l;
        double* z = buf.data() + l * 2 * d;
        double* wg = z + d;
        mvn_forward_solve(X.data() + i * d, mu.data(), L.data(), d, z);
        for (size_t j = d; j-- > 0;) {  // w = L^-T z
          double s = z[j];
          for (size_t k = j + 1; k < d; ++k) s = s - L[k * d + j] * w[k];
          w[j] = s / L[j * d + j];
        }
        const double gi = static_cast<double>(g[i]);
        T* dx = dX.data() + i * d;
        for (size_t j = 0; j < d; ++j) {
          dx[j] = static_cast<T>(w[j] * (-gi));
          wg[j] = w[j] * gi;
        }
      }
    });
    for (size_t l = 0; l < rows; ++l) {
      const double* z = buf.data() + l * 2 * d;
      const double* wg = z + d;
      const double gi = static_cast<double>(g[i0 + l]);
      for (size_t j = 0; j < d; ++j) dmu[j] = dmu[j] + wg[j];
      for (size_t j = 0; j < d; ++j) {
        double* row = dL.data() + j * d;
        for (size_t k = 0; k <= j; ++k) row[k] = row[k] + wg[j] * z[k];
        row[j] = row[j] - gi / L[j * d + j];
      }
    }
  }
  store(dmu, output_span<T>(out[1]));
  store(dL, output_span<T>(out[2]));
}

// ---- correlation Cholesky factor ---------------------------------------------------------------

template <typename T>
void corr_chol_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                   size_t) {
  const auto d = dimension_of(out[0]);
  const size_t P = element_count(in[0]);
  const auto pairs = d ? pair_count(*d) : std::nullopt;
  if (!d || element_count(out[0]) != checked_size(*d, *d) || pairs != P) {
    r.fail("corr_chol shape mismatch");
    return;
  }
  const std::vector<double> theta = widened(input_span<T>(in[0]), P);
  std::vector<Dual> F;
  corr_cholesky_dual(theta.data(), *d, std::nullopt, F);
  const auto L = output_span<T>(out[0]);
  for (size_t m = 0; m < L.size(); ++m) L[m] = static_cast<T>(F[m].v);
}

template <typename T>
void corr_chol_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                   size_t) {
  const auto d = dimension_of(in[1]);
  const size_t P = element_count(in[0]);
  constexpr const char* kMismatch = "corr_chol vjp shape mismatch";
  if (!d || element_count(in[1]) != checked_size(*d, *d)) {
    r.fail(kMismatch);
    return;
  }
  if (element_count(out[0]) != P || pair_count(*d) != P) {
    r.fail(kMismatch);
    return;
  }
  if (P == 0) return;
  const std::vector<double> theta = widened(input_span<T>(in[0]), P);
  const auto G = input_span<T>(in[1]);
  const auto dtheta = output_span<T>(out[0]);
  std::vector<Dual> F;
  for (size_t k = 0; k < P; ++k) {
    corr_cholesky_dual(theta.data(), *d, k, F);
    double s = 0.0;
    for (size_t m = 0; m < F.size(); ++m) s = s + static_cast<double>(G[m]) * F[m].t;
    dtheta[k] = static_cast<T>(s);
  }
}

// ---- Gaussian copula ---------------------------------------------------------------------------

// The first checks of both copula kernels: a dimension that is not negative and whose d x d factor
// size fits in 64 bits, and U of n rows of it.
std::optional<size_t> copula_dimension(KernelResult& r, const KernelBuffer* in, size_t n,
                                       const char* text) {
  const auto d = dimension_of(in[0]);
  if (!d || !checked_size(*d, *d)) {
    r.fail(text);
    return std::nullopt;
  }
  if (!check_length(r, in[0], checked_size(n, *d), text)) return std::nullopt;
  return d;
}

template <typename T>
void copula_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                size_t) {
  constexpr const char* kMismatch = "copula shape mismatch";
  const size_t n = element_count(out[0]);
  const auto dim = copula_dimension(r, in, n, kMismatch);
  if (!dim) return;
  const size_t d = *dim;
  const auto pairs = pair_count(d);
  if (!check_length_at_least(r, in[1], pairs, kMismatch)) return;
  const std::vector<double> theta = widened(input_span<T>(in[1]), *pairs);
  std::vector<Dual> F;
  corr_cholesky_dual(theta.data(), d, std::nullopt, F);
  const auto U = input_span<T>(in[0]);
  const auto logc = output_span<T>(out[0]);
  const cpu::Level level = cpu::active();
  pool::parallel_for(n, [&](size_t begin, size_t end) {
    std::vector<double> clamped(d), z(d);
    std::vector<Dual> w(d);
    for (size_t i = begin; i < end; ++i) {
      copula_scores(U.data() + i * d, d, clamped.data(), z.data(), level);
      logc[i] = static_cast<T>(copula_logp_dual<false>(z.data(), F.data(), d, w.data()).v);
    }
  });
}

template <typename T>
void copula_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                size_t) {
  constexpr const char* kMismatch = "copula vjp shape mismatch";
  const size_t n = element_count(in[2]);
  const size_t P = element_count(in[1]);
  const auto dim = copula_dimension(r, in, n, kMismatch);
  if (!dim) return;
  const size_t d = *dim;
  if (!check_length(r, out[0], checked_size(n, d), kMismatch)) return;
  if (!check_length(r, out[1], P, kMismatch)) return;
  if (!check_length_at_least(r, in[1], pair_count(d), kMismatch)) return;
  const std::vector<double> theta = widened(input_span<T>(in[1]), P);
  const auto U = input_span<T>(in[0]);
  const auto g = input_span<T>(in[2]);
  const auto dU = output_span<T>(out[0]);
  std::vector<Dual> F;
  corr_cholesky_dual(theta.data(), d, std::nullopt, F);
  std::vector<double> dtheta(P, 0.0);
  const cpu::Level level = cpu::active();

  // A seeded factor depends only on theta and its parameter, so rows are taken in blocks: the
  // block's scores are computed once, then every parameter builds its factor once per block and
  // adds the block's rows to its own accumulator in row order. Parameters are independent of one
  // another and run on the pool.
  const size_t block = std::max<size_t>(1, size_t{1 << 16} / std::max<size_t>(d, 1));
  std::vector<double> z(std::min(block, n) * d), clamped(d), w(d), v(d);
  for (size_t i0 = 0; i0 < n; i0 += block) {
    const size_t rows = std::min(block, n - i0);
    for (size_t l = 0; l < rows; ++l) {
      const size_t i = i0 + l;
      double* zr = z.data() + l * d;
      copula_scores(U.data() + i * d, d, clamped.data(), zr, level);
      for (size_t j = 0; j < d; ++j) {  // F w = z
        double s = zr[j];
        for (size_t k = 0; k < j; ++k) s = s - F[j * d + k].v * w[k];
        w[j] = s / F[j * d + j].v;
      }
      for (size_t j = d; j-- > 0;) {  // F^T v = w, so v = R^-1 z
        double s = w[j];
        for (size_t k = j + 1; k < d; ++k) s = s - F[k * d + j].v * v[k];
        v[j] = s / F[j * d + j].v;
      }
      const double gi = static_cast<double>(g[i]);
      for (size_t j = 0; j < d; ++j) {
        const double phi = std::exp((zr[j] * -0.5) * zr[j] + constants::neg_ln_sqrt_two_pi<double>);
        dU[i * d + j] = static_cast<T>(((-(v[j] - zr[j])) * gi) / max_ignoring_nan(phi, 1e-300));
      }
    }
    pool::parallel_for(P, [&](size_t begin, size_t end) {
      std::vector<Dual> Fk, wk(d);
      for (size_t k = begin; k < end; ++k) {
        corr_cholesky_dual(theta.data(), d, k, Fk);
        for (size_t l = 0; l < rows; ++l) {
          const double t = copula_logp_dual<true>(z.data() + l * d, Fk.data(), d, wk.data()).t;
          dtheta[k] = t * static_cast<double>(g[i0 + l]) + dtheta[k];
        }
      }
    });
  }
  store(dtheta, output_span<T>(out[1]));
}

// ---- von Mises sampling ------------------------------------------------------------------------

template <typename T>
void vonmises_sample(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                     size_t) {
  const size_t n = element_count(out[0]);
  const size_t count_u = element_count(in[0]);
  if (n == 0 ? count_u != 0 : count_u % (2 * n) != 0) {
    r.fail("vonmises sampler uniform-buffer mismatch");
    return;
  }
  if (!check_operand_length(r, in[1], n, LengthRule::one_or_at_least, "mu") ||
      !check_operand_length(r, in[2], n, LengthRule::one_or_at_least, "kappa")) {
    return;
  }
  const size_t pairs = count_u / (2 * std::max<size_t>(n, 1));
  const auto u = input_span<T>(in[0]);
  const auto mu = Param<T>::of(in[1]);
  const auto kappa = Param<T>::of(in[2]);
  const auto theta = output_span<T>(out[0]);
  pool::parallel_for(n, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      const double k = max_ignoring_nan(static_cast<double>(kappa[i]), 1e-6);
      const double angle = vonmises_angle(k, u.data() + i * 2 * pairs, pairs);
      theta[i] = static_cast<T>(wrap_angle(angle + static_cast<double>(mu[i])));
    }
  });
}

template <typename T>
void vonmises_sample_bwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                         size_t) {
  const size_t n = element_count(in[2]);
  if (!check_length(r, in[3], n, "vonmises_sample_bwd: cotangent length mismatch")) return;
  constexpr auto kRule = LengthRule::one_or_at_least;
  if (!check_operand_length(r, in[0], n, kRule, "mu") ||
      !check_operand_length(r, in[1], n, kRule, "kappa") ||
      !check_operand_length(r, out[0], n, kRule, "dmu") ||
      !check_operand_length(r, out[1], n, kRule, "dkappa")) {
    return;
  }
  const auto mu = Param<T>::of(in[0]);
  const auto kappa = Param<T>::of(in[1]);
  const auto x = input_span<T>(in[2]);
  const auto g = input_span<T>(in[3]);
  std::vector<double> dmu(element_count(out[0]), 0.0), dkappa(element_count(out[1]), 0.0);
  const size_t mu_stride = dmu.size() == 1 ? 0 : 1;
  const size_t kappa_stride = dkappa.size() == 1 ? 0 : 1;
  for (size_t i = 0; i < n; ++i) {
    const double k = max_ignoring_nan(static_cast<double>(kappa[i]), 1e-6);
    const double d = wrap_angle(static_cast<double>(x[i]) - static_cast<double>(mu[i]));
    const double q = vonmises_cdf_dkappa(d, k);
    const double gi = static_cast<double>(g[i]);
    dmu[i * mu_stride] = dmu[i * mu_stride] + gi;
    dkappa[i * kappa_stride] = dkappa[i * kappa_stride] + q * gi;
  }
  store(dmu, output_span<T>(out[0]));
  store(dkappa, output_span<T>(out[1]));
}

MIRELON_INSTANTIATE_KERNEL(kde_fwd);
MIRELON_INSTANTIATE_KERNEL(kde_vjp);
MIRELON_INSTANTIATE_KERNEL(mixture_fwd);
MIRELON_INSTANTIATE_KERNEL(mixture_vjp);
MIRELON_INSTANTIATE_KERNEL(histogram_fwd);
MIRELON_INSTANTIATE_KERNEL(histogram_vjp);
MIRELON_INSTANTIATE_KERNEL(mvn_logp_fwd);
MIRELON_INSTANTIATE_KERNEL(mvn_logp_vjp);
MIRELON_INSTANTIATE_KERNEL(corr_chol_fwd);
MIRELON_INSTANTIATE_KERNEL(corr_chol_vjp);
MIRELON_INSTANTIATE_KERNEL(copula_fwd);
MIRELON_INSTANTIATE_KERNEL(copula_vjp);
MIRELON_INSTANTIATE_KERNEL(vonmises_sample);
MIRELON_INSTANTIATE_KERNEL(vonmises_sample_bwd);

}  // namespace mirelon
