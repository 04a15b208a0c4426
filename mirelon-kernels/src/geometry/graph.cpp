// Graphs whose edges are carried as pairs of float node indices: the linear cascade of node values
// along weighted edges and its gradient, and the lengths of the edges between node positions and
// their gradient.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <vector>

#include "batch.hpp"
#include "numeric.hpp"
#include "targets.hpp"

namespace mirelon {

namespace graph_detail {

// Converts the end points of edge e (truncation toward zero with saturation, NaN giving node 0)
// and checks them against the node count n; on failure fills `r` with the edge message.
template <typename T>
bool edge_nodes(KernelResult& r, const T* edges, size_t e, size_t n, size_t& src, size_t& dst) {
  const int64_t s = saturating_to_i64(static_cast<double>(edges[2 * e]));
  const int64_t d = saturating_to_i64(static_cast<double>(edges[2 * e + 1]));
  if (s < 0 || d < 0 || static_cast<uint64_t>(s) >= n || static_cast<uint64_t>(d) >= n) {
    r.fail(message("edge ", e, " references node (", s, ", ", d, ") outside 0..", n));
    return false;
  }
  src = static_cast<size_t>(s);
  dst = static_cast<size_t>(d);
  return true;
}

// Physical memory of the machine in bytes, read once; no bound when the system does not say.
inline size_t physical_memory() {
  static const size_t bytes = [] {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return std::numeric_limits<size_t>::max();
    const auto total = checked_size(static_cast<size_t>(pages), static_cast<size_t>(page_size));
    return total ? *total : std::numeric_limits<size_t>::max();
  }();
  return bytes;
}

// The step count S of a cascade: element 0 of the steps operand, truncated toward zero with
// saturation (NaN and negatives giving 0). A cascade's state history holds S + 1 states of n
// values; a count whose history could not be held in memory (S + 1 overflowing included) is
// rejected here, before the kernel writes anything.
template <typename T>
bool read_steps(KernelResult& r, const KernelBuffer& steps, size_t n, const char* kernel,
                uint64_t& s) {
  if (element_count(steps) == 0) {
    r.fail(message(kernel, ": steps operand is empty"));
    return false;
  }
  s = saturating_to_u64(static_cast<double>(static_cast<const T*>(steps.data)[0]));
  const std::optional<size_t> bytes = s == std::numeric_limits<uint64_t>::max()
                                          ? std::nullopt
                                          : checked_size(s + 1, n, sizeof(T));
  if (!bytes || *bytes > physical_memory()) {
    r.fail(message(kernel, ": a state history of ", s, " steps over ", n,
                   " nodes exceeds memory"));
    return false;
  }
  return true;
}

// The edge list converted once into node indices of type I, source and destination of edge e at
// 2e and 2e + 1. Every step of a cascade reads the same edges, so converting and checking them
// up front gives the message the first step would give, before any row is touched.
template <typename I, typename T>
bool convert_edges(KernelResult& r, const T* edges, size_t m, size_t n, std::vector<I>& out) {
  out.resize(2 * m);
  for (size_t e = 0; e < m; ++e) {
    size_t src = 0, dst = 0;
    if (!edge_nodes(r, edges, e, n, src, dst)) return false;
    out[2 * e] = static_cast<I>(src);
    out[2 * e + 1] = static_cast<I>(dst);
  }
  return true;
}

// next = A prev: next is zeroed, then each edge adds weight * prev[src] into next[dst], in edge
// order, the product rounded before the sum.
template <typename T, typename I>
void propagate_step(const I* edges, const T* w, size_t m, const T* prev, T* next, size_t n) {
  for (size_t k = 0; k < n; ++k) next[k] = T(0);
  for (size_t e = 0; e < m; ++e) {
    const I src = edges[2 * e];
    const I dst = edges[2 * e + 1];
    next[dst] = w[e] * prev[src] + next[dst];
  }
}

// Y's rows, zero-filled by the caller, receive x_0, x_1, ..., x_S in that order as each state is
// produced; only the previous state is kept.
template <typename T, typename I>
void cascade_rows(const BatchView<const T>& x, const I* edges, const T* w, size_t m, uint64_t s,
                  T* y) {
  const size_t n = x.inner();
  std::vector<T> prev(n), next(n);
  for (size_t b = 0; b < x.batch_count(); ++b) {
    const auto row = x.block(b);
    T* out = y + b * n;
    for (size_t k = 0; k < n; ++k) {
      prev[k] = row[k];
      out[k] = out[k] + prev[k];
    }
    for (uint64_t step = 1; step <= s; ++step) {
      propagate_step(edges, w, m, prev.data(), next.data(), n);
      for (size_t k = 0; k < n; ++k) out[k] = out[k] + next[k];
      prev.swap(next);
    }
  }
}

// The adjoint of the forward sum by Horner's scheme: `history` holds x_0 ... x_{S-1} of one row
// at a time (x_S is never read); a, starting from the row's cotangent g, becomes
// g + A^T a at each step back, and dW[e] collects x_{k-1}[src] * a[dst].
template <typename T, typename I>
void cascade_vjp_rows(const BatchView<const T>& x, const BatchView<const T>& g, const I* edges,
                      const T* w, size_t m, uint64_t s, T* history, T* dx, T* dw) {
  const size_t n = x.inner();
  std::vector<T> a(n), next(n);
  for (size_t b = 0; b < x.batch_count(); ++b) {
    const auto row = x.block(b);
    const auto cot = g.block(b);
    for (size_t k = 0; k < n; ++k) history[k] = row[k];
    for (uint64_t step = 1; step < s; ++step) {
      propagate_step(edges, w, m, history + (step - 1) * n, history + step * n, n);
    }
    for (size_t k = 0; k < n; ++k) a[k] = cot[k];
    for (uint64_t step = s; step >= 1; --step) {
      const T* before = history + (step - 1) * n;
      for (size_t k = 0; k < n; ++k) next[k] = cot[k];
      for (size_t e = 0; e < m; ++e) {
        const I src = edges[2 * e];
        const I dst = edges[2 * e + 1];
        dw[e] = dw[e] + before[src] * a[dst];
        next[src] = a[dst] * w[e] + next[src];
      }
      a.swap(next);
    }
    T* out = dx + b * n;
    for (size_t k = 0; k < n; ++k) out[k] = a[k];
  }
}

// Node indices fit in 32 bits for every graph of up to 2^32 nodes, which halves the edge list
// that each step streams through.
inline bool narrow_indices(size_t n) { return n <= (size_t{1} << 32); }

}  // namespace graph_detail

template <typename T>
void cascade_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                 size_t) {
  using namespace graph_detail;
  const size_t n = last_extent(in[0]);
  const size_t m = second_last_extent(in[1]);
  if (!check_length(r, in[1], checked_size(2, m), "cascade: buffer length mismatch") ||
      !check_length(r, in[2], m, "cascade: buffer length mismatch"))
    return;
  BatchView<const T> x;
  if (!x.init(input_span<T>(in[0]), n, r)) return;
  if (!check_length(r, out[0], x.data().size(), "cascade: output length mismatch")) return;
  uint64_t s = 0;
  if (!read_steps<T>(r, in[3], n, "cascade", s)) return;

  zero_fill<T>(out[0]);
  if (x.batch_count() == 0) return;
  T* y = output_span<T>(out[0]).data();
  if (s == 0 || m == 0) {
    // Every state after x_0 is zero, and adding +0 to the sum 0 + x_0 changes no bit of it.
    const auto all = x.data();
    for (size_t k = 0; k < all.size(); ++k) y[k] = y[k] + all[k];
    return;
  }
  const T* edges = input_span<T>(in[1]).data();
  const T* w = input_span<T>(in[2]).data();
  if (narrow_indices(n)) {
    std::vector<uint32_t> idx;
    if (!convert_edges(r, edges, m, n, idx)) return;
    cascade_rows(x, idx.data(), w, m, s, y);
  } else {
    std::vector<uint64_t> idx;
    if (!convert_edges(r, edges, m, n, idx)) return;
    cascade_rows(x, idx.data(), w, m, s, y);
  }
}

