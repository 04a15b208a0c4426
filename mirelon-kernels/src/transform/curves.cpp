// Decay, logistic, periodic and 2-D table curves, forward and gradient. Every kernel runs on the
// calling thread in one pass over its n elements.
#include <cmath>
#include <cstdint>
#include <optional>

#include "numeric.hpp"
#include "param.hpp"
#include "targets.hpp"
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

// ---- periodic ----

// Frequency factor of harmonic k: k * 2*pi in the working precision (the 32-bit copy forms k in
// single precision by way of a 64-bit conversion and uses the single-precision 2*pi).
template <typename T>
inline T harmonic_factor(size_t k) {
  return static_cast<T>(static_cast<double>(k)) * static_cast<T>(6.283185307179586);
}


// ---- table2d ----

// Locates query i (x[i], y[i]) on both axes and calls f(i, ix, fx, iy, fy) for every i in
// ascending order. Queries are taken in blocks of kKnotLanes, located together; the remainder
// one by one, with the same cells and fractions.
template <typename T, typename F>
inline void for_each_table_cell(const T* x, const T* y, size_t n, const T* xs, size_t nx,
                                const T* ys, size_t ny, F&& f) {
  const size_t x_steps = transform::knot_search_steps(nx);
  const size_t y_steps = transform::knot_search_steps(ny);
  constexpr size_t W = transform::kKnotLanes;
  size_t i = 0;
  for (; i + W <= n; i += W) {
    size_t ix[W], iy[W];
    T fx[W], fy[W];
    transform::knot_interval_lanes<W>(xs, nx, x_steps, &x[i], ix, fx);
    transform::knot_interval_lanes<W>(ys, ny, y_steps, &y[i], iy, fy);
    for (size_t w = 0; w < W; ++w) f(i + w, ix[w], fx[w], iy[w], fy[w]);
  }
  for (; i < n; ++i) {
    const auto [ix, fx] = transform::knot_interval(xs, nx, x_steps, x[i]);
    const auto [iy, fy] = transform::knot_interval(ys, ny, y_steps, y[i]);
    f(i, ix, fx, iy, fy);
  }
}

}  // namespace curves_detail

using namespace curves_detail;

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
  const auto y = output_span<T>(outputs[0]);
  const Param<T> p = Param<T>::of(inputs[1]);
  if (kind == kExponential) {
    for (size_t i = 0; i < n; ++i) y[i] = std::exp(-t[i] / p[i]);
    return;
  }
  if (p.broadcast()) {
    const T neg_alpha = -p[0];
    for (size_t i = 0; i < n; ++i) y[i] = std::pow(floored_time(t[i]), neg_alpha);
    return;
  }
  for (size_t i = 0; i < n; ++i) y[i] = std::pow(floored_time(t[i]), -p[i]);
}

template <typename T>
void decay_vjp(KernelResult& result, const KernelBuffer* inputs, size_t,
               const KernelBuffer* outputs, size_t) {
  const auto t = input_span<T>(inputs[0]);
  const auto g = input_span<T>(inputs[2]);
  const size_t n = t.size();
  if (!check_length(result, inputs[2], n, "cotangent length mismatch") ||
      !check_length(result, outputs[0], n, "cotangent length mismatch"))
    return;
  if (!check_operand_length(result, inputs[1], n, kPerElement, "decay parameter")) return;
  if (!check_kind_present(result, inputs[3])) return;
  if (!check_operand_length(result, outputs[1], n, kPerElement, "decay parameter gradient")) return;
  zero_fill<T>(outputs[1]);
  if (n == 0) return;
  const uint8_t kind = decay_kind<T>(inputs[3]);
  if (kind != kExponential && kind != kPowerLaw) return fail_unknown_kind(result, kind);
  const auto dt = output_span<T>(outputs[0]);
  const Param<T> p = Param<T>::of(inputs[1]);
  const ParamGrad<T> dp = ParamGrad<T>::of(outputs[1]);
  if (kind == kExponential) {
    for (size_t i = 0; i < n; ++i) {
      const T tau = p[i];
      const T e = std::exp(-t[i] / tau);
      dt[i] = (-e / tau) * g[i];
      dp[i] = dp[i] + ((t[i] * e) / (tau * tau)) * g[i];
    }
    return;
  }
  for (size_t i = 0; i < n; ++i) {
    const T c = floored_time(t[i]);
    const T a = -p[i];
    const T y = std::pow(c, a);
    dt[i] = ((a * y) / c) * g[i];
    dp[i] = dp[i] - g[i] * (std::log(c) * y);
  }
}

