// Piecewise-linear curve through K knots, evaluated at n query points, and its gradient with
// respect to the queries.
#include "numeric.hpp"
#include "targets.hpp"
#include "transform/knots.hpp"

namespace mirelon {

namespace {

constexpr const char* kKnotsMessage = "need >= 2 knots with matching values";

// Value of the curve across interval i at fraction t: product first, left value added last.
template <typename T>
inline T pwl_value(const T* yk, size_t i, T t) {
  return (yk[i + 1] - yk[i]) * t + yk[i];
}

}  // namespace

template <typename T>
void pwl_fwd(KernelResult& result, const KernelBuffer* inputs, size_t, const KernelBuffer* outputs,
             size_t) {
  const auto x = input_span<T>(inputs[0]);
  const auto xk = input_span<T>(inputs[1]);
  const auto yk = input_span<T>(inputs[2]);
  const size_t n = x.size();
  const size_t k = xk.size();
  if (k < 2 || yk.size() != k) return result.fail(kKnotsMessage);
  if (!check_length(result, outputs[0], n, "output length mismatch")) return;
  if (n == 0) return;
  const auto y = output_span<T>(outputs[0]);
  const T* xs = xk.data();
  const T* ys = yk.data();
  if (k == 2) {
    // One interval: no search, a straight line held to the ends.
    const T lo = xs[0], hi = xs[1];
    const T width = (hi - lo) + transform::kSpacingGuard<T>;
    const T rise = ys[1] - ys[0];
    for (size_t q = 0; q < n; ++q) {
      const T c = min_ignoring_nan(max_ignoring_nan(x[q], lo), hi);
      y[q] = ((c - lo) / width) * rise + ys[0];
    }
    return;
  }
  const size_t steps = transform::knot_search_steps(k);
  // Blocks of queries searched in lockstep, then the remainder one by one; every query gets the
  // same value as on its own.
  constexpr size_t W = transform::kKnotLanes;
  size_t q = 0;
  for (; q + W <= n; q += W) {
    size_t lo[W];
    T t[W];
    transform::knot_interval_lanes<W>(xs, k, steps, &x[q], lo, t);
    for (size_t w = 0; w < W; ++w) y[q + w] = pwl_value(ys, lo[w], t[w]);
  }
  for (; q < n; ++q) {
    const auto [i, t] = transform::knot_interval(xs, k, steps, x[q]);
    y[q] = pwl_value(ys, i, t);
  }
}

template <typename T>
void pwl_vjp(KernelResult& result, const KernelBuffer* inputs, size_t, const KernelBuffer* outputs,
             size_t) {
  const auto x = input_span<T>(inputs[0]);
  const auto xk = input_span<T>(inputs[1]);
  const auto yk = input_span<T>(inputs[2]);
  const auto g = input_span<T>(inputs[3]);
  const size_t n = x.size();
  const size_t k = xk.size();
  if (!check_length(result, inputs[3], n, "cotangent length mismatch") ||
      !check_length(result, outputs[0], n, "cotangent length mismatch"))
    return;
  // The knots obey the forward's rule; only the first K values are read.
  if (k < 2 || yk.size() < k) return result.fail(kKnotsMessage);
  if (n == 0) return;
  const auto dx = output_span<T>(outputs[0]);
  const T* xs = xk.data();
  const T* ys = yk.data();
  const T first = xs[0], last = xs[k - 1];
  const size_t steps = transform::knot_search_steps(k);
  for (size_t q = 0; q < n; ++q) {
    const T v = x[q];
    // On an end knot or outside the range the curve is flat.
    if (v <= first || v >= last) {
      dx[q] = T(0);
      continue;
    }
    // Strictly inside, or NaN (which searches to the first interval).
    const size_t i = transform::knot_search(xs, k, steps, v);
    const T slope = (ys[i + 1] - ys[i]) / ((xs[i + 1] - xs[i]) + transform::kSpacingGuard<T>);
    dx[q] = slope * g[q];
  }
}

MIRELON_INSTANTIATE_KERNEL(pwl_fwd);
MIRELON_INSTANTIATE_KERNEL(pwl_vjp);

}  // namespace mirelon
