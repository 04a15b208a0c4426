// Distribution functions of the gaussian, lognormal, exponential, uniform, weibull and gumbel
// distributions with their gradients, on the univariate frame. Each formula is written in the
// grouping it is evaluated in; the 32-bit copies run in single precision except where a step is
// explicitly widened to 64-bit (the gaussian and lognormal erfc and density factors).
#include <array>
#include <cmath>

#include "constants.hpp"
#include "density/lanes.hpp"
#include "density/special.hpp"
#include "density/univariate.hpp"
#include "targets.hpp"

namespace mirelon {

namespace density::cdf_detail {

using namespace density;

// Forward loop of the erfc families. arg(x, p1, p2, a) stores the erfc argument of an
// observation in a and returns true, or returns false when the value is 0 without erfc. The
// arguments of a block of observations are formed first and erfc runs over them side by side;
// every value is bit for bit that of the one-at-a-time formula.
template <typename T, typename Arg>
void erfc_forward(KernelResult& r, const KernelBuffer* in, const KernelBuffer* out, Arg arg) {
  ForwardCall<T, 2> c;
  if (!check_forward(r, in, out, c)) return;
  const cpu::Level level = cpu::active();
  pool::parallel_for(c.n, [&](size_t begin, size_t end) {
    double a[kManyBlock];
    double e[kManyBlock];
    bool used[kManyBlock];
    for (size_t i0 = begin; i0 < end; i0 += kManyBlock) {
      const size_t m = end - i0 < kManyBlock ? end - i0 : kManyBlock;
      for (size_t l = 0; l < m; ++l) {
        const size_t i = i0 + l;
        a[l] = 0.0;
        used[l] = arg(c.x[i], c.p[0][i], c.p[1][i], a[l]);
      }
      erfc_many(a, e, m, level);
      for (size_t l = 0; l < m; ++l) c.out[i0 + l] = used[l] ? static_cast<T>(e[l] * 0.5) : T(0);
    }
  });
}

// Gaussian: z = (x - mu)/sigma, pdf = phi(z)/sigma; pdf, -pdf, z * (-pdf). The density is a
// per-element call (exp in 64-bit); the rest runs in lanes.
template <typename T>
struct GaussianFactors {
  template <typename Z>
  [[gnu::always_inline]] static std::array<Z, 3> formula(Z z, Z nd, Z sigma) {
    const Z pdf = nd / sigma;
    return {pdf, -pdf, z * (-pdf)};
  }
  template <typename S>
  [[gnu::always_inline]] auto lanes(typename S::V x, typename S::V mu, typename S::V sigma) const {
    using V = typename S::V;
    const V z = (x - mu) / sigma;
    V nd;
    for (size_t k = 0; k < S::width; ++k) nd[k] = normal_density(z[k]);
    return formula(z, nd, sigma);
  }
  std::array<T, 3> scalar(T x, T mu, T sigma) const {
    const T z = (x - mu) / sigma;
    return formula(z, normal_density(z), sigma);
  }
};

}  // namespace density::cdf_detail

using density::univariate_forward;
using density::univariate_gradient;
using namespace density::cdf_detail;

template <typename T>
void cdf_gaussian_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                      size_t) {
  erfc_forward<T>(r, in, out, [](T x, T mu, T sigma, double& a) {
    const T z = (x - mu) / sigma;
    a = static_cast<double>(z) * constants::neg_inv_sqrt2<double>;
    return true;
  });
}

template <typename T>
void cdf_gaussian_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                      size_t) {
  density::GradientCall<T, 2> c;
  if (!density::check_gradient(r, in, out, c)) return;
  density::vector_gradient(c, GaussianFactors<T>{});
}

template <typename T>
void cdf_lognormal_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                       size_t) {
  erfc_forward<T>(r, in, out, [](T x, T mu, T sigma, double& a) {
    if (T(0) >= x) return false;
    const T z = (std::log(x) - mu) / sigma;
    a = static_cast<double>(z) * constants::neg_inv_sqrt2<double>;
    return true;
  });
}

