// Signed distance of 2-D query points to closed polygons (negative inside by the even-odd rule),
// with the nearest edge and the position along it, and the gradient of the signed distance.
#include <cmath>
#include <limits>
#include <optional>

#include "batch.hpp"
#include "geometry/bvh.hpp"
#include "geometry/cache.hpp"
#include "geometry/segment_math.hpp"
#include "numeric.hpp"
#include "pool.hpp"
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
  for (size_t b = 0; b < o.batches; ++b) {
    const auto ring = o.vertices.block(b);
    const SharedBvhEntry entry = cached_segment_bvh<T>(ring, 2 * nv, nv, kClosedRingMode);
    // The inside test runs in T on the input values; the magnitude is rounded once from 64-bit
    // before the sign is applied.
    const auto sign = [ring](T qx, T qy) {
      return segment_math::crossing_parity_odd<T>(qx, qy, ring) ? T(-1) : T(1);
    };
    segment_math::nearest_segment_block<T>(*entry, o.points.block(b), o.m, b * o.m, distance,
                                           index, position, sign);
  }
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

}  // namespace mirelon
