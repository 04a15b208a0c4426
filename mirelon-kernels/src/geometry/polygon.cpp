// Signed distance of 2-D query points to closed polygons (negative inside by the even-odd rule),
// with the nearest edge and the position along it, and the gradient of the signed distance.
#include <cmath>
#include <limits>
#include <optional>

#include "batch.hpp"
#include "geometry/bvh.hpp"
#include "geometry/reference_sets.hpp"
#include "geometry/segment_math.hpp"
#include "numeric.hpp"
#include "targets.hpp"

namespace mirelon {

namespace {

// Query points [B_P, M, 2] and polygon vertices [B_V, Nv, 2]; either may be one block broadcast
// to every batch.
template <typename T>
struct PolygonOperands {
  size_t m = 0;   // queries per batch
  size_t nv = 0;  // vertices (and edges) per polygon
  size_t batches = 0;
  std::optional<size_t> total;  // batches * m, empty when it does not fit
  BatchView<const T> points;
  BatchView<const T> vertices;
};

template <typename T>
bool view_polygon_operands(KernelResult& r, const KernelBuffer* inputs, PolygonOperands<T>& o) {
  o.m = second_last_extent(inputs[0]);
  o.nv = second_last_extent(inputs[1]);
  if (!o.points.init(input_span<T>(inputs[0]), 2 * o.m, r)) return false;
  if (!o.vertices.init(input_span<T>(inputs[1]), 2 * o.nv, r)) return false;
  if (!unify_batch_counts({o.points.batch_count(), o.vertices.batch_count()}, o.batches, r))
    return false;
  // One broadcast operand can make batches * m exceed any buffer; such a product matches no
  // output.
  o.total = checked_size(o.batches, o.m);
  return true;
}

}  // namespace

template <typename T>
void polygon_sd_fwd(KernelResult& result, const KernelBuffer* inputs, size_t,
                    const KernelBuffer* outputs, size_t) {
  const size_t nv = second_last_extent(inputs[1]);
  if (nv < 3) {
    result.fail(message("polygon needs >= 3 vertices, got ", nv));
    return;
  }
  PolygonOperands<T> o;
  if (!view_polygon_operands(result, inputs, o)) return;
  if (!segment_math::check_nearest_outputs(result, outputs, o.total)) return;
  const size_t total = *o.total;  // present once the outputs matched it
  if (total == 0) return;

  const auto distance = output_span<T>(outputs[0]);
  const auto index = output_span<T>(outputs[1]);
  const auto position = output_span<T>(outputs[2]);
  const auto store = [&](size_t b, size_t i, size_t j, const std::optional<NearestHit>& hit,
                         const double* items) {
    const auto block = o.points.block(b);
    const auto ring = o.vertices.block(b);
    // The inside test runs in T on the input values; the magnitude is rounded once from 64-bit
    // before the sign is applied.
    const auto sign = [ring](T qx, T qy) {
      return segment_math::crossing_parity_odd<T>(qx, qy, ring) ? T(-1) : T(1);
    };
    segment_math::store_nearest_segment<T>(hit, items, block[2 * i], block[2 * i + 1], j,
                                           distance, index, position, sign);
  };
  for_each_nearest(ReferenceSets<T>{o.vertices, nv, BvhBlockKind::closed_ring}, o.points,
                   o.batches, o.m, store);
}

template <typename T>
void polygon_sd_vjp(KernelResult& result, const KernelBuffer* inputs, size_t,
                    const KernelBuffer* outputs, size_t) {
  PolygonOperands<T> o;
  if (!view_polygon_operands(result, inputs, o)) return;
  if (!segment_math::check_nearest_residuals(result, inputs, o.total)) return;
  const size_t total = *o.total;  // present once the cotangent matched it
  if (!check_length_at_least(result, outputs[0], o.points.data().size(),
                             "point gradient too short"))
    return;
  if (!check_length_at_least(result, outputs[1], o.vertices.data().size(),
                             "vertex gradient too short"))
    return;
  const auto index = input_span<T>(inputs[2]);
  if (!check_residual_indices<T>(result, index, total, o.nv, "edge")) return;

  zero_fill<T>(outputs[0]);
  zero_fill<T>(outputs[1]);
  if (total == 0) return;

  const auto position = input_span<T>(inputs[3]);
  const auto cotangent = input_span<T>(inputs[4]);
  const BatchGrad<T> grad_points(output_span<T>(outputs[0]), o.points);
  const BatchGrad<T> grad_vertices(output_span<T>(outputs[1]), o.vertices);
  const size_t m = o.m;
  const size_t nv = o.nv;
  const T eps = static_cast<T>(1e-12);

  // Evaluated in T throughout; only the index is widened for its conversion.
  for (size_t b = 0; b < o.batches; ++b) {
    const auto block = o.points.block(b);
    const auto ring = o.vertices.block(b);
    const std::span<T> gp = grad_points.block(b);
    const std::span<T> gv = grad_vertices.block(b);
    for (size_t i = 0; i < m; ++i) {
      const size_t j = b * m + i;
      const size_t e = static_cast<size_t>(saturating_to_u64(static_cast<double>(index[j])));
      const size_t e1 = e + 1 == nv ? 0 : e + 1;
      const T t = position[j];
      const T x0 = ring[2 * e], y0 = ring[2 * e + 1];
      const T x1 = ring[2 * e1], y1 = ring[2 * e1 + 1];
      const T px = block[2 * i], py = block[2 * i + 1];
      const T dx = px - ((x1 - x0) * t + x0);
      const T dy = py - ((y1 - y0) * t + y0);
      const T dist = std::sqrt((dx * dx + dy * dy) + eps);
      const T g = cotangent[j];
      const T gs = segment_math::crossing_parity_odd<T>(px, py, ring) ? -g : g;
      const T s = gs / dist;
      const T gx = dx * s;
      const T gy = dy * s;

      gp[2 * i] += gx;
      gp[2 * i + 1] += gy;
      gv[2 * e] -= (T(1) - t) * gx;
      gv[2 * e + 1] -= (T(1) - t) * gy;
      gv[2 * e1] -= t * gx;
      gv[2 * e1 + 1] -= t * gy;
    }
  }
}

MIRELON_INSTANTIATE_KERNEL(polygon_sd_fwd);
MIRELON_INSTANTIATE_KERNEL(polygon_sd_vjp);

// ---- area and perimeter of closed rings ------------------------------------------------------
// Vertices [..., N, 2]: blocks of N vertices, each a closed ring (vertex N - 1 joins vertex 0),
// running either way round; one area or perimeter per ring.

namespace polygon_measure {

// The rings as blocks of 2N values, N from the second-to-last extent.
template <typename T>
bool view_rings(KernelResult& r, const KernelBuffer& vertices, BatchView<const T>& rings) {
  return rings.init(input_span<T>(vertices), 2 * second_last_extent(vertices), r);
}

// The forward: one output value per ring, value(vertices, N) for each.
template <typename T, typename Value>
void for_each_ring(KernelResult& r, const KernelBuffer* in, const KernelBuffer* out,
                   Value&& value) {
  BatchView<const T> rings;
  if (!view_rings(r, in[0], rings) ||
      !check_length(r, out[0], rings.batch_count(), "output length mismatch"))
    return;
  const size_t n = rings.inner() / 2;
  T* result = output_span<T>(out[0]).data();
  for (size_t b = 0; b < rings.batch_count(); ++b) result[b] = value(rings.block(b).data(), n);
}

// The gradient: one cotangent per ring, and a gradient output that holds every vertex value,
// zero-filled; then add(vertices, N, cotangent, gradient of the vertices) for each ring.
template <typename T, typename Add>
void add_ring_gradients(KernelResult& r, const KernelBuffer* in, const KernelBuffer* out,
                        Add&& add) {
  BatchView<const T> rings;
  if (!view_rings(r, in[0], rings) ||
      !check_length(r, in[1], rings.batch_count(), "cotangent length mismatch") ||
      !check_operand_length(r, out[0], rings.data().size(), LengthRule::at_least,
                            "vertex gradient"))
    return;
  zero_fill<T>(out[0]);
  const size_t n = rings.inner() / 2;
  const T* g = input_span<T>(in[1]).data();
  T* grad = output_span<T>(out[0]).data();
  for (size_t b = 0; b < rings.batch_count(); ++b)
    add(rings.block(b).data(), n, g[b], grad + b * 2 * n);
}

// Twice the signed area: x_i y_j then - y_i x_j per vertex, each rounded, in vertex order.
template <typename T>
T shoelace(const T* v, size_t n) {
  T s = 0;
  for (size_t i = 0; i < n; ++i) {
    const size_t j = i + 1 == n ? 0 : i + 1;
    s = s + v[2 * i] * v[2 * j + 1];
    s = s - v[2 * i + 1] * v[2 * j];
  }
  return s;
}

// Length of the edge from vertex i to vertex j, with 1e-12 added under the root: differences
// formed in the element type, the rest in 64-bit. Returns the differences too.
template <typename T>
double edge_length(const T* v, size_t i, size_t j, double& dx, double& dy) {
  dx = static_cast<double>(static_cast<T>(v[2 * j] - v[2 * i]));
  dy = static_cast<double>(static_cast<T>(v[2 * j + 1] - v[2 * i + 1]));
  return std::sqrt((dy * dy + dx * dx) + 1e-12);
}

}  // namespace polygon_measure

// Entirely in the element type.
template <typename T>
void polygon_area_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                      size_t) {
  polygon_measure::for_each_ring<T>(r, in, out, [](const T* v, size_t n) {
    return std::fabs(polygon_measure::shoelace(v, n) * T(0.5));
  });
}

