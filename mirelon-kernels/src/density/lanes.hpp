// Evaluation of a few elements per step in vector lanes, for the density kernels whose
// parameters hold one value (or whose per-element parameters can be loaded like x). Lanes run the
// same IEEE operations in the same order as the scalar formula (no contraction, no approximate
// functions), and every level's body performs the same operations, so the level (cpu.hpp) never
// changes a bit of a result; elementary and special functions stay scalar calls, one per lane.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <utility>

#include "cpu.hpp"
#include "density/univariate.hpp"
#include "param.hpp"
#include "pool.hpp"

namespace mirelon::density {

// Lanes of Bytes bytes: 16 (SSE2, every x86-64 processor) or 32 (AVX2).
template <typename T, size_t Bytes>
struct Simd {
  static constexpr size_t width = Bytes / sizeof(T);
  typedef T V __attribute__((vector_size(Bytes)));

  [[gnu::always_inline]] static V load(const T* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  [[gnu::always_inline]] static void store(T* p, V v) { std::memcpy(p, &v, sizeof v); }
  [[gnu::always_inline]] static V splat(T a) {
    V v;
    for (size_t k = 0; k < width; ++k) v[k] = a;
    return v;
  }
  // A parameter's lanes for elements i … i + width - 1: its single value or its own elements.
  template <bool Broadcast>
  [[gnu::always_inline]] static V lanes(const T* p, size_t i) {
    if constexpr (Broadcast) {
      return splat(p[0]);
    } else {
      return load(p + i);
    }
  }
};

template <bool B>
inline size_t pick(size_t i) {
  return B ? 0 : i;
}

// The widest lanes the loops here have. The bodies of the levels above perform the same
// operations, so those levels run the AVX2 body.
inline constexpr cpu::Level kWidestLanes = cpu::Level::avx2;

// body.template run<Bytes>(args...) compiled for one level: 16-byte lanes for the portable level,
// 32-byte lanes for AVX2. Both run the same IEEE operations per lane (no contraction), so they
// agree bit for bit.
template <typename Body, typename... Args>
void run_portable(const Body& body, Args&&... args) {
  body.template run<16>(std::forward<Args>(args)...);
}

template <typename Body, typename... Args>
[[gnu::target("avx2")]] void run_avx2(const Body& body, Args&&... args) {
  body.template run<32>(std::forward<Args>(args)...);
}

template <cpu::Level L, typename Body, typename... Args>
[[gnu::always_inline]] inline void run_lanes(const Body& body, Args&&... args) {
  static_assert(L <= kWidestLanes);
  if constexpr (L == cpu::Level::avx2) {
    run_avx2(body, std::forward<Args>(args)...);
  } else {
    run_portable(body, std::forward<Args>(args)...);
  }
}

// The vectorised forward loop: body over pieces of [0, n) on the pool, at the level active when
// the call starts.
template <typename Body>
void vector_forward(size_t n, const Body& body) {
  cpu::dispatch<kWidestLanes>([&]<cpu::Level L>() {
    pool::parallel_for(n, [&](size_t begin, size_t end) { run_lanes<L>(body, begin, end); });
  });
}

// Calls f.template operator()<B1, B2>() with the broadcast flags of two parameters as constants.
template <typename F>
void dispatch2(bool b1, bool b2, F&& f) {
  if (b1) {
    if (b2) f.template operator()<true, true>();
    else f.template operator()<true, false>();
  } else {
    if (b2) f.template operator()<false, true>();
    else f.template operator()<false, false>();
  }
}

// ---- vectorised gradients -------------------------------------------------------------------
// The factors of a block of elements are computed in lanes; dx is stored per lane, a
// per-element parameter's term is added in place, and a one-value parameter's terms are added to
// its running sum in increasing index order, exactly as the element-wise loop adds them, or
// stored for a pooled loop to add in that order (ordered_gradient, univariate.hpp). `Factors`
// gives the per-element factors twice, for lanes and for one element, by the same formula.

template <typename T, bool B1, bool B2, typename Factors>
struct GradientBody {
  const T* x;
  const T* p1;
  const T* p2;
  const T* g;
  T* dx;
  T* dp1;
  T* dp2;
  Factors factors;

