// Closest segment of a segment list for batches of 2-D query points: distance, index and the
// position along the segment, and the gradient of the distance.
#include <cmath>
#include <limits>
#include <optional>

#include "batch.hpp"
#include "cpu.hpp"
#include "geometry/bvh.hpp"
#include "geometry/reference_sets.hpp"
#include "geometry/segment_math.hpp"
#include "lanes.hpp"
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
  const auto store = [&](size_t b, size_t i, size_t j, const std::optional<NearestHit>& hit,
                         const double* items) {
    const auto block = o.points.block(b);
    segment_math::store_nearest_segment<T>(hit, items, block[2 * i], block[2 * i + 1], j,
                                           distance, index, position, nullptr);
  };
  // The list is one set shared by every batch.
  for_each_nearest(ReferenceSets<T>{o.segment_list, o.ns, BvhBlockKind::segment_list}, o.points,
                   o.batches, o.m, store);
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

// ---- total length of a segment list ----------------------------------------------------------
// The whole operand is one list of records (x0, y0, x1, y1), whatever its shape; one total.

namespace segment_length {

// The list as one block of 4 Ns values: fewer than four values, or a count that is not a multiple
// of four, fail with the batch view's messages.
template <typename T>
bool view_list(KernelResult& r, const KernelBuffer& segments, std::span<const T>& list) {
  list = input_span<T>(segments);
  BatchView<const T> view;
  return view.init(list, 4 * (list.size() / 4), r);
}

// Differences in the element type, widened; the length in 64-bit.
template <typename T>
double length(const T* s, double& dx, double& dy) {
  dx = static_cast<double>(static_cast<T>(s[2] - s[0]));
  dy = static_cast<double>(static_cast<T>(s[3] - s[1]));
  return std::sqrt((dx * dx + dy * dy) + 1e-12);
}

}  // namespace segment_length

// The total in 64-bit, rounded once when stored.
template <typename T>
void segments_length_fwd(KernelResult& r, const KernelBuffer* in, size_t,
                         const KernelBuffer* out, size_t) {
  std::span<const T> list;
  if (!segment_length::view_list(r, in[0], list) ||
      !check_length(r, out[0], 1, "output length mismatch"))
    return;
  double total = 0;
  for (size_t j = 0; j < list.size() / 4; ++j) {
    double dx, dy;
    total = total + segment_length::length(list.data() + 4 * j, dx, dy);
  }
  output_span<T>(out[0])[0] = static_cast<T>(total);
}

// Each gradient term in 64-bit, rounded once, then added in the element type.
template <typename T>
void segments_length_vjp(KernelResult& r, const KernelBuffer* in, size_t,
                         const KernelBuffer* out, size_t) {
  std::span<const T> list;
  if (!segment_length::view_list(r, in[0], list) ||
      !check_length(r, in[1], 1, "cotangent length mismatch") ||
      !check_operand_length(r, out[0], list.size(), LengthRule::at_least, "segment gradient"))
    return;
  zero_fill<T>(out[0]);
  const double g = input_span<T>(in[1])[0];
  T* grad = output_span<T>(out[0]).data();
  for (size_t j = 0; j < list.size() / 4; ++j) {
    double dx, dy;
    const double len = segment_length::length(list.data() + 4 * j, dx, dy);
    const T a = static_cast<T>((dx * g) / len);
    const T b = static_cast<T>((dy * g) / len);
    T* d = grad + 4 * j;
    d[0] -= a;
    d[1] -= b;
    d[2] += a;
    d[3] += b;
  }
}

MIRELON_INSTANTIATE_KERNEL(segments_length_fwd);
MIRELON_INSTANTIATE_KERNEL(segments_length_vjp);

}  // namespace mirelon

// ================================================================================================
// Segment distance matrix: every point of a batch against every segment of the shared list,
// forward and gradient.