template <typename T>
void polygon_area_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                      size_t) {
  polygon_measure::add_ring_gradients<T>(r, in, out, [](const T* v, size_t n, T g, T* dv) {
    // A zero area counts as positive; a NaN one takes the negative side.
    const T w = T(0) <= polygon_measure::shoelace(v, n) ? g * T(0.5) : -g * T(0.5);
    for (size_t i = 0; i < n; ++i) {
      const size_t p = i == 0 ? n - 1 : i - 1;
      const size_t j = i + 1 == n ? 0 : i + 1;
      dv[2 * i] += (v[2 * j + 1] - v[2 * p + 1]) * w;
      dv[2 * i + 1] += (v[2 * p] - v[2 * j]) * w;
    }
  });
}

// Differences in the element type; lengths, their sum and the gradient terms in 64-bit, each
// stored value or gradient term rounded once to the element type.
template <typename T>
void polygon_perimeter_fwd(KernelResult& r, const KernelBuffer* in, size_t,
                           const KernelBuffer* out, size_t) {
  polygon_measure::for_each_ring<T>(r, in, out, [](const T* v, size_t n) {
    double sum = 0;
    for (size_t i = 0; i < n; ++i) {
      double dx, dy;
      sum = sum + polygon_measure::edge_length(v, i, i + 1 == n ? 0 : i + 1, dx, dy);
    }
    return static_cast<T>(sum);
  });
}

template <typename T>
void polygon_perimeter_vjp(KernelResult& r, const KernelBuffer* in, size_t,
                           const KernelBuffer* out, size_t) {
  polygon_measure::add_ring_gradients<T>(r, in, out, [](const T* v, size_t n, T g, T* dv) {
    const double gb = g;
    for (size_t i = 0; i < n; ++i) {
      const size_t j = i + 1 == n ? 0 : i + 1;
      double dx, dy;
      const double len = polygon_measure::edge_length(v, i, j, dx, dy);
      const T cx = static_cast<T>((dx * gb) / len);
      const T cy = static_cast<T>((dy * gb) / len);
      dv[2 * j] += cx;
      dv[2 * j + 1] += cy;
      dv[2 * i] -= cx;
      dv[2 * i + 1] -= cy;
    }
  });
}

MIRELON_INSTANTIATE_KERNEL(polygon_area_fwd);
MIRELON_INSTANTIATE_KERNEL(polygon_area_vjp);
MIRELON_INSTANTIATE_KERNEL(polygon_perimeter_fwd);
MIRELON_INSTANTIATE_KERNEL(polygon_perimeter_vjp);

}  // namespace mirelon
