// Small numeric helpers shared by every kernel family. Each exists once here so that the kernels
// agree on conversions, NaN handling and precision.
#pragma once

#include <math.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
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

// A polynomial with coefficients lowest degree first, in nested form evaluated from the innermost
// term out: c[0] + x * (c[1] + x * (... + x * c[N-1])). Each step is one multiply and one add,
// never contracted, so the result is that of the written-out nesting bit for bit.
template <typename T, size_t N>
constexpr T polynomial(T x, const T (&c)[N]) {
  static_assert(N >= 1);
  T p = c[N - 1];
  for (size_t k = N - 1; k-- > 0;) p = c[k] + x * p;
  return p;
}

// Sine and cosine of one argument through the platform's combined routine.
inline void sin_cos(double a, double& s, double& c) { ::sincos(a, &s, &c); }
inline void sin_cos(float a, float& s, float& c) { ::sincosf(a, &s, &c); }

// ---- sizes and length checks -------------------------------------------------------------------
// One set of checks for every kernel. Each fails `r` with the kernel's own message and returns
// false, or returns true; none writes anything else. A size formed from extents is computed with
// `checked_size`, whose empty result (the product does not fit in 64 bits) matches no operand.

// Product of counts, or nothing when it does not fit (no buffer can then hold that many elements).
template <typename... Counts>
std::optional<size_t> checked_size(size_t first, Counts... rest) {
  size_t product = first;
  for (size_t f : {static_cast<size_t>(rest)...}) {
    if (__builtin_mul_overflow(product, f, &product)) return std::nullopt;
  }
  return product;
}

// The checks are forced inline, since every call runs several of them; their failing ends are
// out of line, so that each check adds only a comparison and a branch to its kernel.

// Fails `r` with `text`; returns false.
[[gnu::cold, gnu::noinline]] bool fail_length(KernelResult& r, std::string_view text);

// Exactly `expected` elements (an empty size never matches), with `text` as the message.
[[gnu::always_inline]] inline bool check_length(KernelResult& r, const KernelBuffer& b,
                                                std::optional<size_t> expected,
                                                std::string_view text) {
  if (expected && element_count(b) == *expected) [[likely]] return true;
  return fail_length(r, text);
}

// At least `expected` elements (an empty size is never met), with `text` as the message.
[[gnu::always_inline]] inline bool check_length_at_least(KernelResult& r, const KernelBuffer& b,
                                                         std::optional<size_t> expected,
                                                         std::string_view text) {
  if (expected && element_count(b) >= *expected) [[likely]] return true;
  return fail_length(r, text);
}

// How many elements a named operand must hold, for the messages that state what was expected.
enum class LengthRule : uint8_t {
  exactly,                 // exactly n
  at_least,                // n or more
  one_or_exactly,          // one value for every element, or exactly n
  one_or_at_least,         // one value for every element, or n or more
};

[[gnu::always_inline]] inline bool length_follows(size_t count, size_t n, LengthRule rule) {
  switch (rule) {
    case LengthRule::exactly:
      return count == n;
    case LengthRule::at_least:
      return count >= n;
    case LengthRule::one_or_exactly:
      return count == 1 || count == n;
    case LengthRule::one_or_at_least:
      break;
  }
  return count == 1 || count >= n;
}

// "{what} length mismatch: expected {n} elements, got {count}", with "at least" and "1 or" as the
// rule says; fails `r` with it and returns false.
[[gnu::cold, gnu::noinline]] bool fail_operand_length(KernelResult& r, std::string_view what,
                                                      size_t count, size_t n, LengthRule rule);

[[gnu::always_inline]] inline bool check_operand_length(KernelResult& r, const KernelBuffer& b,
                                                        size_t n, LengthRule rule,
                                                        std::string_view what) {
  const size_t count = element_count(b);
  if (length_follows(count, n, rule)) [[likely]] return true;
  return fail_operand_length(r, what, count, n, rule);
}

// The same for a size formed with `checked_size`: an empty size matches no operand, whatever the
// rule, and its message shows the largest size, 18446744073709551615.
[[gnu::always_inline]] inline bool check_operand_length(KernelResult& r, const KernelBuffer& b,
                                                        std::optional<size_t> n, LengthRule rule,
                                                        std::string_view what) {
  if (n) [[likely]] return check_operand_length(r, b, *n, rule, what);
  return fail_operand_length(r, what, element_count(b), std::numeric_limits<size_t>::max(), rule);
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
[[gnu::always_inline]] inline void zero_fill(const KernelBuffer& b) {
  for (T& v : output_span<T>(b)) v = T(0);
}

}  // namespace mirelon