namespace mirelon {

namespace segments_matrix_detail {

// Point (px, py) against one segment record: the position t of the closest point (clamped to
// [0, 1], a NaN ratio passing through), the residual r from that point and the smoothed
// distance, all in 64-bit.
struct PointToSegment {
  double t, rx, ry, distance;
};

template <typename T>
inline PointToSegment point_to_segment(double px, double py, const T* s) {
  const double record[4] = {static_cast<double>(s[0]), static_cast<double>(s[1]),
                            static_cast<double>(s[2]), static_cast<double>(s[3])};
  const double t = segment_math::segment_position(px, py, record);
  const double rx = px - (record[0] + t * (record[2] - record[0]));
  const double ry = py - (record[1] + t * (record[3] - record[1]));
  return {t, rx, ry, std::sqrt((rx * rx + ry * ry) + 1e-12)};
}

// Elements of the distance matrix over all batches (batches * points * segments), if that fits.
template <typename T>
std::optional<size_t> matrix_size(const SegmentsOperands<T>& o) {
  return checked_size(o.batches, o.m, o.ns);
}

// A tile of segments as columns, in 64-bit: first end point a, direction e = b - a and the
// divisor e.e + 1e-12 of the position, each formed exactly as point_to_segment forms it.
constexpr size_t kTile = 256;

struct SegmentTile {
  alignas(64) double ax[kTile], ay[kTile], ex[kTile], ey[kTile], den[kTile];
};

template <typename T>
void fill_tile(SegmentTile& tile, const T* s, size_t count) {
  for (size_t k = 0; k < count; ++k) {
    const double x0 = static_cast<double>(s[4 * k]), y0 = static_cast<double>(s[4 * k + 1]);
    const double ex = static_cast<double>(s[4 * k + 2]) - x0;
    const double ey = static_cast<double>(s[4 * k + 3]) - y0;
    tile.ax[k] = x0;
    tile.ay[k] = y0;
    tile.ex[k] = ex;
    tile.ey[k] = ey;
    tile.den[k] = (ex * ex + ey * ey) + 1e-12;
  }
}

// Distances of one point to the first `count` segments of a tile (a multiple of the width),
// point_to_segment in lanes.
struct TileDistances {
  template <typename S, typename T>
  [[gnu::always_inline]] static void run(const SegmentTile& tile, size_t count, double px,
                                         double py, T* row) {
    using V = typename S::V;
    const V x = S::set1(px), y = S::set1(py);
    const V zero = S::set1(0.0), one = S::set1(1.0), eps = S::set1(1e-12);
    for (size_t k = 0; k < count; k += S::width) {
      const V ax = S::load(tile.ax + k), ay = S::load(tile.ay + k);
      const V ex = S::load(tile.ex + k), ey = S::load(tile.ey + k);
      const V q = S::div(S::add(S::mul(S::sub(x, ax), ex), S::mul(S::sub(y, ay), ey)),
                         S::load(tile.den + k));
      const V t = S::where_lt(q, zero, zero, S::where_gt(q, one, one, q));  // NaN stays NaN
      const V rx = S::sub(x, S::add(ax, S::mul(t, ex)));
      const V ry = S::sub(y, S::add(ay, S::mul(t, ey)));
      S::store_as(row + k, S::sqrt(S::add(S::add(S::mul(rx, rx), S::mul(ry, ry)), eps)));
    }
  }
};

}  // namespace segments_matrix_detail

// Rows [begin, end) of one batch of the matrix: row i holds the distances of point i of
// `points` to every segment. The segments go through a tile at a time; every distance is
// computed on its own, so tiles, lanes and the split of the rows leave the bits unchanged.
template <cpu::Level L, typename T>
void segments_matrix_rows(const T* points, const T* segments, size_t ns, T* out, size_t begin,
                          size_t end) {
  using namespace segments_matrix_detail;
  constexpr size_t w = lanes::Lanes<L, double>::width;
  SegmentTile tile;
  for (size_t first = 0; first < ns; first += kTile) {
    const size_t count = ns - first < kTile ? ns - first : kTile;
    const size_t in_lanes = w > 1 ? count / w * w : 0;
    if (in_lanes != 0) fill_tile(tile, segments + 4 * first, in_lanes);
    for (size_t i = begin; i < end; ++i) {
      const double px = static_cast<double>(points[2 * i]);
      const double py = static_cast<double>(points[2 * i + 1]);
      T* row = out + i * ns + first;
      if (in_lanes != 0) lanes::run_at<L, double, TileDistances>(tile, in_lanes, px, py, row);
      for (size_t k = in_lanes; k < count; ++k)
        row[k] = lanes::canonical_nan(
            static_cast<T>(point_to_segment(px, py, segments + 4 * (first + k)).distance));
    }
  }
}

// One batch of the matrix, its rows on the pool.
template <cpu::Level L, typename T>
void segments_matrix_fwd_loop(std::span<const T> points, std::span<const T> segments,
                              std::span<T> out, size_t ns) {
  pool::parallel_for(out.size() / ns, [&](size_t begin, size_t end) {
    segments_matrix_rows<L, T>(points.data(), segments.data(), ns, out.data(), begin, end);
  });
}

template <typename T>
void segments_matrix_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                         size_t) {
  SegmentsOperands<T> o;
  if (!view_segments_operands(r, in, o)) return;
  if (!check_length(r, out[0], segments_matrix_detail::matrix_size(o), "output length mismatch"))
    return;
  if (o.batches == 0) return;
  const size_t per_batch = o.m * o.ns;
  const std::span<T> d = output_span<T>(out[0]);
  cpu::dispatch([&]<cpu::Level L>() {
    for (size_t b = 0; b < o.batches; ++b)
      segments_matrix_fwd_loop<L, T>(o.points.block(b), o.segments,
                                     d.subspan(b * per_batch, per_batch), o.ns);
  });
}

