// Signed distance of 2-D points to rotated ellipses (negative inside), and its gradient with
// respect to the points, the centres, the semi-axes and the rotation angles.
#include <cmath>
#include <limits>
#include <optional>

#include "batch.hpp"
#include "numeric.hpp"
#include "pool.hpp"
#include "targets.hpp"

namespace mirelon {

namespace ellipse_detail {

// Nearest point of an axis-aligned ellipse and the signed distance to it, all in 64-bit.
struct EllipseHit {
  double qx;
  double qy;
  double sd;
};

// The nearest point (x0, x1) of the ellipse (x0/e0)^2 + (x1/e1)^2 = 1, e0 >= e1 > 0, to a point
// (y0, y1) of the first quadrant, with the offsets d = y - x kept apart so that they keep their
// accuracy where they are small.
struct QuadrantHit {
  double x0, x1, d0, d1;
};

// Bounds the root search: bisection alone reaches adjacent doubles from any bracket in fewer
// than 2100 halvings, and the search below bisects at least every other step.
constexpr int kMaxRootSteps = 4400;

// Root t of F(t) = (n0 / (t + c0))^2 + (z1 / t)^2 - 1 in [lo, hi], 0 < lo, F(lo) >= 0 >= F(hi).
// F is convex and decreasing there. Newton steps are taken while they stay inside the bracket and
// shrink quickly; otherwise the bracket is halved. The root comes out to a few units in the last
// place, relative to t, which keeps points near the first axis (small t) accurate.
inline double quadrant_root(double c0, double n0, double z1, double lo, double hi) {
  double t = lo;
  double step = hi - lo;
  double step_before = step;
  for (int i = 0; i < kMaxRootSteps; ++i) {
    const double inv0 = 1.0 / (t + c0);
    const double inv1 = 1.0 / t;
    const double t0 = n0 * inv0;
    const double t1 = z1 * inv1;
    const double f = (t0 * t0 + t1 * t1) - 1.0;
    if (f > 0.0) {
      lo = t;
    } else if (f < 0.0) {
      hi = t;
    } else {
      return t;  // a root, or NaN that no step can mend
    }
    const double df = -2.0 * (t0 * t0 * inv0 + t1 * t1 * inv1);
    const double newton = f / df;
    const double next = t - newton;
    if (next > lo && next < hi && std::fabs(newton) * 2.0 <= std::fabs(step_before)) {
      step_before = step;
      step = newton;
      if (std::fabs(newton) <= 0x1p-52 * next) return next;
      t = next;
    } else {
      step_before = step;
      step = 0.5 * (hi - lo);
      const double mid = lo + step;
      if (mid == lo || mid == hi) return t;
      t = mid;
    }
  }
  return t;
}

// An ellipse thinner than 2^-500 of its length is the segment [0, e0] of the first axis: the
// distances differ by less than e1.
inline QuadrantHit segment_hit(double e0, double y0, double y1) {
  const double x0 = y0 < e0 ? y0 : e0;
  return {x0, 0.0, y0 - x0, y1};
}

// x * y / z, or x * (y / z) when the product overflows: the result (a coordinate of the nearest
// point, or an offset from it) fits whenever the point's coordinates and semi-axes do, but x * y
// alone can overflow, for a far point of a thin ellipse or for large semi-axes.
inline double product_over(double x, double y, double z) {
  const double p = x * y / z;
  return std::isfinite(p) ? p : x * (y / z);
}

// On the first axis (y1 = 0): the nearest point leaves the axis while y0 lies inside the cusp of
// the evolute.
inline QuadrantHit first_axis_hit(double e0, double e1, double y0) {
  const double numer = e0 * y0;
  const double denom = (e0 - e1) * (e0 + e1);
  if (numer < denom) {
    const double xde = numer / denom;
    const double x1 = e1 * std::sqrt((1.0 - xde) * (1.0 + xde));
    return {e0 * xde, x1, -product_over(e1 * e1, y0, denom), -x1};
  }
  return {e0, 0.0, y0 - e0, 0.0};
}

// The nearest point of the ellipse lies at x = (r0 y0 / (t + c0), y1 / t), r0 = (e0/e1)^2,
// c0 = r0 - 1, for the root t of F above with z = y / e and n0 = r0 z0; t < 1 inside and t > 1
// outside.
inline QuadrantHit quadrant_closest(double e0, double e1, double y0, double y1) {
  if (e1 == 0.0 || e1 < 0x1p-500 * e0) return segment_hit(e0, y0, y1);
  const double z0 = y0 / e0;
  const double z1 = y1 / e1;
  if (z1 == 0.0) return first_axis_hit(e0, e1, y0);  // y1 = 0, or below the resolution
  if (z0 == 0.0) return {0.0, e1, 0.0, y1 - e1};    // the nearest point of the second axis
  const double g = (z0 * z0 + z1 * z1) - 1.0;
  if (g == 0.0) return {y0, y1, 0.0, 0.0};
  const double ratio = e0 / e1;
  const double r0 = ratio * ratio;
  const double c0 = ((e0 - e1) / e1) * ((e0 + e1) / e1);
  const double n0 = r0 * z0;
  // Far away (or infinite): the ellipse is small beside the distance.
  if (!std::isfinite(n0) || !std::isfinite(z1)) return segment_hit(e0, y0, y1);
  const double hi = g < 0.0 ? 1.0 : std::hypot(n0, z1);
  const double t = quadrant_root(c0, n0, z1, z1, hi);
  const double w0 = t + c0;
  const double tm1 = t - 1.0;
  return {product_over(r0, y0, w0), y1 / t, product_over(y0, tm1, w0),
          product_over(y1, tm1, t)};
}

// Sign +1 or -1 by the sign bit, NaN for NaN.
inline double sign_of(double x) {
  if (std::isnan(x)) return x;
  return std::signbit(x) ? -1.0 : 1.0;
}

// Nearest point of the ellipse with semi-axes a (first axis) and b (second axis), centred at the
// origin, to (px, py), and the signed distance: negative when (px/a)^2 + (py/b)^2 <= 1. The
// semi-axes may come in either order and with either sign. The point is reflected into the first
// quadrant, its nearest point there is found by a bounded root search, and the signs are
// restored. NaN in any argument, or an infinite semi-axis, gives NaN throughout; an infinite
// point is at distance +inf.
inline EllipseHit ellipse_closest_point(double px, double py, double a, double b) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  if (std::isnan(px) || std::isnan(py) || !std::isfinite(a) || !std::isfinite(b))
    return {nan, nan, nan};
  const double ax = std::fabs(px);
  const double ay = std::fabs(py);
  const double ea = std::fabs(a);
  const double eb = std::fabs(b);
  // Longer semi-axis first.
  const bool swapped = eb > ea;
  const double e0 = swapped ? eb : ea;
  const double e1 = swapped ? ea : eb;
  const double y0 = swapped ? ay : ax;
  const double y1 = swapped ? ax : ay;

