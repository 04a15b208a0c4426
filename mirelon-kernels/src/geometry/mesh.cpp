// Linear interpolation of values given at the vertices of a planar triangle mesh, at query points,
// and its gradient with respect to the vertex values and the query points. Each query goes to the
// first triangle (in index order) that contains it, or else to the triangle it is least outside
// of, whose plane is then extrapolated.
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>

#include "numeric.hpp"
#include "pool.hpp"
#include "targets.hpp"

namespace mirelon {

// The three vertex indices of triangle t, first to third, each converted from its float and
// required to lie in 0 .. nv - 1. On failure `bad` holds the first index that does not.
template <typename T>
bool mesh_triangle_vertices(const T* triangles, size_t t, size_t nv, size_t (&v)[3],
                            int64_t& bad) {
  for (size_t k = 0; k < 3; ++k) {
    const int64_t i = saturating_to_i64(static_cast<double>(triangles[3 * t + k]));
    if (i < 0 || static_cast<uint64_t>(i) >= nv) {
      bad = i;
      return false;
    }
    v[k] = static_cast<size_t>(i);
  }
  return true;
}

namespace {

// Items counted by an operand's second-to-last extent, or nothing when that extent is negative:
// no operand fits a negative count.
std::optional<size_t> item_count(const KernelBuffer& b) {
  if (b.dims.size() >= 2 && b.dims[b.dims.size() - 2] < 0) return std::nullopt;
  return second_last_extent(b);
}

std::string vertex_error(size_t t, int64_t bad, size_t nv) {
  return message("triangle ", t, " references vertex ", bad, " outside 0..", nv);
}

// A triangle's corner a and edges e1 = b - a, e2 = c - a.
template <typename T>
struct Frame {
  T ax, ay, e1x, e1y, e2x, e2y;

  Frame(const T* vertices, const size_t (&v)[3]) {
    ax = vertices[2 * v[0]];
    ay = vertices[2 * v[0] + 1];
    e1x = vertices[2 * v[1]] - ax;
    e1y = vertices[2 * v[1] + 1] - ay;
    e2x = vertices[2 * v[2]] - ax;
    e2y = vertices[2 * v[2] + 1] - ay;
  }
  T det() const { return e1x * e2y - e2x * e1y; }
};

// The triangle chosen for one query and the query's barycentric coordinates in it.
template <typename T>
struct Choice {
  size_t t = 0;
  size_t v[3] = {0, 0, 0};
  T l0 = T(0), l1 = T(0), l2 = T(0);
};

enum class ScanEnd : uint8_t { chosen, bad_vertex, no_triangle };

template <typename T>
struct Mesh {
  const T* vertices;
  const T* triangles;
  size_t nv;
  size_t nt;

  // Scans the triangles in index order for query (qx, qy). The coordinates are compared in double
  // precision whatever T is: in 32-bit the degeneracy test then skips only a zero determinant.
  ScanEnd scan(T qx, T qy, Choice<T>& best, size_t& bad_t, int64_t& bad_v) const {
    bool have = false;
    double best_m = 0.0;
    for (size_t t = 0; t < nt; ++t) {
      size_t v[3];
      if (!mesh_triangle_vertices(triangles, t, nv, v, bad_v)) {
        bad_t = t;
        return ScanEnd::bad_vertex;
      }
      const Frame<T> f(vertices, v);
      const T det = f.det();
      if (std::fabs(static_cast<double>(det)) < 1e-300) continue;  // NaN is not skipped
      const T dx = qx - f.ax;
      const T dy = qy - f.ay;
      const T l1 = (f.e2y * dx - dy * f.e2x) / det;
      const T l2 = (f.e1x * dy - dx * f.e1y) / det;
      const T l0 = (T(1) - l1) - l2;
      const double m = static_cast<double>(min_ignoring_nan(min_ignoring_nan(l0, l1), l2));
      const bool inside = m >= -1e-9;
      // A NaN m never replaces a candidate, and a NaN candidate is never replaced.
      if (inside || !have || m > best_m) {
        have = true;
        best_m = m;
        best.t = t;
        best.v[0] = v[0], best.v[1] = v[1], best.v[2] = v[2];
        best.l0 = l0, best.l1 = l1, best.l2 = l2;
        if (inside) return ScanEnd::chosen;
      }
    }
    return have ? ScanEnd::chosen : ScanEnd::no_triangle;
  }
};

// The earliest query whose scan failed, across the pieces of the forward loop.
struct FirstFailure {
  std::atomic<size_t> query{std::numeric_limits<size_t>::max()};
  std::mutex lock;
  ScanEnd end = ScanEnd::chosen;
  size_t t = 0;
  int64_t vertex = 0;

