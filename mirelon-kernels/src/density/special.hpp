// Special functions used by the density kernels, 64-bit only. Each is a fixed approximation whose
// constants, thresholds and evaluation order the kernels' results depend on; the 32-bit kernels
// widen their argument, evaluate here and round once.
#pragma once

#include <cstddef>

namespace mirelon::density {

double ln_gamma(double x);
double erfc(double x);
double normal_quantile(double p);
double digamma(double x);
double bessel_i0e(double x);
double bessel_i1e(double x);

// out[i] = erfc(x[i]) for i < m, bit for bit, with several arguments evaluated side by side.
// Loops that need erfc of many values hand it blocks of kErfcBlock.
inline constexpr size_t kErfcBlock = 32;
void erfc_many(const double* x, double* out, size_t m);

}  // namespace mirelon::density
