// Special functions of the density kernels, 64-bit only. Every constant, threshold and
// evaluation order below is part of the kernels' results: the expressions are written out in the
// grouping they are evaluated in (polynomials in the nested form of `polynomial`), and the build
// never contracts a*b+c.
#include "density/special.hpp"

#include <cmath>
#include <cstring>
#include <limits>

#include "constants.hpp"
#include "numeric.hpp"

namespace mirelon::density {

namespace {

constexpr double kPi = constants::pi<double>;

// Lanczos approximation, g = 7, nine coefficients; valid from 0.5 upwards.
double ln_gamma_lanczos(double x) {
  constexpr double c0 = 0.9999999999998099;
  constexpr double c1 = 676.5203681218851;
  constexpr double c2 = -1259.1392167224028;
  constexpr double c3 = 771.3234287776531;
  constexpr double c4 = -176.6150291621406;
  constexpr double c5 = 12.507343278686905;
  constexpr double c6 = -0.13857109526572012;
  constexpr double c7 = 9.984369578019572e-6;
  constexpr double c8 = 1.5056327351493116e-7;
  const double z = x - 1.0;
  double a = c0;
  a = a + c1 / (z + 1.0);
  a = a + c2 / (z + 2.0);
  a = a + c3 / (z + 3.0);
  a = a + c4 / (z + 4.0);
  a = a + c5 / (z + 5.0);
  a = a + c6 / (z + 6.0);
  a = a + c7 / (z + 7.0);
  a = a + c8 / (z + 8.0);
  const double t = (z + 7.0) + 0.5;
  return ((std::log(t) * (z + 0.5) + constants::ln_sqrt_two_pi<double>) - t) + std::log(a);
}

// Chebyshev coefficients of erfc in y = 4t - 2, t = 2 / (2 + |x|).
constexpr double kErfcCoeff[28] = {
    -1.3026537197817094,   0.6419697923564902,   0.019476473204185836, -0.00956151478680863,
    -0.000946595344482036, 0.000366839497852761, 4.2523324806907e-5,   -2.0278578112534e-5,
    -1.624290004647e-6,    1.30365583558e-6,     1.5626441722e-8,      -8.5238095915e-8,
    6.529054439e-9,        5.059343495e-9,       -9.91364156e-10,      -2.27365122e-10,
    9.6467911e-11,         2.394038e-12,         -6.886027e-12,        8.94487e-13,
    3.13092e-13,           -1.12708e-13,         3.81e-16,             7.106e-15,
    -1.523e-15,            -9.4e-17,             1.21e-16,             -2.8e-17,
};

// Terms of the asymptotic series of digamma.
constexpr double kOneTwelfth = 0.08333333333333333;
constexpr double kOne120th = 0.008333333333333333;
constexpr double kOne252nd = 0.003968253968253968;
constexpr double kOne240th = 0.004166666666666667;

double digamma_series(double acc, double x) {
  const double w = 1.0 / x;
  const double t = w * w;
  return ((acc + std::log(x)) - 0.5 * w) -
         t * (kOneTwelfth - t * (kOne120th - t * (kOne252nd - t * kOne240th)));
}

// Below this argument the upward recurrence would take more steps than is reasonable per
// element (and from -2^53 on it would never reach 6), so digamma reflects instead.
constexpr double kDigammaReflectBelow = -1.0e4;

}  // namespace

double ln_gamma(double x) {
  if (x < 0.5) {
    // Reflection. The logarithm of the signed quotient: NaN wherever sin(pi x) < 0.
    const double s = std::sin(x * kPi);
    return std::log(kPi / s) - ln_gamma_lanczos(1.0 - x);
  }
  return ln_gamma_lanczos(x);
}

namespace {

// The Chebyshev part of erfc for `Lanes` arguments side by side: t = 2 / (|x| + 2) and the
// exponent -x^2 + (c0 + y d) / 2 - dd of each. Every lane performs exactly the operations of a
// single evaluation, so side by side (and in vector registers) the results are bit for bit those
// of one at a time.
template <size_t Lanes>
[[gnu::always_inline]] inline void erfc_exponent(const double* x, double* t, double* e) {
  double y[Lanes], d[Lanes], dd[Lanes];
  for (size_t l = 0; l < Lanes; ++l) {
    t[l] = 2.0 / (std::fabs(x[l]) + 2.0);
    y[l] = 4.0 * t[l] - 2.0;
    d[l] = 0.0;
    dd[l] = 0.0;
  }
  for (int j = 27; j >= 1; --j) {
    for (size_t l = 0; l < Lanes; ++l) {
      const double next = (y[l] * d[l] - dd[l]) + kErfcCoeff[j];
      dd[l] = d[l];
      d[l] = next;
    }
  }
  for (size_t l = 0; l < Lanes; ++l) {
    e[l] = ((d[l] * y[l] + kErfcCoeff[0]) * 0.5 - x[l] * x[l]) - dd[l];
  }
}

// The same operations on a block held as vectors of Bytes bytes, for a level with registers
// enough to keep the whole block in them from step to step (compiled from the array form, part
// of the block goes through memory at every step).
template <typename D, size_t Bytes>
struct ErfcVectors {
  typedef D V __attribute__((vector_size(Bytes)));
  static constexpr size_t width = Bytes / sizeof(D);
  static constexpr size_t groups = kManyBlock / width;