template <typename T>
void cascade_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                 size_t) {
  using namespace graph_detail;
  const size_t n = last_extent(in[0]);
  const size_t m = second_last_extent(in[1]);
  if (!check_length(r, in[1], checked_size(2, m), "cascade_vjp: buffer length mismatch") ||
      !check_length(r, in[2], m, "cascade_vjp: buffer length mismatch") ||
      !check_length(r, out[1], m, "cascade_vjp: buffer length mismatch"))
    return;
  BatchView<const T> x, g;
  if (!x.init(input_span<T>(in[0]), n, r) || !g.init(input_span<T>(in[4]), n, r)) return;
  if (element_count(out[0]) != x.data().size() || g.batch_count() != x.batch_count()) {
    r.fail("cascade_vjp: batch/output length mismatch");
    return;
  }
  uint64_t s = 0;
  if (!read_steps<T>(r, in[3], n, "cascade_vjp", s)) return;
  const bool trivial = x.batch_count() == 0 || s == 0 || m == 0;
  // The history is taken before anything is written, so that a failed allocation leaves the
  // outputs as they were. read_steps has bounded s * n.
  std::vector<T> history;
  if (!trivial) {
    try {
      history.resize(static_cast<size_t>(s) * n);
    } catch (const std::bad_alloc&) {
      r.fail(message("cascade_vjp: a state history of ", s, " steps over ", n,
                     " nodes exceeds memory"));
      return;
    }
  }

  zero_fill<T>(out[1]);
  if (x.batch_count() == 0) return;
  T* dx = output_span<T>(out[0]).data();
  if (trivial) {
    // No step moves anything: the gradient of every row is its cotangent.
    const auto all = g.data();
    for (size_t k = 0; k < all.size(); ++k) dx[k] = all[k];
    return;
  }
  const T* edges = input_span<T>(in[1]).data();
  const T* w = input_span<T>(in[2]).data();
  T* dw = output_span<T>(out[1]).data();
  if (narrow_indices(n)) {
    std::vector<uint32_t> idx;
    if (!convert_edges(r, edges, m, n, idx)) return;
    cascade_vjp_rows(x, g, idx.data(), w, m, s, history.data(), dx, dw);
  } else {
    std::vector<uint64_t> idx;
    if (!convert_edges(r, edges, m, n, idx)) return;
    cascade_vjp_rows(x, g, idx.data(), w, m, s, history.data(), dx, dw);
  }
}

