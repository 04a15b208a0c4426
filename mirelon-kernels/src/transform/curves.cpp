// Decay, logistic, periodic and 2-D table curves, forward and gradient. The element loops run on
// the thread pool; a gradient slot that several elements add into takes their terms in increasing
// element order (see element_loop.hpp).
#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>

#include "numeric.hpp"
#include "param.hpp"
#include "targets.hpp"
#include "transform/element_loop.hpp"
#include "transform/knots.hpp"

namespace mirelon {

namespace curves_detail {

// A per-element operand (parameter or its gradient) holds one value or at least n.
constexpr LengthRule kPerElement = LengthRule::one_or_at_least;

// ---- decay ----

enum : uint8_t { kExponential = 0, kPowerLaw = 1 };

// The kind code: the first element widened to 64-bit, held to [0, 255] and truncated toward zero,
// NaN giving 0. The caller has checked that the operand is not empty.
template <typename T>
uint8_t decay_kind(const KernelBuffer& b) {
  const uint64_t code = saturating_to_u64(static_cast<double>(static_cast<const T*>(b.data)[0]));
  return static_cast<uint8_t>(code > 255 ? 255 : code);
}

inline bool check_kind_present(KernelResult& r, const KernelBuffer& b) {
  if (element_count(b) >= 1) return true;
  r.fail("decay kind operand is empty");
  return false;
}

inline void fail_unknown_kind(KernelResult& r, uint8_t code) {
  r.fail(message("unknown decay kind ", static_cast<unsigned>(code)));
}

// Floor of the power-law time; a NaN time takes the floor. In 32-bit the single-precision value
// nearest to 1e-9.
template <typename T>
inline T floored_time(T t) {
  return max_ignoring_nan(t, static_cast<T>(1e-9));
}

// ---- logistic ----

// The midpoint, rate and ceiling (inputs 1 to 3).
inline bool check_logistic_parameters(KernelResult& r, const KernelBuffer* inputs, size_t n) {
  return check_operand_length(r, inputs[1], n, kPerElement, "logistic midpoint") &&
         check_operand_length(r, inputs[2], n, kPerElement, "logistic rate") &&
         check_operand_length(r, inputs[3], n, kPerElement, "logistic ceiling");
}

// ---- periodic ----

// Frequency factor of harmonic k: k * 2*pi in the working precision (the 32-bit copy forms k in
// single precision by way of a 64-bit conversion and uses the single-precision 2*pi).
template <typename T>
inline T harmonic_factor(size_t k) {
  return static_cast<T>(static_cast<double>(k)) * static_cast<T>(6.283185307179586);
}

// ---- table2d ----

// Locates query i (x[i], y[i]) on both axes and calls f(i, ix, fx, iy, fy) for every i in
// [begin, end) in ascending order. Queries are taken in blocks of kKnotLanes, located together;
// the remainder one by one, with the same cells and fractions.
template <typename T, typename F>
[[gnu::always_inline]] inline void for_each_table_cell(const T* x, const T* y, size_t begin,
                                                      size_t end, const T* xs, size_t nx,
                                                      const T* ys, size_t ny, F&& f) {
  const size_t x_steps = transform::knot_search_steps(nx);
  const size_t y_steps = transform::knot_search_steps(ny);
  constexpr size_t W = transform::kKnotLanes;
  size_t i = begin;
  for (; end - i >= W; i += W) {
    size_t ix[W], iy[W];
    T fx[W], fy[W];
    transform::knot_interval_lanes<W>(xs, nx, x_steps, &x[i], ix, fx);
    transform::knot_interval_lanes<W>(ys, ny, y_steps, &y[i], iy, fy);
    for (size_t w = 0; w < W; ++w) f(i + w, ix[w], fx[w], iy[w], fy[w]);
  }
  for (; i < end; ++i) {
    const auto [ix, fx] = transform::knot_interval(xs, nx, x_steps, x[i]);
    const auto [iy, fy] = transform::knot_interval(ys, ny, y_steps, y[i]);
    f(i, ix, fx, iy, fy);
  }
}

}  // namespace curves_detail

using namespace curves_detail;
using transform::add_terms_together;
using transform::Chunks;
using transform::for_blocks;
using transform::for_chunks;
using transform::OrderedGrad;

// The pool bodies below first copy what they read into locals, which the compiler can keep in
// registers (a captured reference is read again after every library call).

// ------------------------------------------------------------------------------------------------
// Decay: exp(-t / tau) or max(t, 1e-9)^(-alpha).

template <typename T>
void decay_fwd(KernelResult& result, const KernelBuffer* inputs, size_t,
               const KernelBuffer* outputs, size_t) {
  const auto t = input_span<T>(inputs[0]);
  const size_t n = t.size();
  if (!check_length(result, outputs[0], n, "output length mismatch")) return;
  if (!check_kind_present(result, inputs[2])) return;
  if (n == 0) return;
  const uint8_t kind = decay_kind<T>(inputs[2]);
  if (kind != kExponential && kind != kPowerLaw) return fail_unknown_kind(result, kind);
  // The parameter is first read below; an unknown kind is reported before its length.
  if (!check_operand_length(result, inputs[1], n, kPerElement, "decay parameter")) return;
  T* const out = output_span<T>(outputs[0]).data();
  const T* const time = t.data();
  const Param<T> param = Param<T>::of(inputs[1]);
  const size_t block = transform::block_elements(1);
  if (kind == kExponential) {
    for_blocks(0, n, block, [&](size_t first, size_t last) {
      const T* const t = time;
      const Param<T> p = param;
      T* const y = out;
      for (size_t i = first; i < last; ++i) y[i] = std::exp(-t[i] / p[i]);
    });
    return;
  }
  if (param.broadcast()) {
    const T neg_alpha_value = -param[0];
    for_blocks(0, n, block, [&](size_t first, size_t last) {
      const T* const t = time;
      const T neg_alpha = neg_alpha_value;
      T* const y = out;
      for (size_t i = first; i < last; ++i) y[i] = std::pow(floored_time(t[i]), neg_alpha);
    });
    return;
  }
  for_blocks(0, n, block, [&](size_t first, size_t last) {
    const T* const t = time;
    const Param<T> p = param;
    T* const y = out;
    for (size_t i = first; i < last; ++i) y[i] = std::pow(floored_time(t[i]), -p[i]);
  });
}

template <typename T>
void decay_vjp(KernelResult& result, const KernelBuffer* inputs, size_t,
               const KernelBuffer* outputs, size_t) {
  const auto t = input_span<T>(inputs[0]);
  const auto g = input_span<T>(inputs[2]);
  const size_t n = t.size();
  if (!transform::check_cotangent(result, inputs[2], outputs[0], n)) return;
  if (!check_operand_length(result, inputs[1], n, kPerElement, "decay parameter")) return;
  if (!check_kind_present(result, inputs[3])) return;
  if (!check_operand_length(result, outputs[1], n, kPerElement, "decay parameter gradient")) return;
  zero_fill<T>(outputs[1]);
  if (n == 0) return;
  const uint8_t kind = decay_kind<T>(inputs[3]);
  if (kind != kExponential && kind != kPowerLaw) return fail_unknown_kind(result, kind);
  T* const dtime = output_span<T>(outputs[0]).data();
  const T* const time = t.data();
  const T* const cot = g.data();
  const Param<T> param = Param<T>::of(inputs[1]);
  const ParamGrad<T> dparam = ParamGrad<T>::of(outputs[1]);
  const Chunks chunks(n, 1, dparam.summed() ? 1 : 0);
  transform::Scratch<T> terms(dparam.summed() ? chunks.rows : 0);
  // element(t, p, g) gives element i's time gradient and its parameter term, which `combine`
  // takes into the parameter gradient.
  const auto run = [&](auto combine, auto element) {
    const OrderedGrad dp_terms(dparam, terms.get(), chunks.mask, combine);
    for_chunks(
        chunks, n,
        [&](size_t first, size_t last) {
          const T* const t = time;
          const T* const g = cot;
          const Param<T> p = param;
          T* const dt = dtime;
          const auto dp = dp_terms;
          for (size_t i = first; i < last; ++i) {
            const auto [d, term] = element(t[i], p[i], g[i]);
            dt[i] = d;
            dp.put(i, term);
          }
        },
        [&dp_terms](size_t begin, size_t end) { add_terms_together(begin, end, dp_terms); });
  };
  if (kind == kExponential) {
    return run([](T s, T v) { return s + v; },
               [](T t, T tau, T g) {
                 const T e = std::exp(-t / tau);
                 return std::pair<T, T>((-e / tau) * g, ((t * e) / (tau * tau)) * g);
               });
  }
  run([](T s, T v) { return s - v; },
      [](T t, T p, T g) {
        const T c = floored_time(t);
        const T a = -p;
        const T y = std::pow(c, a);
        return std::pair<T, T>(((a * y) / c) * g, g * (std::log(c) * y));
      });
}

// ------------------------------------------------------------------------------------------------
// Logistic: L / (exp(-(t - t0) * k) + 1).

template <typename T>
void logistic_fwd(KernelResult& result, const KernelBuffer* inputs, size_t,
                  const KernelBuffer* outputs, size_t) {
  const auto t = input_span<T>(inputs[0]);
  const size_t n = t.size();
  if (!check_length(result, outputs[0], n, "output length mismatch")) return;
  if (!check_logistic_parameters(result, inputs, n)) return;
  if (n == 0) return;
  T* const out = output_span<T>(outputs[0]).data();
  const T* const time = t.data();
  const Param<T> midpoint = Param<T>::of(inputs[1]);
  const Param<T> rate = Param<T>::of(inputs[2]);
  const Param<T> ceiling = Param<T>::of(inputs[3]);
  for_blocks(0, n, transform::block_elements(1), [&](size_t first, size_t last) {
    const T* const t = time;
    const Param<T> t0 = midpoint;
    const Param<T> k = rate;
    const Param<T> level = ceiling;
    T* const y = out;
    // In blocks: first the exponentials (library calls), then the divisions, which the compiler
    // is free to pair up in vector registers; each element's value is the element-wise one.
    constexpr size_t B = 64;
    T e[B];
    for (size_t start = first; start < last; start += B) {
      const size_t len = last - start < B ? last - start : B;
      for (size_t j = 0; j < len; ++j) {
        const size_t i = start + j;
        const T d = t[i] - t0[i];
        e[j] = std::exp((-d) * k[i]);
      }
      for (size_t j = 0; j < len; ++j) y[start + j] = level[start + j] / (e[j] + T(1));
    }
  });
}

template <typename T>
void logistic_vjp(KernelResult& result, const KernelBuffer* inputs, size_t,
                  const KernelBuffer* outputs, size_t) {
  const auto t = input_span<T>(inputs[0]);
  const auto g = input_span<T>(inputs[4]);
  const size_t n = t.size();
  if (!transform::check_cotangent(result, inputs[4], outputs[0], n)) return;
  if (!check_logistic_parameters(result, inputs, n)) return;
  if (!check_operand_length(result, outputs[1], n, kPerElement,
                            "logistic midpoint gradient"))
    return;
  if (!check_operand_length(result, outputs[2], n, kPerElement, "logistic rate gradient")) return;
  if (!check_operand_length(result, outputs[3], n, kPerElement,
                            "logistic ceiling gradient"))
    return;
  zero_fill<T>(outputs[1]);
  zero_fill<T>(outputs[2]);
  zero_fill<T>(outputs[3]);
  if (n == 0) return;
  T* const dtime = output_span<T>(outputs[0]).data();
  const T* const time = t.data();
  const T* const cot = g.data();
  const Param<T> midpoint = Param<T>::of(inputs[1]);
  const Param<T> rate = Param<T>::of(inputs[2]);
  const Param<T> ceiling = Param<T>::of(inputs[3]);
  const ParamGrad<T> slots[3] = {ParamGrad<T>::of(outputs[1]), ParamGrad<T>::of(outputs[2]),
                                 ParamGrad<T>::of(outputs[3])};
  const size_t summed = slots[0].summed() + slots[1].summed() + slots[2].summed();
  const Chunks chunks(n, 1, summed);
  transform::Scratch<T> terms(summed * chunks.rows);
  T* next = terms.get();
  const auto terms_of = [&](const ParamGrad<T>& slot) {
    return slot.summed() ? std::exchange(next, next + chunks.rows) : nullptr;
  };
  const auto add = [](T s, T v) { return s + v; };
  const OrderedGrad dmidpoint(slots[0], terms_of(slots[0]), chunks.mask,
                              [](T s, T v) { return s - v; });
  const OrderedGrad drate(slots[1], terms_of(slots[1]), chunks.mask, add);
  const OrderedGrad dceiling(slots[2], terms_of(slots[2]), chunks.mask, add);
  for_chunks(
      chunks, n,
      [&](size_t begin, size_t end) {
        const T* const t = time;
        const T* const g = cot;
        const Param<T> t0 = midpoint;
        const Param<T> k = rate;
        const Param<T> level = ceiling;
        T* const dt = dtime;
        const auto dt0 = dmidpoint;
        const auto dk = drate;
        const auto dlevel = dceiling;
        for (size_t i = begin; i < end; ++i) {
          const T gi = g[i];
          const T ki = k[i];
          const T d = t[i] - t0[i];
          const T e = std::exp((-d) * ki);
          const T s = T(1) / (e + T(1));
          const T c = (level[i] * gi) * ((T(1) - s) * s);
          const T kc = ki * c;
          dt[i] = kc;
          dt0.put(i, kc);
          dk.put(i, d * c);
          dlevel.put(i, gi * s);
        }
      },
      [&](size_t begin, size_t end) {
        add_terms_together(begin, end, dmidpoint, drate, dceiling);
      });
}

// ------------------------------------------------------------------------------------------------
// Periodic: c + sum over k = 1..K of a_k cos(2 pi k t / P - phi_k).

template <typename T>
void periodic_fwd(KernelResult& result, const KernelBuffer* inputs, size_t,
                  const KernelBuffer* outputs, size_t) {
  const auto t = input_span<T>(inputs[0]);
  const auto a = input_span<T>(inputs[2]);
  const auto phi = input_span<T>(inputs[3]);
  const size_t n = t.size();
  const size_t harmonics = a.size();
  if (!check_length(result, inputs[3], harmonics, "periodic shape mismatch") ||
      !check_length(result, outputs[0], n, "periodic shape mismatch"))
    return;
  if (!check_operand_length(result, inputs[1], n, kPerElement, "periodic period")) return;
  if (!check_operand_length(result, inputs[4], n, kPerElement, "periodic offset")) return;
  if (n == 0) return;
  T* const out = output_span<T>(outputs[0]).data();
  const T* const time = t.data();
  const T* const amplitude = a.data();
  const T* const phase = phi.data();
  const Param<T> period = Param<T>::of(inputs[1]);
  const Param<T> offset = Param<T>::of(inputs[4]);
  for_blocks(0, n, transform::block_elements(harmonics), [&](size_t first, size_t last) {
    const T* const tv = time;
    const T* const av = amplitude;
    const T* const phv = phase;
    const Param<T> pp = period;
    const Param<T> cp = offset;
    const size_t h = harmonics;
    T* const y = out;
    // Harmonics in groups: the arguments, then the cosines (library calls, with little else live
    // across them), then the products added to the sum in increasing order of harmonic. An
    // element's harmonics are taken together: the library's cos runs markedly slower when
    // consecutive calls jump from element to element.
    constexpr size_t G = 32;
    T v[G];
    for (size_t i = first; i < last; ++i) {
      const T p = pp[i];
      const T ti = tv[i];
      T s = cp[i];
      for (size_t k0 = 1; k0 <= h; k0 += G) {
        const size_t len = h - k0 + 1 < G ? h - k0 + 1 : G;
        const T* const phk = phv + (k0 - 1);
        for (size_t j = 0; j < len; ++j) v[j] = (harmonic_factor<T>(k0 + j) * ti) / p - phk[j];
        for (size_t j = 0; j < len; ++j) v[j] = std::cos(v[j]);
        const T* const ak = av + (k0 - 1);
        for (size_t j = 0; j < len; ++j) s = v[j] * ak[j] + s;
      }
      y[i] = s;
    }
  });
}

template <typename T>
void periodic_vjp(KernelResult& result, const KernelBuffer* inputs, size_t,
                  const KernelBuffer* outputs, size_t) {
  const auto t = input_span<T>(inputs[0]);
  const auto a = input_span<T>(inputs[2]);
  const auto g = input_span<T>(inputs[4]);
  const size_t n = t.size();
  const size_t harmonics = a.size();
  if (!transform::check_cotangent(result, inputs[4], outputs[0], n)) return;
  if (!check_operand_length(result, inputs[1], n, kPerElement, "periodic period")) return;
  if (!check_operand_length(result, inputs[3], harmonics, LengthRule::at_least,
                            "periodic phases"))
    return;
  if (!check_operand_length(result, outputs[1], harmonics, LengthRule::at_least,
                            "periodic amplitude gradient"))
    return;
  if (!check_operand_length(result, outputs[2], harmonics, LengthRule::at_least,
                            "periodic phase gradient"))
    return;
  if (!check_operand_length(result, outputs[3], n, kPerElement, "periodic offset gradient")) return;
  zero_fill<T>(outputs[1]);
  zero_fill<T>(outputs[2]);
  zero_fill<T>(outputs[3]);
  if (n == 0) return;
  const T* const time = t.data();
  const T* const amplitude = a.data();
  const T* const cot = g.data();
  const T* const phase = input_span<T>(inputs[3]).data();
  T* const dtime = output_span<T>(outputs[0]).data();
  T* const da = output_span<T>(outputs[1]).data();
  T* const dphi = output_span<T>(outputs[2]).data();
  const Param<T> period = Param<T>::of(inputs[1]);
  const ParamGrad<T> doffset = ParamGrad<T>::of(outputs[3]);
  // Every element adds a term into each amplitude and phase slot: the workers store element i's
  // terms in row i & mask of two tables, and the sums take the rows in order. The offset's terms
  // are the cotangents themselves.
  const Chunks chunks(n, harmonics, 2 * harmonics);
  transform::Scratch<T> terms(2 * harmonics * chunks.rows);
  T* const da_terms = terms.get();
  T* const dphi_terms = da_terms + harmonics * chunks.rows;
  for_chunks(
      chunks, n,
      [&](size_t begin, size_t end) {
        const T* const tv = time;
        const T* const av = amplitude;
        const T* const phv = phase;
        const T* const gv = cot;
        const Param<T> pp = period;
        const ParamGrad<T> dc = doffset;
        const size_t h = harmonics;
        const size_t mask = chunks.mask;
        T* const dt = dtime;
        T* const da_rows = da_terms;
        T* const dphi_rows = dphi_terms;
        // Harmonics in groups, as in the forward: the angles, the library calls, then the rest.
        constexpr size_t G = 32;
        T w[G], sn[G], cs[G];
        for (size_t i = begin; i < end; ++i) {
          const T p = pp[i];
          const T ti = tv[i];
          const T gi = gv[i];
          T* const da_row = da_rows + (i & mask) * h;
          T* const dphi_row = dphi_rows + (i & mask) * h;
          T r = T(0);
          for (size_t k0 = 1; k0 <= h; k0 += G) {
            const size_t len = h - k0 + 1 < G ? h - k0 + 1 : G;
            const T* const ak = av + (k0 - 1);
            for (size_t j = 0; j < len; ++j) w[j] = harmonic_factor<T>(k0 + j) / p;
            for (size_t j = 0; j < len; ++j) sn[j] = ti * w[j] - phv[k0 - 1 + j];
            for (size_t j = 0; j < len; ++j) sin_cos(sn[j], sn[j], cs[j]);
            for (size_t j = 0; j < len; ++j) {
              da_row[k0 - 1 + j] = cs[j] * gi;
              dphi_row[k0 - 1 + j] = (ak[j] * gi) * sn[j];
            }
            for (size_t j = 0; j < len; ++j) r = r - w[j] * (sn[j] * ak[j]);
          }
          dt[i] = r * gi;
          if (!dc.summed()) dc[i] = gi + dc[i];
        }
      },
      [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
          const T* const da_row = da_terms + (i & chunks.mask) * harmonics;
          const T* const dphi_row = dphi_terms + (i & chunks.mask) * harmonics;
          for (size_t k = 0; k < harmonics; ++k) {
            da[k] = da_row[k] + da[k];
            dphi[k] = dphi_row[k] + dphi[k];
          }
        }
        if (doffset.summed()) {
          T s = doffset[0];
          for (size_t i = begin; i < end; ++i) s = cot[i] + s;
          doffset[0] = s;
        }
      });
}

