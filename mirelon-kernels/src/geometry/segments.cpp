// Closest segment of a segment list for batches of 2-D query points: distance, index and the
// position along the segment, and the gradient of the distance.
#include <cmath>
#include <limits>

#include "batch.hpp"
#include "geometry/bvh.hpp"
#include "geometry/cache.hpp"
#include "geometry/segment_math.hpp"
#include "numeric.hpp"
#include "pool.hpp"
#include "targets.hpp"

namespace mirelon {

namespace {

// The views of the two operands both kernels share: query points [B, M, 2] and one flat list of
// segment records shared by every batch (its extents are not read).
template <typename T>
struct SegmentsOperands {
  size_t m = 0;   // queries per batch
  size_t ns = 0;  // segments
  size_t batches = 0;
  BatchView<const T> points;
  std::span<const T> segments;
  BatchView<const T> segment_list;  // the segments as one block, broadcast to every batch
};

template <typename T>
bool view_segments_operands(KernelResult& r, const KernelBuffer* inputs, SegmentsOperands<T>& o) {
  o.m = second_last_extent(inputs[0]);
  if (!o.points.init(input_span<T>(inputs[0]), 2 * o.m, r)) return false;
  o.segments = input_span<T>(inputs[1]);
  o.ns = o.segments.size() / 4;
  if (!o.segment_list.init(o.segments, 4 * o.ns, r)) return false;
  return unify_batch_counts({o.points.batch_count(), o.segment_list.batch_count()}, o.batches,
                            r);
}

}  // namespace

template <typename T>
void segments_closest_fwd(KernelResult& result, const KernelBuffer* inputs, size_t,
                          const KernelBuffer* outputs, size_t) {
  SegmentsOperands<T> o;
  if (!view_segments_operands(result, inputs, o)) return;
  const size_t total = o.batches * o.m;  // half the points' element count: cannot overflow
  if (!segment_math::check_nearest_outputs(result, outputs, total)) return;
  if (total == 0) return;

  const auto distance = output_span<T>(outputs[0]);
  const auto index = output_span<T>(outputs[1]);
  const auto position = output_span<T>(outputs[2]);
  for (size_t b = 0; b < o.batches; ++b) {
    const SharedBvhEntry entry =
        cached_segment_bvh<T>(o.segments, 4 * o.ns, o.ns, kSegmentListMode);
    segment_math::nearest_segment_block<T>(*entry, o.points.block(b), o.m, b * o.m, distance,
                                           index, position, nullptr);
  }
}

template <typename T>
void segments_closest_vjp(KernelResult& result, const KernelBuffer* inputs, size_t,
                          const KernelBuffer* outputs, size_t) {
  SegmentsOperands<T> o;
  if (!view_segments_operands(result, inputs, o)) return;
  const size_t total = o.batches * o.m;
  if (!segment_math::check_nearest_residuals(result, inputs, total)) return;
  if (!check_length_at_least(result, outputs[0], o.points.data().size(),
                             "point gradient too short"))
    return;
  if (!check_length_at_least(result, outputs[1], 4 * o.ns, "segment gradient too short")) return;
  const auto index = input_span<T>(inputs[2]);
  if (!check_residual_indices<T>(result, index, total, o.ns, "segment")) return;

  zero_fill<T>(outputs[0]);
  zero_fill<T>(outputs[1]);
  if (total == 0) return;

  const auto position = input_span<T>(inputs[3]);
  const auto cotangent = input_span<T>(inputs[4]);
  const BatchGrad<T> grad_points(output_span<T>(outputs[0]), o.points);
  const BatchGrad<T> grad_segments(output_span<T>(outputs[1]), o.segment_list);
  const size_t m = o.m;

  // 64-bit arithmetic for both copies; each contribution is rounded to T once and then added.
  for (size_t b = 0; b < o.batches; ++b) {
    const auto block = o.points.block(b);
    const std::span<T> gp = grad_points.block(b);
    const std::span<T> gs = grad_segments.block(b);
    for (size_t i = 0; i < m; ++i) {
      const size_t j = b * m + i;
      const size_t e = static_cast<size_t>(saturating_to_u64(static_cast<double>(index[j])));
      const double x0 = o.segments[4 * e], y0 = o.segments[4 * e + 1];
      const double x1 = o.segments[4 * e + 2], y1 = o.segments[4 * e + 3];
      const double t = position[j];
      const double g = cotangent[j];
      const double dx = static_cast<double>(block[2 * i]) - ((x1 - x0) * t + x0);
      const double dy = static_cast<double>(block[2 * i + 1]) - ((y1 - y0) * t + y0);
      const double dist = std::sqrt((dx * dx + dy * dy) + 1e-12);
      const double s = g / dist;
      const double gx = dx * s;
      const double gy = dy * s;

      gp[2 * i] += static_cast<T>(gx);
      gp[2 * i + 1] += static_cast<T>(gy);
      gs[4 * e] -= static_cast<T>((1.0 - t) * gx);
      gs[4 * e + 1] -= static_cast<T>((1.0 - t) * gy);
      gs[4 * e + 2] -= static_cast<T>(gx * t);
      gs[4 * e + 3] -= static_cast<T>(t * gy);
    }
  }
}

MIRELON_INSTANTIATE_KERNEL(segments_closest_fwd);
MIRELON_INSTANTIATE_KERNEL(segments_closest_vjp);

}  // namespace mirelon
