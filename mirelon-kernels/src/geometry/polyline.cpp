// The point at given fractions of a polyline's length (open, or closed into a ring), in any number
// of dimensions, with the segment it lies on and its position there, and the gradient of the
// points with respect to the vertices and the fractions.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "numeric.hpp"
#include "targets.hpp"

namespace mirelon {

namespace polyline_detail {

// The vertices of a polyline and its segment count: nv vertices of d coordinates (the extents of
// the vertices operand); a closed polyline has nv segments (the last returns to vertex 0), an open
// one nv - 1, and none without vertices.
template <typename T>
struct Polyline {
  const T* v = nullptr;
  size_t nv = 0;
  size_t d = 0;
  bool closed = false;

  explicit Polyline(const KernelBuffer& vertices)
      : nv(second_last_extent(vertices)), d(last_extent(vertices)) {}

  size_t segments() const { return nv == 0 ? 0 : (closed ? nv : nv - 1); }
  size_t end_of(size_t i) const { return closed && i + 1 == nv ? 0 : i + 1; }
};

// min(max(x, 0), 1), NaN giving 0.
template <typename T>
T unit_interval(T x) {
  return x > T(0) ? (x < T(1) ? x : T(1)) : T(0);
}

// Plain length of each of the k segments (the squares added in coordinate order from 0), for
// d fixed at D (0: d as the polyline gives it). Segments are independent, so with a fixed d the
// loop up to the closing segment runs several segments at a time, each with the same operations.
template <size_t D, typename T>
void segment_lengths(const Polyline<T>& p, size_t k, T* lengths) {
  const size_t d = D == 0 ? p.d : D;
  const auto length = [&](size_t i, size_t j) {
    T sum = 0;
    for (size_t c = 0; c < d; ++c) {
      const T diff = p.v[j * d + c] - p.v[i * d + c];
      sum = sum + diff * diff;
    }
    return std::sqrt(sum);
  };
  const size_t open = std::min(k, p.nv - 1);  // segments that end at the next vertex
  for (size_t i = 0; i < open; ++i) lengths[i] = length(i, i + 1);
  if (k > open) lengths[open] = length(open, 0);
}

// Cumulative lengths cum[0] = 0, cum[i + 1] = length_i + cum[i], of the k segments, and how many
// of cum[1 .. k - 1] come before the first NaN. Lengths are never negative, so the sums never
// decrease until a NaN appears, and every sum after a NaN is NaN. With `dirs`, the unit direction
// of each segment too: its differences divided by its floored length.
template <typename T>
size_t cumulative_lengths(const Polyline<T>& p, size_t k, std::vector<T>& lengths,
                          std::vector<T>& cum, std::vector<T>* dirs = nullptr) {
  lengths.resize(k);
  if (p.d == 2) {
    segment_lengths<2>(p, k, lengths.data());
  } else {
    segment_lengths<0>(p, k, lengths.data());
  }
  if (dirs != nullptr) {
    dirs->resize(k * p.d);
    for (size_t i = 0; i < k; ++i) {
      const T len = floor_divisor(lengths[i]);
      const T* a = p.v + i * p.d;
      const T* b = p.v + p.end_of(i) * p.d;
      for (size_t c = 0; c < p.d; ++c) (*dirs)[i * p.d + c] = (b[c] - a[c]) / len;
    }
  }
  cum.resize(k + 1);
  cum[0] = T(0);
  for (size_t i = 0; i < k; ++i) cum[i + 1] = lengths[i] + cum[i];
  if (!std::isnan(cum[k - 1])) return k - 1;
  size_t ordered = 0;
  while (!std::isnan(cum[ordered + 1])) ++ordered;
  return ordered;
}

// The first segment i among 0 .. k - 2 with cum[i + 1] >= target, else the last segment (so a NaN
// target selects it). The first `ordered` of cum[1 ..] are ordered and the rest NaN (which never
// compares true), so a binary search over the ordered part finds what a scan from the start
// would. The search halves its range without branching on the data.
template <typename T>
size_t segment_at(const std::vector<T>& cum, size_t k, size_t ordered, T target) {
  if (std::isnan(target) || ordered == 0) return k - 1;
  const T* first = cum.data() + 1;
  const T* base = first;
  for (size_t n = ordered; n > 1;) {
    const size_t half = n / 2;
    base += half * static_cast<size_t>(base[half - 1] < target);
    n -= half;
  }
  const size_t i = static_cast<size_t>(base - first) + (*base < target ? 1 : 0);
  return i < ordered ? i : k - 1;
}

// Reads whether the polyline is closed from the flag operand; either way it must have a segment.
template <typename T>
bool read_closed(KernelResult& r, const KernelBuffer& flag, const char* kernel, Polyline<T>& p) {
  if (element_count(flag) == 0) {
    r.fail(message(kernel, ": closed flag operand is empty"));
    return false;
  }
  p.closed = static_cast<const T*>(flag.data)[0] != T(0);  // NaN closes
  if (p.segments() == 0) {
    r.fail(message(kernel, ": need at least one segment"));
    return false;
  }
  return true;
}

}  // namespace polyline_detail

template <typename T>
void boundary_point_at_fwd(KernelResult& r, const KernelBuffer* in, size_t,
                           const KernelBuffer* out, size_t) {
  using namespace polyline_detail;
  Polyline<T> p(in[0]);
  const size_t q = last_extent(in[1]);
  if (!check_length(r, in[0], checked_size(p.nv, p.d),
                    "boundary_point_at: vertices buffer length mismatch"))
    return;
  constexpr const char* kLengths = "boundary_point_at: buffer length mismatch";
  if (!check_length(r, in[1], q, kLengths) ||
      !check_length(r, out[0], checked_size(q, p.d), kLengths) ||
      !check_length(r, out[1], q, kLengths) || !check_length(r, out[2], q, kLengths))
    return;
  if (!read_closed<T>(r, in[2], "boundary_point_at", p)) return;
  const size_t k = p.segments();
  p.v = input_span<T>(in[0]).data();
  const T* s = input_span<T>(in[1]).data();
  T* points = output_span<T>(out[0]).data();
  T* segment = output_span<T>(out[1]).data();
  T* position = output_span<T>(out[2]).data();
  if (p.d == 0) {
    // Vertices of no coordinates, whose count no element backs: every segment has length 0, so
    // every cumulative length is 0 and L is the floor; the scan stops at segment 0 for a target
    // of 0 and runs to the last segment for any other. There are no points to write.
    const T total = floor_divisor(T(0));
    for (size_t n = 0; n < q; ++n) {
      const T target = unit_interval(s[n]) * total;
      segment[n] = static_cast<T>(static_cast<double>(target > T(0) ? k - 1 : 0));
      position[n] = unit_interval((target - T(0)) / total);
    }
    return;
  }
  std::vector<T> lengths, cum;
  const size_t ordered = cumulative_lengths(p, k, lengths, cum);
  if (q == 0) return;

  const T total = floor_divisor(cum[k]);
  for (size_t n = 0; n < q; ++n) {
    const T target = unit_interval(s[n]) * total;
    const size_t i = segment_at(cum, k, ordered, target);
    const size_t j = p.end_of(i);
    const T t = unit_interval((target - cum[i]) / floor_divisor(lengths[i]));
    const T* a = p.v + i * p.d;
    const T* b = p.v + j * p.d;
    T* point = points + n * p.d;
    for (size_t c = 0; c < p.d; ++c) point[c] = (b[c] - a[c]) * t + a[c];
    segment[n] = static_cast<T>(static_cast<double>(i));
    position[n] = t;
  }
}

template <typename T>
void boundary_point_at_vjp(KernelResult& r, const KernelBuffer* in, size_t,
                           const KernelBuffer* out, size_t) {
  using namespace polyline_detail;
  Polyline<T> p(in[0]);
  const size_t q = last_extent(in[1]);
  const std::optional<size_t> point_values = checked_size(q, p.d);
  const std::optional<size_t> vertex_values = checked_size(p.nv, p.d);
  constexpr const char* kInputs = "boundary_point_at_vjp: buffer length mismatch";
  if (!check_length(r, in[3], q, kInputs) || !check_length(r, in[4], q, kInputs) ||
      !check_length(r, in[5], point_values, kInputs))
    return;
  constexpr const char* kOutputs = "boundary_point_at_vjp: output length mismatch";
  if (!check_length(r, out[0], vertex_values, kOutputs) || !check_length(r, out[1], q, kOutputs))
    return;
  if (!read_closed<T>(r, in[2], "boundary_point_at_vjp", p)) return;
  const size_t k = p.segments();
  // The vertices and fractions are read as the forward's shapes give them.
  if (!check_operand_length(r, in[0], *vertex_values, LengthRule::at_least,
                            "boundary_point_at_vjp: vertices") ||
      !check_operand_length(r, in[1], q, LengthRule::at_least, "boundary_point_at_vjp: fractions"))
    return;

  zero_fill<T>(out[0]);
  zero_fill<T>(out[1]);
  const T* index = input_span<T>(in[3]).data();
  T* ds = output_span<T>(out[1]).data();
  const auto check_index = [&](size_t n, uint64_t& i) {
    i = saturating_to_u64(static_cast<double>(index[n]));
    if (i < k) return true;
    r.fail("boundary_point_at_vjp: residual segment index out of range");
    return false;
  };
  if (p.d == 0) {
    // Vertices of no coordinates (see the forward): dV is empty, every dot product is 0, and so
    // is every ds[q] = (L x 0) / lf; only the residual indices remain to be checked.
    for (size_t n = 0; n < q; ++n) {
      uint64_t i = 0;
      if (!check_index(n, i)) return;
    }
    return;
  }
  p.v = input_span<T>(in[0]).data();
  std::vector<T> lengths, cum, dirs;
  cumulative_lengths(p, k, lengths, cum, &dirs);
  if (q == 0) return;

  const T total = floor_divisor(cum[k]);
  const T* s = input_span<T>(in[1]).data();
  const T* position = input_span<T>(in[4]).data();
  const T* cotangent = input_span<T>(in[5]).data();
  T* dv = output_span<T>(out[0]).data();
  const size_t d = p.d;
  for (size_t n = 0; n < q; ++n) {
    uint64_t i = 0;
    if (!check_index(n, i)) return;
    const size_t j = p.end_of(i);
    const T tr = position[n];
    const T lf = floor_divisor(lengths[i]);
    const T sc = unit_interval(s[n]);
    const T* g = cotangent + n * d;
    const T* a = p.v + i * d;
    const T* b = p.v + j * d;

    // The segment's two vertices take (1 - t) g and t g.
    for (size_t c = 0; c < d; ++c) {
      dv[i * d + c] += (T(1) - tr) * g[c];
      dv[j * d + c] = g[c] * tr + dv[j * d + c];
    }
    T dot = 0;
    for (size_t c = 0; c < d; ++c) dot = dot + (b[c] - a[c]) * g[c];
    ds[n] = (total * dot) / lf;

    // Every segment's length moves t: by (sc - 1) / lf before segment i, sc / lf - t / lf on it
    // and sc / lf after it; the length passes that on along its direction.
    const T before = (sc - T(1)) / lf;
    const T after = sc / lf;
    const T on = after - tr / lf;
    for (size_t m = 0; m < k; ++m) {
      const T coef = m < i ? before : (m == i ? on : after);
      if (coef == T(0)) continue;
      const size_t jm = p.end_of(m);
      const T w = coef * dot;
      const T* dir = dirs.data() + m * d;
      for (size_t c = 0; c < d; ++c) {
        const T u = dir[c] * w;
        dv[m * d + c] -= u;
        dv[jm * d + c] = u + dv[jm * d + c];
      }
    }
  }
}

MIRELON_INSTANTIATE_KERNEL(boundary_point_at_fwd);
MIRELON_INSTANTIATE_KERNEL(boundary_point_at_vjp);

}  // namespace mirelon
