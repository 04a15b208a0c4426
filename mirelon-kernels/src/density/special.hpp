// Special functions used by the density kernels, 64-bit only. Each is a fixed approximation whose
// constants, thresholds and evaluation order the kernels' results depend on; the 32-bit kernels
// widen their argument, evaluate here and round once.
#pragma once

#include <cmath>
#include <cstddef>

#include "constants.hpp"
#include "cpu.hpp"

namespace mirelon::density {

double ln_gamma(double x);
double erfc(double x);
double normal_quantile(double p);
double digamma(double x);
double bessel_i0e(double x);
double bessel_i1e(double x);

// The standard normal density at z, evaluated in the log domain in 64-bit and rounded once.
template <typename T>
T normal_density(T z) {
  const double zd = static_cast<double>(z);
  return static_cast<T>(std::exp((zd * -0.5) * zd + constants::neg_ln_sqrt_two_pi<double>));
}

// out[i] = erfc(x[i]) and out[i] = normal_quantile(p[i]) for i < m, bit for bit, with several
// arguments evaluated side by side in the vector unit of `level` (a kernel reads the level once
// per call and passes it on). Loops that need many values hand them blocks of kManyBlock.
inline constexpr size_t kManyBlock = 64;
void erfc_many(const double* x, double* out, size_t m, cpu::Level level = cpu::active());
void normal_quantile_many(const double* p, double* out, size_t m,
                          cpu::Level level = cpu::active());

}  // namespace mirelon::density
