// The frame shared by the univariate log-density, distribution-function and quantile kernels:
// operand layout (x, one or two parameters, cotangent g), broadcast of one-value parameters, the
// length checks and their messages in order, the parallel forward loop and the sequential
// gradient loop with zero-fill and accumulation of parameter cotangents.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <utility>

#include "kernel.hpp"
#include "numeric.hpp"
#include "param.hpp"
#include "pool.hpp"

namespace mirelon::density {

inline std::string parameter_length_error(size_t count, size_t n) {
  return message("parameter length ", count, " incompatible with ", n, " observations");
}

// A parameter serving n observations: 1 element, or as many as `rule` asks (exactly n for the
// forward kernels, at least n where the kernel reads only its first n elements).
template <typename T>
bool check_parameter(KernelResult& r, const Param<T>& p, size_t n, LengthRule rule) {
  if (p.covers(n, rule)) return true;
  r.fail(parameter_length_error(p.count, n));
  return false;
}

// f(x, parameter 1 at i[, parameter 2 at i]).
template <typename T, size_t NP, typename F>
[[gnu::always_inline]] inline decltype(auto) call_at(F& f, T x, const std::array<Param<T>, NP>& p,
                                                     size_t i) {
  return [&]<size_t... K>(std::index_sequence<K...>) -> decltype(auto) {
    return f(x, p[K][i]...);
  }(std::make_index_sequence<NP>{});
}

// Operands of a forward call with NP parameters, after its checks.
template <typename T, size_t NP>
struct ForwardCall {
  const T* x = nullptr;
  size_t n = 0;
  std::array<Param<T>, NP> p{};
  T* out = nullptr;
};

// Forward checks in order: the output holds n elements, then each parameter holds 1 element or
// as many as `rule` asks.
template <typename T, size_t NP>
bool check_forward(KernelResult& r, const KernelBuffer* in, const KernelBuffer* out,
                   ForwardCall<T, NP>& call, LengthRule rule = LengthRule::one_or_exactly) {
  call.n = element_count(in[0]);
  call.x = static_cast<const T*>(in[0].data);
  call.out = static_cast<T*>(out[0].data);
  if (!check_length(r, out[0], call.n, "output length mismatch")) return false;
  for (size_t k = 0; k < NP; ++k) {
    call.p[k] = Param<T>::of(in[1 + k]);
    if (!check_parameter(r, call.p[k], call.n, rule)) return false;
  }
  return true;
}

// out[i] = f(x[i], p1(i)[, p2(i)]) as a parallel loop over [0, n).
template <typename T, size_t NP, typename F>
void run_forward(const ForwardCall<T, NP>& c, F f) {
  pool::parallel_for(c.n, [&](size_t begin, size_t end) {
    const ForwardCall<T, NP> k = c;  // a local copy stays in registers across calls of f
    for (size_t i = begin; i < end; ++i) k.out[i] = call_at(f, k.x[i], k.p, i);
  });
}

// The whole forward kernel for an element formula f.
template <typename T, size_t NP, typename F>
void univariate_forward(KernelResult& r, const KernelBuffer* in, const KernelBuffer* out, F f) {
  ForwardCall<T, NP> c;
  if (!check_forward(r, in, out, c)) return;
  run_forward(c, f);
}

// Operands of a gradient call with NP parameters (x, p1[, p2], g in; dx, dp1[, dp2] out), after
// its checks and the zero-fill of the parameter cotangents.
template <typename T, size_t NP>
struct GradientCall {
  const T* x = nullptr;
  const T* g = nullptr;
  size_t n = 0;
  std::array<Param<T>, NP> p{};
  T* dx = nullptr;
  std::array<ParamGrad<T>, NP> dp{};

  // dx[i] = d[0] * g[i]; d[1 + k] * g[i] is added to parameter cotangent k.
  void apply(size_t i, const std::array<T, NP + 1>& d) const {
    const T gi = g[i];
    dx[i] = d[0] * gi;
    for (size_t k = 0; k < NP; ++k) dp[k][i] += d[1 + k] * gi;
  }
};

// The views of a gradient call and its first check: g and dx hold n elements.
template <typename T, size_t NP>
bool check_cotangent(KernelResult& r, const KernelBuffer* in, const KernelBuffer* out,
                     GradientCall<T, NP>& c) {
  c.n = element_count(in[0]);
  c.x = static_cast<const T*>(in[0].data);
  c.g = static_cast<const T*>(in[1 + NP].data);
  c.dx = static_cast<T*>(out[0].data);
  for (size_t k = 0; k < NP; ++k) {
    c.p[k] = Param<T>::of(in[1 + k]);
    c.dp[k] = ParamGrad<T>::of(out[1 + k]);
  }
  return check_length(r, in[1 + NP], c.n, "cotangent length mismatch") &&
         check_length(r, out[0], c.n, "cotangent length mismatch");
}

// Gradient checks in order: g and dx hold n elements, each parameter cotangent matches its
// parameter, then each parameter holds 1 or at least n elements (a shorter one would be read
// past its end), then the parameter cotangents are zero-filled.
template <typename T, size_t NP>
bool check_gradient(KernelResult& r, const KernelBuffer* in, const KernelBuffer* out,
                    GradientCall<T, NP>& c) {
  if (!check_cotangent(r, in, out, c)) return false;
  for (size_t k = 0; k < NP; ++k) {
    if (!check_length(r, out[1 + k], c.p[k].count, "parameter cotangent length mismatch")) {
      return false;
    }
  }
  for (size_t k = 0; k < NP; ++k) {
    if (!check_parameter(r, c.p[k], c.n, LengthRule::one_or_at_least)) return false;
  }
  for (size_t k = 0; k < NP; ++k) zero_fill<T>(out[1 + k]);
  return true;
}

// The gradient loop on the calling thread: factors(x, p1[, p2]) returns {a, b1[, b2]};
// dx[i] = a * g[i] and b_k * g[i] is added to parameter cotangent k, in increasing i.
template <typename T, size_t NP, typename F>
void run_gradient(const GradientCall<T, NP>& c, F factors) {
  const GradientCall<T, NP> k = c;  // a local copy stays in registers across calls of factors
  for (size_t i = 0; i < k.n; ++i) k.apply(i, call_at(factors, k.x[i], k.p, i));
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