// ------------------------------------------------------------------------------------------------
// Logistic: L / (exp(-(t - t0) * k) + 1).

template <typename T>
void logistic_fwd(KernelResult& result, const KernelBuffer* inputs, size_t,
                  const KernelBuffer* outputs, size_t) {
  const auto t = input_span<T>(inputs[0]);
  const size_t n = t.size();
  if (!check_length(result, outputs[0], n, "output length mismatch")) return;
  if (!check_operand_length(result, inputs[1], n, kPerElement, "logistic midpoint")) return;
  if (!check_operand_length(result, inputs[2], n, kPerElement, "logistic rate")) return;
  if (!check_operand_length(result, inputs[3], n, kPerElement, "logistic ceiling")) return;
  if (n == 0) return;
  const auto y = output_span<T>(outputs[0]);
  const Param<T> t0 = Param<T>::of(inputs[1]);
  const Param<T> k = Param<T>::of(inputs[2]);
  const Param<T> level = Param<T>::of(inputs[3]);
  // In blocks: first the exponentials (library calls), then the divisions, which the compiler
  // is free to pair up in vector registers; each element's value is the element-wise one.
  constexpr size_t B = 64;
  T e[B];
  for (size_t start = 0; start < n; start += B) {
    const size_t len = n - start < B ? n - start : B;
    for (size_t j = 0; j < len; ++j) {
      const size_t i = start + j;
      const T d = t[i] - t0[i];
      e[j] = std::exp((-d) * k[i]);
    }
    for (size_t j = 0; j < len; ++j) y[start + j] = level[start + j] / (e[j] + T(1));
  }
}

template <typename T>
void logistic_vjp(KernelResult& result, const KernelBuffer* inputs, size_t,
                  const KernelBuffer* outputs, size_t) {
  const auto t = input_span<T>(inputs[0]);
  const auto g = input_span<T>(inputs[4]);
  const size_t n = t.size();
  if (!check_length(result, inputs[4], n, "cotangent length mismatch") ||
      !check_length(result, outputs[0], n, "cotangent length mismatch"))
    return;
  if (!check_operand_length(result, inputs[1], n, kPerElement, "logistic midpoint")) return;
  if (!check_operand_length(result, inputs[2], n, kPerElement, "logistic rate")) return;
  if (!check_operand_length(result, inputs[3], n, kPerElement, "logistic ceiling")) return;
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
  const auto dt = output_span<T>(outputs[0]);
  const Param<T> t0 = Param<T>::of(inputs[1]);
  const Param<T> k = Param<T>::of(inputs[2]);
  const Param<T> level = Param<T>::of(inputs[3]);
  const ParamGrad<T> dt0 = ParamGrad<T>::of(outputs[1]);
  const ParamGrad<T> dk = ParamGrad<T>::of(outputs[2]);
  const ParamGrad<T> dlevel = ParamGrad<T>::of(outputs[3]);
  for (size_t i = 0; i < n; ++i) {
    const T gi = g[i];
    const T ki = k[i];
    const T d = t[i] - t0[i];
    const T e = std::exp((-d) * ki);
    const T s = T(1) / (e + T(1));
    const T c = (level[i] * gi) * ((T(1) - s) * s);
    const T kc = ki * c;
    dt[i] = kc;
    dt0[i] = dt0[i] - kc;
    dk[i] = dk[i] + d * c;
    dlevel[i] = dlevel[i] + gi * s;
  }
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
  const auto y = output_span<T>(outputs[0]);
  const Param<T> period = Param<T>::of(inputs[1]);
  const Param<T> offset = Param<T>::of(inputs[4]);
  for (size_t i = 0; i < n; ++i) {
    const T p = period[i];
    const T ti = t[i];
    T s = offset[i];
    for (size_t k = 1; k <= harmonics; ++k) {
      s = std::cos((harmonic_factor<T>(k) * ti) / p - phi[k - 1]) * a[k - 1] + s;
    }
    y[i] = s;
  }
}

