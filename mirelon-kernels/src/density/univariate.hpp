// The frame shared by the univariate log-density, distribution-function and quantile kernels:
// operand layout (x, one or two parameters, cotangent g), broadcast of one-value parameters, the
// length checks and their messages in order, and the parallel forward and gradient loops with
// zero-fill and accumulation of parameter cotangents.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
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

// ---- gradient loops ----------------------------------------------------------------------------
// A gradient writes dx and the cotangents of per-element parameters in place, element by element,
// and adds the terms of a one-value parameter's cotangent into its single element in increasing
// index order. On the calling thread each term is added as it is formed. A long loop evaluates
// blocks of elements on the pool and stores the terms of the summed cotangents; one thread adds a
// round of stored terms in order while the pool evaluates the next round, so each sum is formed,
// addition by addition, as the element-by-element loop forms it.
//
// A block of a gradient loop is called as block(begin, end, out) for elements [begin, end), with
// `out` either the running sums (Sums: acc[k] = acc[k] + term for each summed cotangent k, in
// increasing i) or where to store the terms (Terms: terms[k][i - begin]).

// Elements per work item of a pooled gradient loop: a multiple of every lane width and block of
// the vector paths, so that only the last item of a loop has a remainder.
inline constexpr size_t kGradientBlock = 1024;
// Gradient loops shorter than this, and every gradient loop of a one-worker pool, run on the
// calling thread, where the pool's hand-over would cost more than it saves.
inline constexpr size_t kPooledGradientMin = 8 * kGradientBlock;

// Where the terms of elements [begin, end) go: terms[k][i - begin] for a cotangent k that sums,
// null for one written in place.
template <typename T, size_t NP>
using Terms = std::array<T*, NP>;

// The running sums of the summed cotangents (an unused slot for one written in place).
template <typename T, size_t NP>
using Sums = std::array<T, NP>;

// Elements per round of a pooled loop that sums: about a sixteenth of the loop, 4 to 128 blocks.
// Shorter rounds would pay the pool's hand-over more often, longer ones make the first round
// (nothing to add yet) and the last (only adding) longer.
inline size_t gradient_round(size_t n) {
  const size_t blocks = (n / 16 + kGradientBlock - 1) / kGradientBlock;
  return std::clamp<size_t>(blocks, 4, 128) * kGradientBlock;
}

// acc[k] = acc[k] + terms[k][j] for j < m and every summed k. Two sums run side by side, so
// that their chains of additions overlap.
template <typename T, size_t NP>
void add_terms(Sums<T, NP>& acc, const Terms<T, NP>& terms, size_t m) {
  if constexpr (NP == 2) {
    if (terms[0] != nullptr && terms[1] != nullptr) {
      const T* const t0 = terms[0];
      const T* const t1 = terms[1];
      T a0 = acc[0];
      T a1 = acc[1];
      for (size_t j = 0; j < m; ++j) {
        a0 = a0 + t0[j];
        a1 = a1 + t1[j];
      }
      acc = {a0, a1};
      return;
    }
  }
  for (size_t k = 0; k < NP; ++k) {
    const T* const t = terms[k];
    if (t == nullptr) continue;
    T a = acc[k];
    for (size_t j = 0; j < m; ++j) a = a + t[j];
    acc[k] = a;
  }
}

