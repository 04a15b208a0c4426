// Typed kernels called directly, without a call frame, on operands with exactly sized storage (the
// sanitizer builds see any access past them): the operands, the call, and the checks of outputs
// the tests share.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "kernel.hpp"

// The name of a kernel and its copies for both element types, as the first fields of a test case.
#define TYPED_KERNEL(k) #k, &::mirelon::k<float>, &::mirelon::k<double>

namespace mirelon::test_support {

using Dims = std::vector<int64_t>;

// The copy of a kernel for the element type T.
template <typename T>
KernelFn copy_for(KernelFn f32, KernelFn f64) {
  return sizeof(T) == 4 ? f32 : f64;
}

// The value outputs start as, so that a write shows.
template <typename T>
constexpr T kSentinel = T(-7.25);

// The element count of an operand with extents `dims`: their wrapping product, 0 when negative.
inline size_t elements(const Dims& dims) {
  return element_count(KernelBuffer{dims, nullptr, 0});
}

// A buffer over `values` with the given extents (null data when there are no values).
template <typename T>
KernelBuffer buffer(std::vector<T>& values, Dims dims) {
  return {std::move(dims), values.empty() ? nullptr : values.data(), sizeof(T) == 4 ? 11 : 12};
}

// One operand: its extents and its values, as many as the extents hold unless a test says
// otherwise.
template <typename T>
struct Operand {
  Dims dims;
  std::vector<T> values;

  Operand(Dims d, T fill) : dims(std::move(d)), values(elements(dims), fill) {}
  Operand(Dims d, std::vector<T> v) : dims(std::move(d)), values(std::move(v)) {}
  // One dimension, holding `v`.
  Operand(std::vector<T> v) : dims{static_cast<int64_t>(v.size())}, values(std::move(v)) {}

  KernelBuffer buffer() { return test_support::buffer(values, dims); }
};

template <typename T>
using Operands = std::vector<Operand<T>>;

// A call for a table of cases: the kernel in both copies, input and output extents, the values of
// small inputs where a test gives them, and the message it must fail with (none: it succeeds).
struct KernelCase {
  const char* name;
  KernelFn f32;
  KernelFn f64;
  std::vector<Dims> in;
  std::vector<Dims> out;
  std::vector<std::vector<double>> values = {};
  const char* text = nullptr;
};

// Calls f on the buffers; returns "" on success, else its message.
inline std::string run(KernelFn f, const std::vector<KernelBuffer>& in,
                       const std::vector<KernelBuffer>& out) {
  KernelResult r;
  f(r, in.data(), in.size(), out.data(), out.size());
  return r.ok ? std::string() : r.message;
}

// The same on operands, the outputs written in place.
template <typename T>
std::string run(KernelFn f, const std::vector<Operand<T>*>& in,
                const std::vector<Operand<T>*>& out) {
  std::vector<KernelBuffer> ib, ob;
  for (Operand<T>* o : in) ib.push_back(o->buffer());
  for (Operand<T>* o : out) ob.push_back(o->buffer());
  return run(f, ib, ob);
}

template <typename T>
std::string run(KernelFn f, Operands<T>& in, Operands<T>& out) {
  std::vector<Operand<T>*> ip, op;
  for (Operand<T>& o : in) ip.push_back(&o);
  for (Operand<T>& o : out) op.push_back(&o);
  return run(f, ip, op);
}

// The same on one-dimensional operands given by their values.
template <typename T>
std::string run(KernelFn f, std::vector<std::vector<T>>& in, std::vector<std::vector<T>>& out) {
  std::vector<KernelBuffer> ib, ob;
  for (auto& v : in) ib.push_back(buffer(v, {static_cast<int64_t>(v.size())}));
  for (auto& v : out) ob.push_back(buffer(v, {static_cast<int64_t>(v.size())}));
  return run(f, ib, ob);
}

// Expects every value of the outputs to be `kept` still.
template <typename T>
void expect_untouched(const Operands<T>& out, T kept, const std::string& what) {
  for (size_t k = 0; k < out.size(); ++k)
    for (T v : out[k].values) ASSERT_EQ(v, kept) << what << " wrote output " << k;
}

// A call that must fail: inputs of the given extents filled with 0.5, outputs with the sentinel.
// Expects the message, and every output as it was.
template <typename T>
void expect_rejected(KernelFn f, const std::vector<Dims>& in, const std::vector<Dims>& out,
                     const std::string& text, const std::string& what) {
  Operands<T> ins, outs;
  for (const Dims& d : in) ins.emplace_back(d, T(0.5));
  for (const Dims& d : out) outs.emplace_back(d, kSentinel<T>);
  EXPECT_EQ(run(f, ins, outs), text) << what;
  expect_untouched(outs, kSentinel<T>, what);
}

// Whether a and b have the same bits.
template <typename T>
bool same_bits(T a, T b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// The index of the first element whose bits differ, a.size() when they are the same (a and b of
// one size).
template <typename T>
size_t first_bit_difference(const std::vector<T>& a, const std::vector<T>& b) {
  for (size_t i = 0; i < a.size(); ++i)
    if (std::memcmp(&a[i], &b[i], sizeof(T)) != 0) return i;
  return a.size();
}

// The same, except that a NaN matches any NaN, of either sign and any payload: where two NaN meet
// in an operation, which one the result passes on may depend on how the compiler orders the
// operands.
template <typename T>
size_t first_difference_but_nan(const std::vector<T>& a, const std::vector<T>& b) {
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::isnan(a[i]) && std::isnan(b[i])) continue;
    if (std::memcmp(&a[i], &b[i], sizeof(T)) != 0) return i;
  }
  return a.size();
}

}  // namespace mirelon::test_support