template <typename T>
void cdf_lognormal_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                       size_t) {
  univariate_gradient<T, 2>(r, in, out, [](T x, T mu, T sigma) {
    if (T(0) >= x) return std::array<T, 3>{T(0), T(0), T(0)};
    const T z = (std::log(x) - mu) / sigma;
    const T phi = normal_density(z);
    const T b_mu = (-phi) / sigma;
    return std::array<T, 3>{phi / (x * sigma), b_mu, b_mu * z};
  });
}

template <typename T>
void cdf_exponential_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                         size_t) {
  univariate_forward<T, 1>(r, in, out, [](T x, T rate) {
    const T xp = x > T(0) ? x : T(0);
    return T(1) - std::exp((-rate) * xp);
  });
}

template <typename T>
void cdf_exponential_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                         size_t) {
  univariate_gradient<T, 1>(r, in, out, [](T x, T rate) {
    if (T(0) >= x) return std::array<T, 2>{T(0), T(0)};
    const T e = std::exp((-rate) * x);
    return std::array<T, 2>{rate * e, x * e};
  });
}

template <typename T>
void cdf_uniform_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                     size_t) {
  univariate_forward<T, 2>(r, in, out, [](T x, T low, T high) {
    const T t = (x - low) / (high - low);
    const T t1 = t > T(0) ? t : T(0);
    return t1 < T(1) ? t1 : T(1);
  });
}

template <typename T>
void cdf_uniform_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                     size_t) {
  univariate_gradient<T, 2>(r, in, out, [](T x, T low, T high) {
    if (low >= x || x >= high) return std::array<T, 3>{T(0), T(0), T(0)};
    const T w = high - low;
    return std::array<T, 3>{T(1) / w, (x - high) / (w * w), (low - x) / (w * w)};
  });
}

template <typename T>
void cdf_weibull_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                     size_t) {
  univariate_forward<T, 2>(r, in, out, [](T x, T lambda, T k) {
    const T xp = x > T(0) ? x : T(0);
    return T(1) - std::exp(-std::pow(xp / lambda, k));
  });
}

template <typename T>
void cdf_weibull_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                     size_t) {
  univariate_gradient<T, 2>(r, in, out, [](T x, T lambda, T k) {
    if (T(0) >= x) return std::array<T, 3>{T(0), T(0), T(0)};
    const T u = x / lambda;
    const T rp = std::pow(u, k);
    const T e = std::exp(-rp);
    const T rek = rp * (e * k);
    return std::array<T, 3>{rek / x, -(rek / lambda), std::log(u) * (rp * e)};
  });
}

template <typename T>
void cdf_gumbel_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                    size_t) {
  univariate_forward<T, 2>(r, in, out, [](T x, T mu, T beta) {
    return std::exp(-std::exp((-(x - mu)) / beta));
  });
}

template <typename T>
void cdf_gumbel_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                    size_t) {
  univariate_gradient<T, 2>(r, in, out, [](T x, T mu, T beta) {
    const T z = (x - mu) / beta;
    const T e = std::exp(-z);
    const T pdf = (std::exp(-e) * e) / beta;
    return std::array<T, 3>{pdf, -pdf, z * (-pdf)};
  });
}

MIRELON_INSTANTIATE_KERNEL(cdf_gaussian_fwd);
MIRELON_INSTANTIATE_KERNEL(cdf_gaussian_vjp);
MIRELON_INSTANTIATE_KERNEL(cdf_lognormal_fwd);
MIRELON_INSTANTIATE_KERNEL(cdf_lognormal_vjp);
MIRELON_INSTANTIATE_KERNEL(cdf_exponential_fwd);
MIRELON_INSTANTIATE_KERNEL(cdf_exponential_vjp);
MIRELON_INSTANTIATE_KERNEL(cdf_uniform_fwd);
MIRELON_INSTANTIATE_KERNEL(cdf_uniform_vjp);
MIRELON_INSTANTIATE_KERNEL(cdf_weibull_fwd);
MIRELON_INSTANTIATE_KERNEL(cdf_weibull_vjp);
MIRELON_INSTANTIATE_KERNEL(cdf_gumbel_fwd);
MIRELON_INSTANTIATE_KERNEL(cdf_gumbel_vjp);

}  // namespace mirelon