  const QuadrantHit h = quadrant_closest(e0, e1, y0, y1);
  const double dx = swapped ? h.d1 : h.d0;
  const double dy = swapped ? h.d0 : h.d1;
  const double dist = std::sqrt(dy * dy + dx * dx);
  const double qx = sign_of(px) * (swapped ? h.x1 : h.x0);
  const double qy = sign_of(py) * (swapped ? h.x0 : h.x1);
  const double rx = px / a;
  const double ry = py / b;
  const double r = ry * ry + rx * rx;
  return {qx, qy, r <= 1.0 ? -dist : dist};
}

// Views of the four inputs, in operand order, and the common batch count.
template <typename T>
struct EllipseOperands {
  size_t m = 0;  // points per batch
  BatchView<const T> points;
  BatchView<const T> centres;
  BatchView<const T> axes;
  BatchView<const T> angles;
  size_t batch = 0;

  bool init(const KernelBuffer* in, KernelResult& r) {
    m = second_last_extent(in[0]);
    // 2 * m cannot wrap: m comes from a signed 64-bit extent.
    if (!points.init(input_span<T>(in[0]), 2 * m, r)) return false;
    if (!centres.init(input_span<T>(in[1]), 2, r)) return false;
    if (!axes.init(input_span<T>(in[2]), 2, r)) return false;
    if (!angles.init(input_span<T>(in[3]), 1, r)) return false;
    return unify_batch_counts({points.batch_count(), centres.batch_count(), axes.batch_count(),
                               angles.batch_count()},
                              batch, r);
  }
  std::optional<size_t> per_point() const { return checked_size(batch, m); }
};

}  // namespace ellipse_detail