  [[gnu::always_inline]] static void run(const double* x, double* t, double* e) {
    V xv[groups], tv[groups], y[groups], d[groups], dd[groups];
    for (size_t g = 0; g < groups; ++g) {
      std::memcpy(&xv[g], x + g * width, sizeof(V));
      V ax;
      for (size_t l = 0; l < width; ++l) ax[l] = std::fabs(xv[g][l]);
      tv[g] = 2.0 / (ax + 2.0);
      y[g] = 4.0 * tv[g] - 2.0;
      d[g] = V{};
      dd[g] = V{};
    }
    for (int j = 27; j >= 1; --j) {
      const double c = kErfcCoeff[j];
      for (size_t g = 0; g < groups; ++g) {
        const V next = (y[g] * d[g] - dd[g]) + c;
        dd[g] = d[g];
        d[g] = next;
      }
    }
    for (size_t g = 0; g < groups; ++g) {
      const V ev = ((d[g] * y[g] + kErfcCoeff[0]) * 0.5 - xv[g] * xv[g]) - dd[g];
      std::memcpy(t + g * width, &tv[g], sizeof(V));
      std::memcpy(e + g * width, &ev, sizeof(V));
    }
  }
};

inline double erfc_finish(double x, double t, double e) {
  const double r = t * std::exp(e);
  return 0.0 <= x ? r : 2.0 - r;  // x < 0, and NaN, take 2 - r
}

// The body for `level` among a block loop's bodies, one per instruction-set level.
template <typename Body>
Body body_for(cpu::Level level, Body portable, Body avx2, Body avx512) {
  switch (level) {
    case cpu::Level::avx512:
      return avx512;
    case cpu::Level::avx2:
      return avx2;
    case cpu::Level::portable:
      break;
  }
  return portable;
}

// A block of the Chebyshev part, one body per instruction-set level. The build never contracts
// a*b+c, so no body uses fused multiply-add and all of them round exactly alike.
void erfc_exponent_block_portable(const double* x, double* t, double* e) {
  erfc_exponent<kManyBlock>(x, t, e);
}

[[gnu::target("avx2")]] void erfc_exponent_block_avx2(const double* x, double* t, double* e) {
  erfc_exponent<kManyBlock>(x, t, e);
}

[[gnu::target("avx512f")]] void erfc_exponent_block_avx512(const double* x, double* t,
                                                           double* e) {
  ErfcVectors<double, 64>::run(x, t, e);
}

}  // namespace

double erfc(double x) {
  double t;
  double e;
  erfc_exponent<1>(&x, &t, &e);
  return erfc_finish(x, t, e);
}

void erfc_many(const double* x, double* out, size_t m, cpu::Level level) {
  const auto block = body_for(level, erfc_exponent_block_portable, erfc_exponent_block_avx2,
                              erfc_exponent_block_avx512);
  double t[kManyBlock];
  double e[kManyBlock];
  size_t i = 0;
  for (; i + kManyBlock <= m; i += kManyBlock) {
    block(x + i, t, e);
    for (size_t l = 0; l < kManyBlock; ++l) out[i + l] = erfc_finish(x[i + l], t[l], e[l]);
  }
  for (; i < m; ++i) out[i] = erfc(x[i]);
}

namespace {

namespace acklam {
// The rational parts, coefficients lowest degree first: the central region's a(r) / b(r) in
// r = q^2 (times q), the tails' c(q) / d(q).
constexpr double a[] = {2.506628277459239,  -30.66479806614716, 138.357751867269,
                        -275.9285104469687, 220.9460984245205,  -39.69683028665376};
constexpr double b[] = {1.0,               -13.28068155288572, 66.80131188771972,
                        -155.6989798598866, 161.5858368580409,  -54.47609879822406};
constexpr double c[] = {2.938163982698783,  4.374664141464968,  -2.549732539343734,
                        -2.400758277161838, -0.3223964580411365, -0.007784894002430293};
constexpr double d[] = {1.0, 3.754408661907416, 2.445134137142996, 0.3224671290700398,
                        0.007784695709041462};
constexpr double lo = 1e-300;
constexpr double hi = 0.9999999999999999;  // 1 - 2^-53
constexpr double central_lo = 0.02425;
constexpr double central_hi = 0.97575;
}  // namespace acklam

// The clamp, written so that a NaN probability stays NaN.
inline double clamp_probability(double p) {
  const double p1 = acklam::lo > p ? acklam::lo : p;
  return acklam::hi < p1 ? acklam::hi : p1;
}

inline double quantile_central(double p2) {
  const double q = p2 - 0.5;
  const double r = q * q;
  return (q * polynomial(r, acklam::a)) / polynomial(r, acklam::b);
}

// Both tails share c(q) / d(q); the lower tail at p2 < 0.02425, the upper one (and NaN) above
// 0.97575 with q from 1 - p2 and the sign turned.
inline double quantile_tail(double p2) {
  if (p2 < acklam::central_lo) {
    const double q = std::sqrt(-2.0 * std::log(p2));
    return polynomial(q, acklam::c) / polynomial(q, acklam::d);
  }
  const double q = std::sqrt(-2.0 * std::log(1.0 - p2));
  return -polynomial(q, acklam::c) / polynomial(q, acklam::d);
}

inline bool in_central_region(double p2) {
  return (p2 >= acklam::central_lo) & (p2 <= acklam::central_hi);  // false for NaN
}

// The central formula for a block of probabilities, side by side. Inside the central region the
// clamp leaves p unchanged, so the formula runs on p itself; lanes outside it (and NaN) are
// marked, and the caller replaces their value by the one-at-a-time evaluation. One body per
// instruction-set level, all rounding alike.
[[gnu::always_inline]] inline void quantile_central_lanes(const double* p, double* z,
                                                          unsigned char* central) {
  for (size_t l = 0; l < kManyBlock; ++l) {
    z[l] = quantile_central(p[l]);
    central[l] = in_central_region(p[l]);
  }
}

void quantile_central_block_portable(const double* p, double* z, unsigned char* central) {
  quantile_central_lanes(p, z, central);
}

[[gnu::target("avx2")]] void quantile_central_block_avx2(const double* p, double* z,
                                                         unsigned char* central) {
  quantile_central_lanes(p, z, central);
}

[[gnu::target("avx512f")]] void quantile_central_block_avx512(const double* p, double* z,
                                                             unsigned char* central) {
  quantile_central_lanes(p, z, central);
}

}  // namespace

double normal_quantile(double p) {
  const double p2 = clamp_probability(p);
  return in_central_region(p2) ? quantile_central(p2) : quantile_tail(p2);
}

void normal_quantile_many(const double* p, double* out, size_t m, cpu::Level level) {
  const auto block = body_for(level, quantile_central_block_portable,
                              quantile_central_block_avx2, quantile_central_block_avx512);
  double z[kManyBlock];
  unsigned char central[kManyBlock];
  size_t i = 0;
  for (; i + kManyBlock <= m; i += kManyBlock) {
    block(p + i, z, central);
    for (size_t l = 0; l < kManyBlock; ++l) {
      out[i + l] = central[l] ? z[l] : quantile_tail(clamp_probability(p[i + l]));
    }
  }
  for (; i < m; ++i) out[i] = normal_quantile(p[i]);
}

double digamma(double x) {
  if (x < kDigammaReflectBelow) {
    // Far below zero: -inf at the poles (every value from -2^52 down is an integer), NaN for
    // -inf, otherwise psi(x) = psi(1 - x) - pi / tan(pi x) with the fractional part taken
    // exactly, so that tan sees a small argument.
    if (std::isinf(x)) return std::numeric_limits<double>::quiet_NaN();
    const double frac = x - std::floor(x);
    if (frac == 0.0) return -std::numeric_limits<double>::infinity();
    return digamma_series(0.0, 1.0 - x) - kPi / std::tan(kPi * frac);
  }
  double acc = 0.0;
  while (x < 6.0) {
    acc = acc - 1.0 / x;
    x = x + 1.0;
  }
  return digamma_series(acc, x);
}

namespace {

// Polynomial approximations of the scaled Bessel functions, coefficients lowest degree first:
// in y = (k / 3.75)^2 below |k| = 3.75, in u = 3.75 / |k| from there on.
constexpr double kI0Small[] = {1.0,       3.5156229, 3.0899424, 1.2067492,
                               0.2659732, 0.0360768, 0.0045813};
constexpr double kI0Large[] = {0.39894228,  0.01328592, 0.00225319,  -0.00157565, 0.00916281,
                               -0.02057706, 0.02635537, -0.01647633, 0.00392377};
constexpr double kI1Small[] = {0.5,        0.87890594, 0.51498869, 0.15084934,
                               0.02658733, 0.00301532, 0.00032411};
constexpr double kI1Large[] = {0.39894228, -0.03988024, -0.00362018, 0.00163801, -0.01031555,
                               0.02282967, -0.02895312, 0.01787654,  -0.00420059};

}  // namespace

double bessel_i0e(double k) {
  const double a = std::fabs(k);
  if (a < 3.75) {
    const double q = k / 3.75;
    const double y = q * q;
    return polynomial(y, kI0Small) * std::exp(-a);
  }
  const double u = 3.75 / a;
  return polynomial(u, kI0Large) / std::sqrt(a);
}

double bessel_i1e(double k) {
  const double a = std::fabs(k);
  double m;
  if (a < 3.75) {
    const double q = k / 3.75;
    const double y = q * q;
    m = polynomial(y, kI1Small) * a * std::exp(-a);
  } else {
    const double u = 3.75 / a;
    m = polynomial(u, kI1Large) / std::sqrt(a);
  }
  return k < 0.0 ? -m : m;
}

}  // namespace mirelon::density