template <typename T>
void edge_lengths_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                      size_t) {
  const size_t nodes = second_last_extent(in[0]);
  const size_t d = last_extent(in[0]);
  const size_t ne = second_last_extent(in[1]);
  if (!check_length(r, in[0], checked_size(nodes, d), "edge_lengths: buffer length mismatch") ||
      !check_length(r, in[1], checked_size(2, ne), "edge_lengths: buffer length mismatch") ||
      !check_length(r, out[0], ne, "edge_lengths: buffer length mismatch"))
    return;
  const T* x = input_span<T>(in[0]).data();
  const T* edges = input_span<T>(in[1]).data();
  T* lengths = output_span<T>(out[0]).data();
  for (size_t e = 0; e < ne; ++e) {
    size_t src = 0, dst = 0;
    if (!graph_detail::edge_nodes(r, edges, e, nodes, src, dst)) return;
    T sum = 0;
    for (size_t k = 0; k < d; ++k) {
      const T diff = x[dst * d + k] - x[src * d + k];
      sum = sum + diff * diff;
    }
    lengths[e] = std::sqrt(sum);
  }
}

template <typename T>
void edge_lengths_vjp(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                      size_t) {
  const size_t nodes = second_last_extent(in[0]);
  const size_t d = last_extent(in[0]);
  const size_t ne = second_last_extent(in[1]);
  const std::optional<size_t> positions = checked_size(nodes, d);
  if (!check_length(r, in[2], ne, "edge_lengths_vjp: buffer length mismatch") ||
      !check_length(r, out[0], positions, "edge_lengths_vjp: buffer length mismatch"))
    return;
  // The positions and edges are read as the forward's shapes give them.
  if (!check_operand_length(r, in[0], *positions, LengthRule::at_least,
                            "edge_lengths_vjp: node positions") ||
      !check_operand_length(r, in[1], 2 * ne, LengthRule::at_least, "edge_lengths_vjp: edges"))
    return;

  zero_fill<T>(out[0]);
  const T* x = input_span<T>(in[0]).data();
  const T* edges = input_span<T>(in[1]).data();
  const T* g = input_span<T>(in[2]).data();
  T* dx = output_span<T>(out[0]).data();
  for (size_t e = 0; e < ne; ++e) {
    size_t src = 0, dst = 0;
    if (!graph_detail::edge_nodes(r, edges, e, nodes, src, dst)) return;
    if (d == 0) continue;
    T sum = 0;
    for (size_t k = 0; k < d; ++k) {
      const T diff = x[dst * d + k] - x[src * d + k];
      sum = sum + diff * diff;
    }
    const T len = floor_divisor(std::sqrt(sum));
    for (size_t k = 0; k < d; ++k) {
      const T u = ((x[dst * d + k] - x[src * d + k]) * g[e]) / len;
      dx[dst * d + k] += u;
      dx[src * d + k] -= u;
    }
  }
}

MIRELON_INSTANTIATE_KERNEL(cascade_fwd);
MIRELON_INSTANTIATE_KERNEL(cascade_vjp);
MIRELON_INSTANTIATE_KERNEL(edge_lengths_fwd);
MIRELON_INSTANTIATE_KERNEL(edge_lengths_vjp);

}  // namespace mirelon