  // Elements [begin, end), each one-value parameter's terms added to its running sum (carried in
  // a register) as they are formed.
  template <size_t Bytes>
  [[gnu::always_inline]] void run(size_t begin, size_t end, Sums<T, 2>& sums) const {
    using S = Simd<T, Bytes>;
    using V = typename S::V;
    const T* const xs = x;
    const T* const as = p1;
    const T* const bs = p2;
    const T* const gs = g;
    T* const dxs = dx;
    T* const d1 = dp1;
    T* const d2 = dp2;
    T acc1 = sums[0];
    T acc2 = sums[1];
    size_t i = begin;
    for (; end - i >= S::width; i += S::width) {
      const auto t = factors.template lanes<S>(S::load(xs + i), S::template lanes<B1>(as, i),
                                               S::template lanes<B2>(bs, i));
      const V gv = S::load(gs + i);
      S::store(dxs + i, t[0] * gv);
      const V q1 = t[1] * gv;
      const V q2 = t[2] * gv;
      if constexpr (B1) {
        for (size_t k = 0; k < S::width; ++k) acc1 = acc1 + q1[k];
      } else {
        S::store(d1 + i, S::load(d1 + i) + q1);
      }
      if constexpr (B2) {
        for (size_t k = 0; k < S::width; ++k) acc2 = acc2 + q2[k];
      } else {
        S::store(d2 + i, S::load(d2 + i) + q2);
      }
    }
    for (; i < end; ++i) {
      const std::array<T, 3> t = factors.scalar(xs[i], as[pick<B1>(i)], bs[pick<B2>(i)]);
      const T gi = gs[i];
      dxs[i] = t[0] * gi;
      if constexpr (B1) acc1 = acc1 + t[1] * gi;
      else d1[i] = d1[i] + t[1] * gi;
      if constexpr (B2) acc2 = acc2 + t[2] * gi;
      else d2[i] = d2[i] + t[2] * gi;
    }
    sums = {acc1, acc2};
  }

  // Elements [begin, end), each one-value parameter's terms stored at terms[k][i - begin].
  template <size_t Bytes>
  [[gnu::always_inline]] void run(size_t begin, size_t end, const Terms<T, 2>& terms) const {
    using S = Simd<T, Bytes>;
    using V = typename S::V;
    const T* const xs = x;
    const T* const as = p1;
    const T* const bs = p2;
    const T* const gs = g;
    T* const dxs = dx;
    // Element i's slot j = i - begin: its stored term, or its own cotangent element.
    T* const o1 = B1 ? terms[0] : dp1 + begin;
    T* const o2 = B2 ? terms[1] : dp2 + begin;
    size_t i = begin;
    for (; end - i >= S::width; i += S::width) {
      const size_t j = i - begin;
      const auto t = factors.template lanes<S>(S::load(xs + i), S::template lanes<B1>(as, i),
                                               S::template lanes<B2>(bs, i));
      const V gv = S::load(gs + i);
      S::store(dxs + i, t[0] * gv);
      const V q1 = t[1] * gv;
      const V q2 = t[2] * gv;
      if constexpr (B1) S::store(o1 + j, q1);
      else S::store(o1 + j, S::load(o1 + j) + q1);
      if constexpr (B2) S::store(o2 + j, q2);
      else S::store(o2 + j, S::load(o2 + j) + q2);
    }
    for (; i < end; ++i) {
      const size_t j = i - begin;
      const std::array<T, 3> t = factors.scalar(xs[i], as[pick<B1>(i)], bs[pick<B2>(i)]);
      const T gi = gs[i];
      dxs[i] = t[0] * gi;
      if constexpr (B1) o1[j] = t[1] * gi;
      else o1[j] = o1[j] + t[1] * gi;
      if constexpr (B2) o2[j] = t[2] * gi;
      else o2[j] = o2[j] + t[2] * gi;
    }
  }
};

// Runs a two-parameter gradient after the frame's checks and zero fill, its blocks at the level
// active when the call starts.
template <typename T, typename Factors>
void vector_gradient(const GradientCall<T, 2>& c, const Factors& factors) {
  cpu::dispatch<kWidestLanes>([&]<cpu::Level L>() {
    dispatch2(c.p[0].broadcast(), c.p[1].broadcast(), [&]<bool B1, bool B2>() {
      const GradientBody<T, B1, B2, Factors> body{c.x,     c.p[0].data,  c.p[1].data, c.g,
                                                  c.dx,    c.dp[0].data, c.dp[1].data, factors};
      // Under the frame's checks a one-value parameter has a one-value cotangent.
      const std::array<T*, 2> sums{B1 ? c.dp[0].data : nullptr, B2 ? c.dp[1].data : nullptr};
      ordered_gradient<T, 2>(c.n, sums, [&](size_t begin, size_t end, auto& out) {
        run_lanes<L>(body, begin, end, out);
      });
    });
  });
}

// A function of one parameter's value: evaluated once when the parameter holds one value (the
// same for every element), else per element.
template <typename T>
class Hoisted {
 public:
  template <typename F>
  Hoisted(const Param<T>& p, F f) : fn_(f), shared_(p.broadcast()) {
    if (shared_) value_ = f(p.data[0]);
  }
  T operator()(T v) const { return shared_ ? value_ : fn_(v); }

 private:
  T (*fn_)(T);
  bool shared_;
  T value_ = T(0);
};

}  // namespace mirelon::density