  void record(size_t q, ScanEnd e, size_t bad_t, int64_t bad_v) {
    std::lock_guard<std::mutex> hold(lock);
    if (q >= query.load(std::memory_order_relaxed)) return;
    end = e;
    t = bad_t;
    vertex = bad_v;
    query.store(q, std::memory_order_relaxed);
  }
};

// Triangle tests per piece of the forward loop, enough to outweigh handing a piece to a worker.
constexpr size_t kTestsPerPiece = size_t{1} << 16;

}  // namespace

template <typename T>
void mesh_interp_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                     size_t) {
  const std::optional<size_t> vertex_count = item_count(in[0]);
  const std::optional<size_t> triangle_count = item_count(in[1]);
  const std::optional<size_t> query_count = item_count(in[3]);
  if (!vertex_count || !triangle_count || !query_count) {
    r.fail("mesh_interp: buffer length mismatch");
    return;
  }
  const size_t nv = *vertex_count;
  const size_t nt = *triangle_count;
  const size_t nq = *query_count;
  if (!(element_count(in[0]) == 2 * nv && checked_size(nt, 3) == element_count(in[1]) &&
        element_count(in[2]) == nv && element_count(in[3]) == 2 * nq)) {
    r.fail("mesh_interp: buffer length mismatch");
    return;
  }
  if (!(element_count(out[0]) == nq && element_count(out[1]) == nq &&
        checked_size(nq, 3) == element_count(out[2]))) {
    r.fail("mesh_interp: output length mismatch");
    return;
  }
  if (nq == 0) return;

  const Mesh<T> mesh{input_span<T>(in[0]).data(), input_span<T>(in[1]).data(), nv, nt};
  const T* values = input_span<T>(in[2]).data();
  const T* queries = input_span<T>(in[3]).data();
  T* value = output_span<T>(out[0]).data();
  T* index = output_span<T>(out[1]).data();
  T* bary = output_span<T>(out[2]).data();

  // Queries are independent, so they run in pieces on the pool; each writes only its own
  // outputs. A failing scan ends its piece; the earliest failing query names the error, and every
  // query before it has been written, as in a scan of the queries in order.
  FirstFailure failure;
  const size_t per_piece = nt < kTestsPerPiece ? kTestsPerPiece / (nt == 0 ? 1 : nt) : 1;
  const size_t pieces = nq / per_piece + (nq % per_piece != 0);
  pool::parallel_for(pieces, [&](size_t piece_begin, size_t piece_end) {
    const size_t end = piece_end * per_piece < nq ? piece_end * per_piece : nq;
    for (size_t q = piece_begin * per_piece; q < end; ++q) {
      if (q > failure.query.load(std::memory_order_relaxed)) return;
      Choice<T> c;
      size_t bad_t = 0;
      int64_t bad_v = 0;
      const ScanEnd e = mesh.scan(queries[2 * q], queries[2 * q + 1], c, bad_t, bad_v);
      if (e != ScanEnd::chosen) {
        failure.record(q, e, bad_t, bad_v);
        return;
      }
      value[q] = (values[c.v[0]] * c.l0 + values[c.v[1]] * c.l1) + values[c.v[2]] * c.l2;
      index[q] = static_cast<T>(static_cast<double>(c.t));
      bary[q] = c.l0;
      bary[nq + q] = c.l1;
      bary[2 * nq + q] = c.l2;
    }
  });
  if (failure.query.load() == std::numeric_limits<size_t>::max()) return;
  if (failure.end == ScanEnd::no_triangle) {
    r.fail("mesh has no non-degenerate triangle");
  } else {
    r.fail(vertex_error(failure.t, failure.vertex, nv));
  }
}

template <typename T>
void mesh_interp_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                     size_t) {
  const std::optional<size_t> vertex_count = item_count(in[0]);
  const std::optional<size_t> triangle_count = item_count(in[1]);
  const size_t nq = element_count(in[3]);
  if (!(checked_size(nq, 3) == element_count(in[4]) && element_count(in[5]) == nq) ||
      !vertex_count || !triangle_count) {
    r.fail("mesh_interp_vjp: buffer length mismatch");
    return;
  }
  const size_t nv = *vertex_count;
  const size_t nt = *triangle_count;
  if (!(element_count(out[0]) == nv && element_count(out[1]) == 2 * nq)) {
    r.fail("mesh_interp_vjp: output length mismatch");
    return;
  }
  // The residual triangles are looked up again in the mesh the forward was given.
  if (!check_operand_length(r, in[0], checked_size(nv, 2), LengthRule::at_least,
                            "mesh_interp_vjp: vertices") ||
      !check_operand_length(r, in[1], checked_size(nt, 3), LengthRule::at_least,
                            "mesh_interp_vjp: triangles") ||
      !check_operand_length(r, in[2], nv, LengthRule::at_least, "mesh_interp_vjp: values"))
    return;
  zero_fill<T>(out[0]);

  const T* vertices = input_span<T>(in[0]).data();
  const T* triangles = input_span<T>(in[1]).data();
  const T* values = input_span<T>(in[2]).data();
  const T* residual = input_span<T>(in[3]).data();
  const T* bary = input_span<T>(in[4]).data();
  const T* g = input_span<T>(in[5]).data();
  T* dvalues = output_span<T>(out[0]).data();
  T* dqueries = output_span<T>(out[1]).data();
  for (size_t q = 0; q < nq; ++q) {
    const uint64_t t = saturating_to_u64(static_cast<double>(residual[q]));
    if (t >= nt) {
      r.fail(message("residual triangle index ", t, " outside 0..", nt));
      return;
    }
    size_t v[3];
    int64_t bad = 0;
    if (!mesh_triangle_vertices(triangles, static_cast<size_t>(t), nv, v, bad)) {
      r.fail(vertex_error(static_cast<size_t>(t), bad, nv));
      return;
    }
    const T gq = g[q];
    dvalues[v[0]] += bary[q] * gq;
    dvalues[v[1]] += bary[nq + q] * gq;
    dvalues[v[2]] += bary[2 * nq + q] * gq;

    // The slope of the triangle's plane, whatever the query's place in it.
    const Frame<T> f(vertices, v);
    const T det = f.det();
    const T z0 = values[v[0]];
    const T dz1 = values[v[1]] - z0;
    const T dz2 = values[v[2]] - z0;
    dqueries[2 * q] = gq * (dz1 * (f.e2y / det) + (-f.e1y / det) * dz2);
    dqueries[2 * q + 1] = gq * (dz2 * (f.e1x / det) + (-f.e2x / det) * dz1);
  }
}

MIRELON_INSTANTIATE_KERNEL(mesh_interp_fwd);
MIRELON_INSTANTIATE_KERNEL(mesh_interp_vjp);

}  // namespace mirelon
