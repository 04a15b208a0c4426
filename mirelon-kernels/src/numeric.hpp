// Small numeric helpers shared by every kernel family. Each exists once here so that the kernels
// agree on conversions, NaN handling and precision.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>

#include "kernel.hpp"

namespace mirelon {

// Truncation toward zero with saturation, NaN giving 0: the conversion of an index or a count
// carried in a float. Negative values give 0.
inline uint64_t saturating_to_u64(double v) {
  if (!(v > 0.0)) return 0;  // NaN, zero and negatives
  if (v >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(v);
}

// Same conversion to a signed 64-bit integer (edge end points, vertex indices).
inline int64_t saturating_to_i64(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
  if (v <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

// Same conversion to a signed 32-bit integer (kind codes shown in messages).
inline int32_t saturating_to_i32(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

// Maximum and minimum that ignore NaN: a NaN operand yields the other one.
template <typename T>
T max_ignoring_nan(T a, T b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return a < b ? b : a;
}

template <typename T>
T min_ignoring_nan(T a, T b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return b < a ? b : a;
}

// Maximum and minimum that pass NaN on: a NaN operand makes the result NaN.
template <typename T>
T max_passing_nan(T a, T b) {
  if (std::isnan(a) || std::isnan(b)) return std::numeric_limits<T>::quiet_NaN();
  return a < b ? b : a;
}

template <typename T>
T min_passing_nan(T a, T b) {
  if (std::isnan(a) || std::isnan(b)) return std::numeric_limits<T>::quiet_NaN();
  return b < a ? b : a;
}

// "Evaluate in 64-bit, round once": widen the arguments, evaluate f in double, round the result
// to the element type a single time.
template <typename T, typename F, typename... Args>
T eval_in_double(F&& f, Args... args) {
  return static_cast<T>(f(static_cast<double>(args)...));
}

// A divisor floored at 1e-12 (in the element type); NaN becomes the floor.
template <typename T>
T floor_divisor(T len) {
  const T floor = static_cast<T>(1e-12);
  return len > floor ? len : floor;
}

// Length checks: fail with `text` unless the operand holds exactly `expected` elements
// (or at least `expected` for the `_at_least` form). Return whether the check passed.
inline bool check_length(KernelResult& r, const KernelBuffer& b, size_t expected,
                         std::string_view text) {
  if (element_count(b) == expected) return true;
  r.fail(std::string(text));
  return false;
}

inline bool check_length_at_least(KernelResult& r, const KernelBuffer& b, size_t expected,
                                  std::string_view text) {
  if (element_count(b) >= expected) return true;
  r.fail(std::string(text));
  return false;
}

// Product of two counts, or false when it does not fit (no buffer can then hold that many
// elements).
inline bool checked_product(size_t a, size_t b, size_t& product) {
  return !__builtin_mul_overflow(a, b, &product);
}

// Every residual index (a forward kernel's index output, read back) must name one of `limit`
// items after its conversion. The 32-bit forward rounds indices beyond 2^24, which can land on
// `limit` itself, so nothing here is taken on trust. `item` names what the index counts.
template <typename T>
bool check_residual_indices(KernelResult& r, std::span<const T> indices, size_t count,
                            size_t limit, const char* item) {
  for (size_t j = 0; j < count; ++j) {
    const uint64_t e = saturating_to_u64(static_cast<double>(indices[j]));
    if (e >= limit) {
      r.fail(message(item, " index ", e, " of query ", j, " outside 0..", limit));
      return false;
    }
  }
  return true;
}

// Zero-fills an output over its own element count.
template <typename T>
void zero_fill(const KernelBuffer& b) {
  for (T& v : output_span<T>(b)) v = T(0);
}

}  // namespace mirelon