template <typename T>
void periodic_vjp(KernelResult& result, const KernelBuffer* inputs, size_t,
                  const KernelBuffer* outputs, size_t) {
  const auto t = input_span<T>(inputs[0]);
  const auto a = input_span<T>(inputs[2]);
  const auto g = input_span<T>(inputs[4]);
  const size_t n = t.size();
  const size_t harmonics = a.size();
  if (!check_length(result, inputs[4], n, "cotangent length mismatch") ||
      !check_length(result, outputs[0], n, "cotangent length mismatch"))
    return;
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
  const auto phi = input_span<T>(inputs[3]);
  const auto dt = output_span<T>(outputs[0]);
  const auto da = output_span<T>(outputs[1]);
  const auto dphi = output_span<T>(outputs[2]);
  const Param<T> period = Param<T>::of(inputs[1]);
  const ParamGrad<T> dc = ParamGrad<T>::of(outputs[3]);
  for (size_t i = 0; i < n; ++i) {
    const T p = period[i];
    const T gi = g[i];
    T r = T(0);
    for (size_t k = 1; k <= harmonics; ++k) {
      const T w = harmonic_factor<T>(k) / p;
      const T theta = t[i] * w - phi[k - 1];
      T sn, cs;
      sin_cos(theta, sn, cs);
      da[k - 1] = cs * gi + da[k - 1];
      r = r - w * (sn * a[k - 1]);
      dphi[k - 1] = (a[k - 1] * gi) * sn + dphi[k - 1];
    }
    dt[i] = r * gi;
    dc[i] = gi + dc[i];
  }
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
  const auto z = output_span<T>(outputs[0]);
  for_each_table_cell(x.data(), yq.data(), n, xs.data(), nx, ys.data(), ny,
                      [&](size_t i, size_t ix, T fx, size_t iy, T fy) {
                        const T one = T(1);
                        const size_t r0 = iy * nx + ix;
                        const size_t r1 = r0 + nx;
                        const T d = (table[r0] * (one - fy)) * (one - fx);
                        const T c = ((one - fy) * table[r0 + 1]) * fx;
                        const T b = (table[r1] * fy) * (one - fx);
                        const T a = (table[r1 + 1] * fy) * fx;
                        z[i] = ((d + c) + b) + a;
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
  const auto dtable = output_span<T>(outputs[2]);
  // Query i's contribution; called in ascending order of i, so dT accumulates in that order.
  const auto accumulate = [&](size_t i, size_t ix, T fx, size_t iy, T fy) {
    const T one = T(1);
    const T guard = transform::kSpacingGuard<T>;
    const T gi = g[i];
    const size_t r0 = iy * nx + ix;
    const size_t r1 = r0 + nx;
    const T t00 = table[r0], t01 = table[r0 + 1], t10 = table[r1], t11 = table[r1 + 1];
    const T u = gi * (one - fy);
    const T w = fy * gi;
    dtable[r0] = dtable[r0] + (one - fx) * u;
    dtable[r0 + 1] = dtable[r0 + 1] + u * fx;
    dtable[r1] = dtable[r1] + (one - fx) * w;
    dtable[r1 + 1] = dtable[r1 + 1] + w * fx;
    dx[i] = ((fy * (t11 - t10) + (one - fy) * (t01 - t00)) * gi) /
            ((xs[ix + 1] - xs[ix]) + guard);
    dy[i] = (gi * (fx * (t11 - t01) + (one - fx) * (t10 - t00))) /
            ((ys[iy + 1] - ys[iy]) + guard);
  };
  for_each_table_cell(x.data(), yq.data(), n, xs.data(), nx, ys.data(), ny, accumulate);
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
