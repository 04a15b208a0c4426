// The frame shared by the univariate distribution-function and log-density kernels: operand
// layout (x, one or two parameters, cotangent g), broadcast of one-value parameters, the length
// checks and their messages in order, the parallel forward loop and the sequential gradient loop
// with zero-fill and accumulation of parameter cotangents.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "kernel.hpp"
#include "numeric.hpp"
#include "pool.hpp"

namespace mirelon::density {

// A parameter seen by the loops: one value for every observation, or one per observation.
template <typename T>
struct Param {
  const T* data = nullptr;
  size_t count = 0;

  bool broadcast() const { return count == 1; }
  T at(size_t i) const { return count == 1 ? data[0] : data[i]; }
};

template <typename T>
Param<T> param_of(const KernelBuffer& b) {
  return {static_cast<const T*>(b.data), element_count(b)};
}

inline std::string parameter_length_error(size_t count, size_t n) {
  return message("parameter length ", count, " incompatible with ", n, " observations");
}

// Operands of a forward call with NP parameters, after its checks.
template <typename T, size_t NP>
struct ForwardCall {
  const T* x = nullptr;
  size_t n = 0;
  std::array<Param<T>, NP> p{};
  T* out = nullptr;
};

// Forward checks in order: output length, then each parameter holds 1 or n elements.
template <typename T, size_t NP>
bool check_forward(KernelResult& r, const KernelBuffer* in, const KernelBuffer* out,
                   ForwardCall<T, NP>& call) {
  call.n = element_count(in[0]);
  call.x = static_cast<const T*>(in[0].data);
  call.out = static_cast<T*>(out[0].data);
  if (!check_length(r, out[0], call.n, "output length mismatch")) return false;
  for (size_t k = 0; k < NP; ++k) {
    call.p[k] = param_of<T>(in[1 + k]);
    if (call.p[k].count != 1 && call.p[k].count != call.n) {
      r.fail(parameter_length_error(call.p[k].count, call.n));
      return false;
    }
  }
  return true;
}

// out[i] = f(x[i], p1(i)[, p2(i)]) as a parallel loop over [0, n).
template <typename T, size_t NP, typename F>
void run_forward(const ForwardCall<T, NP>& c, F f) {
  pool::parallel_for(c.n, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      if constexpr (NP == 1) {
        c.out[i] = f(c.x[i], c.p[0].at(i));
      } else {
        c.out[i] = f(c.x[i], c.p[0].at(i), c.p[1].at(i));
      }
    }
  });
}

// The whole forward kernel for an element formula f.
template <typename T, size_t NP, typename F>
void univariate_forward(KernelResult& r, const KernelBuffer* in, const KernelBuffer* out, F f) {
  ForwardCall<T, NP> c;
  if (!check_forward(r, in, out, c)) return;
  run_forward(c, f);
}

// Operands of a gradient call with NP parameters, after its checks and the zero-fill.
template <typename T, size_t NP>
struct GradientCall {
  const T* x = nullptr;
  const T* g = nullptr;
  size_t n = 0;
  std::array<Param<T>, NP> p{};
  T* dx = nullptr;
  std::array<T*, NP> dp{};
};

// Gradient checks in order: g and dx hold n elements, each parameter cotangent matches its
// parameter, then each parameter holds 1 or at least n elements (a shorter one would be read
// past its end), then the parameter cotangents are zero-filled.
template <typename T, size_t NP>
bool check_gradient(KernelResult& r, const KernelBuffer* in, const KernelBuffer* out,
                    GradientCall<T, NP>& c) {
  c.n = element_count(in[0]);
  c.x = static_cast<const T*>(in[0].data);
  c.g = static_cast<const T*>(in[1 + NP].data);
  c.dx = static_cast<T*>(out[0].data);
  if (element_count(in[1 + NP]) != c.n || element_count(out[0]) != c.n) {
    r.fail("cotangent length mismatch");
    return false;
  }
  for (size_t k = 0; k < NP; ++k) {
    c.p[k] = param_of<T>(in[1 + k]);
    c.dp[k] = static_cast<T*>(out[1 + k].data);
    if (element_count(out[1 + k]) != c.p[k].count) {
      r.fail("parameter cotangent length mismatch");
      return false;
    }
  }
  for (size_t k = 0; k < NP; ++k) {
    if (c.n > 0 && c.p[k].count != 1 && c.p[k].count < c.n) {
      r.fail(parameter_length_error(c.p[k].count, c.n));
      return false;
    }
  }
  for (size_t k = 0; k < NP; ++k) zero_fill<T>(out[1 + k]);
  return true;
}

// The gradient loop on the calling thread: factors(x, p1[, p2]) returns {a, b1[, b2]};
// dx[i] = a * g[i] and b_k * g[i] is added to parameter cotangent k, in increasing i.
template <typename T, size_t NP, typename F>
void run_gradient(const GradientCall<T, NP>& c, F factors) {
  for (size_t i = 0; i < c.n; ++i) {
    std::array<T, NP + 1> ab;
    if constexpr (NP == 1) {
      ab = factors(c.x[i], c.p[0].at(i));
    } else {
      ab = factors(c.x[i], c.p[0].at(i), c.p[1].at(i));
    }
    const T gi = c.g[i];
    c.dx[i] = ab[0] * gi;
    for (size_t k = 0; k < NP; ++k) c.dp[k][c.p[k].broadcast() ? 0 : i] += ab[1 + k] * gi;
  }
}

// The whole gradient kernel for a factor formula.
template <typename T, size_t NP, typename F>
void univariate_gradient(KernelResult& r, const KernelBuffer* in, const KernelBuffer* out,
                         F factors) {
  GradientCall<T, NP> c;
  if (!check_gradient(r, in, out, c)) return;
  run_gradient(c, factors);
}

}  // namespace mirelon::density