// ------------------------------------------------------------------------------------------------
// Two-dimensional table: bilinear interpolation on a rectilinear grid, T[j * nx + i] at
// (xs[i], ys[j]).

namespace curves_detail {

inline bool check_table_knots(KernelResult& r, size_t nx, size_t ny) {
  if (nx >= 2 && ny >= 2) return true;
  r.fail(message("table2d needs at least 2 knots on each axis (x: ", nx, ", y: ", ny, ")"));
  return false;
}

}  // namespace curves_detail

template <typename T>
void table2d_fwd(KernelResult& result, const KernelBuffer* inputs, size_t,
                 const KernelBuffer* outputs, size_t) {
  const auto x = input_span<T>(inputs[0]);
  const auto yq = input_span<T>(inputs[1]);
  const auto xs = input_span<T>(inputs[2]);
  const auto ys = input_span<T>(inputs[3]);
  const auto table = input_span<T>(inputs[4]);
  const size_t n = x.size();
  const size_t nx = xs.size();
  const size_t ny = ys.size();
  const std::optional<size_t> cells = checked_size(ny, nx);  // empty when it does not fit
  if (!check_length(result, inputs[4], cells, "table2d shape mismatch") ||
      !check_length(result, inputs[1], n, "table2d shape mismatch") ||
      !check_length(result, outputs[0], n, "table2d shape mismatch"))
    return;
  if (n == 0) return;
  if (!check_table_knots(result, nx, ny)) return;
  T* const z = output_span<T>(outputs[0]).data();
  const T* const tab = table.data();
  const auto value = [&](size_t i, size_t ix, T fx, size_t iy, T fy)
                         __attribute__((always_inline)) {
    const T one = T(1);
    const size_t r0 = iy * nx + ix;
    const size_t r1 = r0 + nx;
    const T d = (tab[r0] * (one - fy)) * (one - fx);
    const T c = ((one - fy) * tab[r0 + 1]) * fx;
    const T b = (tab[r1] * fy) * (one - fx);
    const T a = (tab[r1 + 1] * fy) * fx;
    z[i] = ((d + c) + b) + a;
  };
  for_blocks(0, n, transform::block_elements(1), [&](size_t begin, size_t end) {
    for_each_table_cell(x.data(), yq.data(), begin, end, xs.data(), nx, ys.data(), ny, value);
  });
}

