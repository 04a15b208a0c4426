// Piecewise-linear curve through K knots, evaluated at n query points, and its gradient with
// respect to the queries. The queries are independent; their loops run on the thread pool.
#include "numeric.hpp"
#include "targets.hpp"
#include "transform/element_loop.hpp"
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
  T* const out = output_span<T>(outputs[0]).data();
  const T* const queries = x.data();
  const T* const knots_x = xk.data();
  const T* const knots_y = yk.data();
  const size_t block = transform::block_elements(1);
  // The bodies copy what they read into locals, which the compiler can keep in registers
  // (a captured value would be read again after every store to the output).
  if (k == 2) {
    // One interval: no search, a straight line held to the ends.
    const T lo_knot = knots_x[0], hi_knot = knots_x[1];
    const T width_value = (hi_knot - lo_knot) + transform::kSpacingGuard<T>;
    const T rise_value = knots_y[1] - knots_y[0];
    transform::for_blocks(0, n, block, [&](size_t begin, size_t end) {
      const T* const xv = queries;
      const T lo = lo_knot, hi = hi_knot, width = width_value, rise = rise_value;
      const T base = knots_y[0];
      T* const y = out;
      for (size_t q = begin; q < end; ++q) {
        const T c = min_ignoring_nan(max_ignoring_nan(xv[q], lo), hi);
        y[q] = ((c - lo) / width) * rise + base;
      }
    });
    return;
  }
  const size_t search_steps = transform::knot_search_steps(k);
  transform::for_blocks(0, n, block, [&](size_t begin, size_t end) {
    const T* const xv = queries;
    const T* const xs = knots_x;
    const T* const ys = knots_y;
    const size_t m = k;
    const size_t steps = search_steps;
    T* const y = out;
    // Blocks of queries searched in lockstep, then the remainder one by one; every query gets
    // the same value as on its own.
    constexpr size_t W = transform::kKnotLanes;
    size_t q = begin;
    for (; end - q >= W; q += W) {
      size_t lo[W];
      T t[W];
      transform::knot_interval_lanes<W>(xs, m, steps, &xv[q], lo, t);
      for (size_t w = 0; w < W; ++w) y[q + w] = pwl_value(ys, lo[w], t[w]);
    }
    for (; q < end; ++q) {
      const auto [i, t] = transform::knot_interval(xs, m, steps, xv[q]);
      y[q] = pwl_value(ys, i, t);
    }
  });
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
  if (!transform::check_cotangent(result, inputs[3], outputs[0], n)) return;
  // The knots obey the forward's rule; only the first K values are read.
  if (k < 2 || yk.size() < k) return result.fail(kKnotsMessage);
  if (n == 0) return;
  T* const out = output_span<T>(outputs[0]).data();
  const T* const queries = x.data();
  const T* const cot = g.data();
  const T* const knots_x = xk.data();
  const T* const knots_y = yk.data();
  const size_t search_steps = transform::knot_search_steps(k);
  transform::for_blocks(0, n, transform::block_elements(1), [&](size_t begin, size_t end) {
    const T* const xv = queries;
    const T* const gv = cot;
    const T* const xs = knots_x;
    const T* const ys = knots_y;
    const size_t steps = search_steps;
    const T first = xs[0], last = xs[k - 1];
    T* const dx = out;
    for (size_t q = begin; q < end; ++q) {
      const T v = xv[q];
      // On an end knot or outside the range the curve is flat.
      if (v <= first || v >= last) {
        dx[q] = T(0);
        continue;
      }
      // Strictly inside, or NaN (which searches to the first interval).
      const size_t i = transform::knot_search(xs, k, steps, v);
      const T slope = (ys[i + 1] - ys[i]) / ((xs[i + 1] - xs[i]) + transform::kSpacingGuard<T>);
      dx[q] = slope * gv[q];
    }
  });
}

MIRELON_INSTANTIATE_KERNEL(pwl_fwd);
MIRELON_INSTANTIATE_KERNEL(pwl_vjp);

}  // namespace mirelon
