// Mathematical constants as the kernels use them: the decimal value rounded to the element type
// (a 32-bit copy uses the single-precision rounding of the same decimal).
#pragma once

namespace mirelon::constants {

template <typename T>
inline constexpr T pi = static_cast<T>(3.141592653589793);

template <typename T>
inline constexpr T two_pi = static_cast<T>(6.283185307179586);

// sqrt(2 pi)
template <typename T>
inline constexpr T sqrt_two_pi = static_cast<T>(2.5066282746310002);

// ln sqrt(2 pi) and its negative
template <typename T>
inline constexpr T ln_sqrt_two_pi = static_cast<T>(0.9189385332046727);

template <typename T>
inline constexpr T neg_ln_sqrt_two_pi = static_cast<T>(-0.9189385332046727);

// -1 / sqrt(2)
template <typename T>
inline constexpr T neg_inv_sqrt2 = static_cast<T>(-0.7071067811865476);

}  // namespace mirelon::constants