// The gradient loop over [0, n) for the cotangents whose single element is sums[k] (zero-filled;
// null for those written in place). Scratch for a pooled loop: two rounds of terms, at most
// 2 * 128 * kGradientBlock elements per summed cotangent (2 MiB for a 64-bit one).
template <typename T, size_t NP, typename Block>
void ordered_gradient(size_t n, const std::array<T*, NP>& sums, const Block& block) {
  size_t summed = 0;
  for (T* s : sums) summed += s != nullptr;
  const bool pooled = n >= kPooledGradientMin && pool::worker_count() > 1;
  Sums<T, NP> acc{};
  for (size_t k = 0; k < NP; ++k) acc[k] = sums[k] != nullptr ? *sums[k] : T(0);
  const size_t round = gradient_round(n);
  std::unique_ptr<T[]> scratch;
  if (pooled && summed > 0) scratch.reset(new (std::nothrow) T[2 * summed * round]);
  if (pooled && summed == 0) {
    pool::parallel_for(n, [&](size_t begin, size_t end) {
      Terms<T, NP> none{};
      block(begin, end, none);
    });
  } else if (!scratch) {
    // On the calling thread (or without memory for the rounds).
    block(size_t{0}, n, acc);
  } else {
    // Pass r evaluates round r into one half of the scratch while one item adds the terms of
    // round r - 1 from the other half; the pool's join orders the passes.
    Terms<T, NP> rows[2]{};
    for (size_t half = 0, used = 0; half < 2; ++half) {
      for (size_t k = 0; k < NP; ++k) {
        if (sums[k] != nullptr) rows[half][k] = scratch.get() + round * used++;
      }
    }
    const size_t rounds = (n + round - 1) / round;
    const size_t pieces = pool::worker_count();
    for (size_t r = 0; r <= rounds; ++r) {
      const size_t adding = r > 0 ? 1 : 0;
      const size_t added = adding ? std::min(round, n - (r - 1) * round) : 0;
      const size_t begin = r * round;
      const size_t end = r < rounds ? std::min(n, begin + round) : begin;
      const size_t items = adding + (end - begin + kGradientBlock - 1) / kGradientBlock;
      const Terms<T, NP>& fill = rows[r % 2];
      std::atomic<size_t> next{0};
      pool::parallel_for(std::min(items, pieces), [&](size_t, size_t) {
        for (size_t item; (item = next.fetch_add(1, std::memory_order_relaxed)) < items;) {
          if (item < adding) {
            add_terms(acc, rows[(r + 1) % 2], added);
            continue;
          }
          const size_t b = begin + (item - adding) * kGradientBlock;
          const size_t e = std::min(end, b + kGradientBlock);
          Terms<T, NP> at{};
          for (size_t k = 0; k < NP; ++k) {
            if (fill[k] != nullptr) at[k] = fill[k] + (b - begin);
          }
          block(b, e, at);
        }
      });
    }
  }
  for (size_t k = 0; k < NP; ++k) {
    if (sums[k] != nullptr) *sums[k] = acc[k];
  }
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

  // The single element of each cotangent that sums, null for those written in place.
  std::array<T*, NP> sums() const {
    std::array<T*, NP> s{};
    for (size_t k = 0; k < NP; ++k) s[k] = dp[k].summed() ? dp[k].data : nullptr;
    return s;
  }

  // dx[i] = d[0] * g[i]; the term d[1 + k] * g[i] of parameter cotangent k is added in place, or
  // when the cotangent sums, added to its running sum out[k] (Sums) or stored at
  // out[k][i - begin] (Terms).
  template <typename Out>
  void apply(size_t i, const std::array<T, NP + 1>& d, Out& out, size_t begin) const {
    const T gi = g[i];
    dx[i] = d[0] * gi;
    for (size_t k = 0; k < NP; ++k) {
      const T term = d[1 + k] * gi;
      if (dp[k].summed()) {
        if constexpr (std::is_same_v<Out, Sums<T, NP>>) {
          out[k] = out[k] + term;
        } else {
          out[k][i - begin] = term;
        }
      } else {
        dp[k].data[i] = dp[k].data[i] + term;
      }
    }
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

// The gradient loop: factors(x, p1[, p2]) returns {a, b1[, b2]}; dx[i] = a * g[i] and
// b_k * g[i] is added to parameter cotangent k, into a summed one in increasing i.
template <typename T, size_t NP, typename F>
void run_gradient(const GradientCall<T, NP>& c, F factors) {
  ordered_gradient<T, NP>(c.n, c.sums(), [&](size_t begin, size_t end, auto& out) {
    // Local copies stay in registers across calls of factors.
    const GradientCall<T, NP> k = c;
    auto o = out;
    for (size_t i = begin; i < end; ++i) k.apply(i, call_at(factors, k.x[i], k.p, i), o, begin);
    out = o;
  });
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