template <typename T>
void segments_matrix_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                         size_t) {
  SegmentsOperands<T> o;
  if (!view_segments_operands(r, in, o)) return;
  if (!check_length(r, in[2], segments_matrix_detail::matrix_size(o), "cotangent length mismatch"))
    return;
  if (!check_length_at_least(r, out[0], element_count(in[0]), "point gradient too short") ||
      !check_length_at_least(r, out[1], 4 * o.ns, "segment gradient too short"))
    return;
  zero_fill<T>(out[0]);
  zero_fill<T>(out[1]);
  if (o.batches == 0) return;

  const std::span<const T> g = input_span<T>(in[2]);
  const BatchGrad<T> gp(output_span<T>(out[0]), o.points);
  T* gs = output_span<T>(out[1]).data();
  // 64-bit arithmetic in both copies; each term is rounded to T before it is applied, and a
  // point's terms are summed over its row in 64-bit first.
  for (size_t b = 0; b < o.batches; ++b) {
    const std::span<const T> block = o.points.block(b);
    T* gp_block = gp.block(b).data();
    for (size_t i = 0; i < o.m; ++i) {
      const double px = static_cast<double>(block[2 * i]);
      const double py = static_cast<double>(block[2 * i + 1]);
      const T* grow = g.data() + (b * o.m + i) * o.ns;
      double acc_x = 0.0, acc_y = 0.0;
      for (size_t j = 0; j < o.ns; ++j) {
        const auto ps = segments_matrix_detail::point_to_segment(px, py, o.segments.data() + 4 * j);
        const double w = static_cast<double>(grow[j]) / ps.distance;
        const double vx = ps.rx * w;
        const double vy = ps.ry * w;
        T* s = gs + 4 * j;
        s[0] -= static_cast<T>((1.0 - ps.t) * vx);
        s[1] -= static_cast<T>((1.0 - ps.t) * vy);
        s[2] -= static_cast<T>(ps.t * vx);
        s[3] -= static_cast<T>(ps.t * vy);
        acc_x += vx;
        acc_y += vy;
      }
      gp_block[2 * i] += static_cast<T>(acc_x);
      gp_block[2 * i + 1] += static_cast<T>(acc_y);
    }
  }
}

MIRELON_INSTANTIATE_KERNEL(segments_matrix_fwd);
MIRELON_INSTANTIATE_KERNEL(segments_matrix_vjp);

}  // namespace mirelon