template <typename T>
void table2d_vjp(KernelResult& result, const KernelBuffer* inputs, size_t,
                 const KernelBuffer* outputs, size_t) {
  const auto x = input_span<T>(inputs[0]);
  const auto g = input_span<T>(inputs[5]);
  const size_t n = x.size();
  if (!check_length(result, inputs[5], n, "cotangent length mismatch")) return;
  const size_t nx = element_count(inputs[2]);
  const size_t ny = element_count(inputs[3]);
  const std::optional<size_t> cells = checked_size(ny, nx);  // empty when it does not fit
  if (!check_operand_length(result, inputs[1], n, LengthRule::exactly, "table2d query y")) return;
  if (n > 0 && !check_table_knots(result, nx, ny)) return;
  if (!check_operand_length(result, inputs[4], cells, LengthRule::exactly, "table2d table")) return;
  if (!check_operand_length(result, outputs[0], n, LengthRule::exactly,
                            "table2d x gradient"))
    return;
  if (!check_operand_length(result, outputs[1], n, LengthRule::exactly,
                            "table2d y gradient"))
    return;
  if (!check_operand_length(result, outputs[2], cells, LengthRule::exactly,
                            "table2d table gradient"))
    return;
  zero_fill<T>(outputs[2]);
  if (n == 0) return;
  const auto yq = input_span<T>(inputs[1]);
  const auto xs = input_span<T>(inputs[2]);
  const auto ys = input_span<T>(inputs[3]);
  const auto table = input_span<T>(inputs[4]);
  const auto dx = output_span<T>(outputs[0]);
  const auto dy = output_span<T>(outputs[1]);
  T* const dtable = output_span<T>(outputs[2]).data();
  // Query i adds a term into each corner of its cell: the workers store the cell and the four
  // terms in row i & mask, and the sums take the rows in ascending order of i.
  const Chunks chunks(n, 1, 5);
  const size_t mask = chunks.mask;
  transform::Scratch<size_t> cell_scratch(chunks.rows);
  transform::Scratch<T> term_scratch(4 * chunks.rows);
  size_t* const cell_of = cell_scratch.get();
  T* const terms = term_scratch.get();
  const auto contribute = [&](size_t i, size_t ix, T fx, size_t iy, T fy)
                              __attribute__((always_inline)) {
    const T one = T(1);
    const T guard = transform::kSpacingGuard<T>;
    const T gi = g[i];
    const size_t r0 = iy * nx + ix;
    const size_t r1 = r0 + nx;
    const T t00 = table[r0], t01 = table[r0 + 1], t10 = table[r1], t11 = table[r1 + 1];
    const T u = gi * (one - fy);
    const T w = fy * gi;
    T* const q = &terms[4 * (i & mask)];
    cell_of[i & mask] = r0;
    q[0] = (one - fx) * u;
    q[1] = u * fx;
    q[2] = (one - fx) * w;
    q[3] = w * fx;
    dx[i] = ((fy * (t11 - t10) + (one - fy) * (t01 - t00)) * gi) /
            ((xs[ix + 1] - xs[ix]) + guard);
    dy[i] = (gi * (fx * (t11 - t01) + (one - fx) * (t10 - t00))) /
            ((ys[iy + 1] - ys[iy]) + guard);
  };
  for_chunks(
      chunks, n,
      [&](size_t begin, size_t end) {
        for_each_table_cell(x.data(), yq.data(), begin, end, xs.data(), nx, ys.data(), ny,
                            contribute);
      },
      [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
          const size_t r0 = cell_of[i & mask];
          const size_t r1 = r0 + nx;
          const T* const q = &terms[4 * (i & mask)];
          dtable[r0] = dtable[r0] + q[0];
          dtable[r0 + 1] = dtable[r0 + 1] + q[1];
          dtable[r1] = dtable[r1] + q[2];
          dtable[r1 + 1] = dtable[r1 + 1] + q[3];
        }
      });
}

MIRELON_INSTANTIATE_KERNEL(decay_fwd);
MIRELON_INSTANTIATE_KERNEL(decay_vjp);
MIRELON_INSTANTIATE_KERNEL(logistic_fwd);
MIRELON_INSTANTIATE_KERNEL(logistic_vjp);
MIRELON_INSTANTIATE_KERNEL(periodic_fwd);
MIRELON_INSTANTIATE_KERNEL(periodic_vjp);
MIRELON_INSTANTIATE_KERNEL(table2d_fwd);
MIRELON_INSTANTIATE_KERNEL(table2d_vjp);

}  // namespace mirelon
