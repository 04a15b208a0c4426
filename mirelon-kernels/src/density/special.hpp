// Special functions used by the density kernels, 64-bit only. Each is a fixed approximation whose
// constants, thresholds and evaluation order the kernels' results depend on; the 32-bit kernels
// widen their argument, evaluate here and round once.
#pragma once

#include <cstddef>

#include "cpu.hpp"

namespace mirelon::density {

double ln_gamma(double x);
double erfc(double x);
double normal_quantile(double p);
double digamma(double x);
double bessel_i0e(double x);
double bessel_i1e(double x);

// out[i] = erfc(x[i]) and out[i] = normal_quantile(p[i]) for i < m, bit for bit, with several
// arguments evaluated side by side in the vector unit of `level` (a kernel reads the level once
// per call and passes it on). Loops that need many values hand them blocks of kManyBlock.
inline constexpr size_t kManyBlock = 32;
void erfc_many(const double* x, double* out, size_t m, cpu::Level level = cpu::active());
void normal_quantile_many(const double* p, double* out, size_t m,
                          cpu::Level level = cpu::active());

}  // namespace mirelon::density