template <typename T>
void ellipse_sd_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                    size_t) {
  ellipse_detail::EllipseOperands<T> o;
  if (!o.init(in, r)) return;
  if (!check_length(r, out[0], o.per_point(), "output length mismatch")) return;
  if (o.batch == 0) return;

  T* sd = output_span<T>(out[0]).data();
  const size_t m = o.m;
  // Every point writes only its own value, so the points of all batches run as one loop on the
  // pool; a piece evaluates the sine and cosine of each batch it enters once.
  pool::parallel_for(o.batch * m, [&](size_t begin, size_t end) {
    size_t batch = o.batch;  // none yet
    double a = 0, b = 0, cx = 0, cy = 0, sin_t = 0, cos_t = 0;
    for (size_t item = begin; item < end; ++item) {
      const size_t i = item / m;
      if (i != batch) {
        batch = i;
        const auto c = o.centres.block(i);
        const auto ab = o.axes.block(i);
        a = static_cast<double>(ab[0]);
        b = static_cast<double>(ab[1]);
        cx = static_cast<double>(c[0]);
        cy = static_cast<double>(c[1]);
        sin_cos(static_cast<double>(o.angles.block(i)[0]), sin_t, cos_t);
      }
      const T* p = o.points.block(i).data() + 2 * (item - i * m);
      const double dx = static_cast<double>(p[0]) - cx;
      const double dy = static_cast<double>(p[1]) - cy;
      const double u = cos_t * dx + sin_t * dy;
      const double v = cos_t * dy - sin_t * dx;
      sd[item] = static_cast<T>(ellipse_detail::ellipse_closest_point(u, v, a, b).sd);
    }
  });
}

template <typename T>
void ellipse_sd_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                    size_t) {
  ellipse_detail::EllipseOperands<T> o;
  if (!o.init(in, r)) return;
  if (!check_length(r, in[4], o.per_point(), "cotangent length mismatch")) return;
  // Every position of an input may receive a contribution.
  if (!check_length_at_least(r, out[0], element_count(in[0]), "point gradient too short") ||
      !check_length_at_least(r, out[1], element_count(in[1]), "centre gradient too short") ||
      !check_length_at_least(r, out[2], element_count(in[2]), "semi-axis gradient too short") ||
      !check_length_at_least(r, out[3], element_count(in[3]), "angle gradient too short"))
    return;
  for (size_t j = 0; j < 4; ++j) zero_fill<T>(out[j]);
  if (o.batch == 0) return;

  const std::span<const T> g = input_span<T>(in[4]);
  const BatchGrad<T> grad_points(output_span<T>(out[0]), o.points);
  const BatchGrad<T> grad_centres(output_span<T>(out[1]), o.centres);
  const BatchGrad<T> grad_axes(output_span<T>(out[2]), o.axes);
  const BatchGrad<T> grad_angles(output_span<T>(out[3]), o.angles);
  // A clamp to [-1, 1] that lets NaN through.
  const auto unit_clamp = [](double x) { return x < -1.0 ? -1.0 : (x > 1.0 ? 1.0 : x); };
  for (size_t i = 0; i < o.batch; ++i) {
    const auto p = o.points.block(i);
    const auto c = o.centres.block(i);
    const auto ab = o.axes.block(i);
    const double a = static_cast<double>(ab[0]);
    const double b = static_cast<double>(ab[1]);
    const double cx = static_cast<double>(c[0]);
    const double cy = static_cast<double>(c[1]);
    double sin_t, cos_t;
    sin_cos(static_cast<double>(o.angles.block(i)[0]), sin_t, cos_t);
    T* gp = grad_points.block(i).data();
    T* gc = grad_centres.block(i).data();
    T* ga = grad_axes.block(i).data();
    T* gt = grad_angles.block(i).data();
    for (size_t k = 0; k < o.m; ++k) {
      const double dx = static_cast<double>(p[2 * k]) - cx;
      const double dy = static_cast<double>(p[2 * k + 1]) - cy;
      const double u = cos_t * dx + sin_t * dy;
      const double v = cos_t * dy - sin_t * dx;
      const ellipse_detail::EllipseHit h = ellipse_detail::ellipse_closest_point(u, v, a, b);
      const double den = floor_divisor(std::fabs(h.sd));
      const double w = ellipse_detail::sign_of(h.sd) * static_cast<double>(g[i * o.m + k]);
      const double nu = (u - h.qx) / den;
      const double nv = (v - h.qy) / den;
      const T gx = static_cast<T>((cos_t * nu - sin_t * nv) * w);
      const T gy = static_cast<T>((sin_t * nu + cos_t * nv) * w);
      gp[2 * k] += gx;
      gp[2 * k + 1] += gy;
      gc[0] -= gx;
      gc[1] -= gy;
      ga[0] -= static_cast<T>(nu * w * unit_clamp(h.qx / a));
      ga[1] -= static_cast<T>(nv * w * unit_clamp(h.qy / b));
      gt[0] += static_cast<T>((v * nu - u * nv) * w);
    }
  }
}

MIRELON_INSTANTIATE_KERNEL(ellipse_sd_fwd);
MIRELON_INSTANTIATE_KERNEL(ellipse_sd_vjp);

}  // namespace mirelon
