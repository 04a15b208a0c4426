// Special functions used by the density kernels, 64-bit only. Each is a fixed approximation whose
// constants, thresholds and evaluation order the kernels' results depend on; the 32-bit kernels
// widen their argument, evaluate here and round once.
#pragma once

namespace mirelon::density {

double ln_gamma(double x);
double erfc(double x);
double normal_quantile(double p);
double digamma(double x);
double bessel_i0e(double x);
double bessel_i1e(double x);

}  // namespace mirelon::density
