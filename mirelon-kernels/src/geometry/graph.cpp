// Graphs whose edges are carried as pairs of float node indices: the linear cascade of node values
// along weighted edges and its gradient, and the lengths of the edges between node positions and
// their gradient.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "batch.hpp"
#include "numeric.hpp"
#include "pool.hpp"
#include "targets.hpp"

namespace mirelon {

namespace graph_detail {

// The end points of edge e, converted by truncation toward zero with saturation (NaN giving node
// 0); whether both name one of the n nodes.
template <typename T>
bool edge_in_range(const T* edges, size_t e, size_t n, int64_t& s, int64_t& d) {
  s = saturating_to_i64(static_cast<double>(edges[2 * e]));
  d = saturating_to_i64(static_cast<double>(edges[2 * e + 1]));
  return s >= 0 && d >= 0 && static_cast<uint64_t>(s) < n && static_cast<uint64_t>(d) < n;
}

// The end points of edge e checked against the node count n; on failure fills `r` with the edge
// message.
template <typename T>
bool edge_nodes(KernelResult& r, const T* edges, size_t e, size_t n, size_t& src, size_t& dst) {
  int64_t s, d;
  if (!edge_in_range(edges, e, n, s, d)) {
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

// body(begin, end) over pieces of [0, count): on the pool when `parallel`, else in one piece here.
template <typename F>
void for_pieces(size_t count, bool parallel, F&& body) {
  if (parallel) {
    pool::parallel_for(count, body);
  } else if (count > 0) {
    body(size_t{0}, count);
  }
}

// Edge lists at least this long are checked, measured and propagated on the pool, the cascade's
// in this many groups of destinations. Neither depends on the worker count: where two NaN meet in
// a sum, which one is passed on depends on the code that adds them (the groups' bounds decide
// which elements a vectorised loop takes in its vector body), so the same list must always take
// the same path and the same groups.
constexpr size_t kParallelEdges = size_t{1} << 16;
constexpr size_t kEdgeGroups = 256;

// Node of an end point already checked by `first_invalid_edge`.
template <typename T>
size_t node_of(T v) {
  return static_cast<size_t>(saturating_to_i64(static_cast<double>(v)));
}

// Index of the first of m edges that names a node outside 0 .. n - 1, or m when every edge is
// valid: the edge a scan in input order would stop at.
template <typename T>
size_t first_invalid_edge(const T* edges, size_t m, size_t n) {
  std::atomic<size_t> first{m};
  for_pieces(m, m >= kParallelEdges, [&](size_t begin, size_t end) {
    for (size_t e = begin; e < end && e < first.load(std::memory_order_relaxed); ++e) {
      int64_t s, d;
      if (!edge_in_range(edges, e, n, s, d)) {
        size_t seen = first.load(std::memory_order_relaxed);
        while (e < seen && !first.compare_exchange_weak(seen, e, std::memory_order_relaxed)) {
        }
        return;
      }
    }
  });
  return first.load();
}

// Checks every edge before anything reads them; on an invalid edge fills `r` with its message.
template <typename T>
bool check_edges(KernelResult& r, const T* edges, size_t m, size_t n) {
  const size_t bad = first_invalid_edge(edges, m, n);
  size_t src = 0, dst = 0;
  return bad == m || edge_nodes(r, edges, bad, n, src, dst);
}

// Squared distance of nodes a and b, the squares added in coordinate order from 0.
template <typename T>
T squared_distance(const T* x, size_t d, size_t a, size_t b) {
  T sum = 0;
  for (size_t k = 0; k < d; ++k) {
    const T diff = x[b * d + k] - x[a * d + k];
    sum = sum + diff * diff;
  }
  return sum;
}

// A checked edge list as node indices of type I (source and destination of edge e at 2e and
// 2e + 1) with its weights, grouped by ranges of destination nodes: group g holds the edges into
// nodes [g << shift, (g + 1) << shift), in input order. Groups write disjoint nodes, so they can
// be propagated side by side, and every node still receives its edges in input order: the sums
// are those of one pass over all edges, bit for bit. One group is the list as given.
template <typename T, typename I>
struct EdgeGroups {
  unsigned shift = 0;
  size_t count = 1;
  std::vector<size_t> start;  // count + 1 offsets into edges and w
  std::unique_ptr<I[]> edges;
  std::unique_ptr<T[]> w;

  // At most `wanted` groups; `chunks` pieces of the list are sorted into them side by
  // side, each piece's edges placed after those of the pieces before it in every group.
  EdgeGroups(const T* raw, const T* weights, size_t m, size_t n, size_t wanted, size_t chunks)
      : edges(std::make_unique_for_overwrite<I[]>(2 * m)),
        w(std::make_unique_for_overwrite<T[]>(m)) {
    while (((n - 1) >> shift) + 1 > wanted) ++shift;
    count = ((n - 1) >> shift) + 1;
    const auto chunk_start = [m, chunks](size_t c) {
      return c * (m / chunks) + std::min(c, m % chunks);
    };
    std::vector<size_t> place(chunks * count, 0);  // chunk c, group g at c * count + g
    for_pieces(chunks, chunks > 1, [&](size_t first, size_t last) {
      for (size_t c = first; c < last; ++c) {
        size_t* hist = place.data() + c * count;
        if (count == 1) {
          hist[0] = chunk_start(c + 1) - chunk_start(c);
          continue;
        }
        for (size_t e = chunk_start(c); e < chunk_start(c + 1); ++e) {
          ++hist[node_of(raw[2 * e + 1]) >> shift];
        }
      }
    });
    start.assign(count + 1, 0);
    size_t offset = 0;
    for (size_t g = 0; g < count; ++g) {
      start[g] = offset;
      for (size_t c = 0; c < chunks; ++c) {
        const size_t here = place[c * count + g];
        place[c * count + g] = offset;
        offset += here;
      }
    }
    start[count] = offset;
    for_pieces(chunks, chunks > 1, [&](size_t first, size_t last) {
      for (size_t c = first; c < last; ++c) {
        size_t* next = place.data() + c * count;
        for (size_t e = chunk_start(c); e < chunk_start(c + 1); ++e) {
          const size_t dst = node_of(raw[2 * e + 1]);
          const size_t k = next[dst >> shift]++;
          edges[2 * k] = static_cast<I>(node_of(raw[2 * e]));
          edges[2 * k + 1] = static_cast<I>(dst);
          w[k] = weights[e];
        }
      }
    });
  }

  size_t size(size_t g) const { return start[g + 1] - start[g]; }
  const I* edges_of(size_t g) const { return edges.get() + 2 * start[g]; }
  const T* weights_of(size_t g) const { return w.get() + start[g]; }
};

// next[dst] = weight * prev[src] + next[dst] for each edge in order: the product rounded before
// the sum.
template <typename T, typename I>
void propagate_edges(const I* edges, const T* w, size_t m, const T* prev, T* next) {
  for (size_t e = 0; e < m; ++e) {
    const I src = edges[2 * e];
    const I dst = edges[2 * e + 1];
    next[dst] = w[e] * prev[src] + next[dst];
  }
}

// Y's rows, zero-filled by the caller, receive x_0, x_1, ..., x_S in that order as each state is
// produced; only the previous state is kept. The groups of a long list run on the pool.
template <typename T, typename I>
void cascade_rows(const BatchView<const T>& x, const EdgeGroups<T, I>& gr, uint64_t s,
                  bool parallel, T* y) {
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
      for_pieces(gr.count, parallel, [&](size_t first, size_t last) {
        for (size_t g = first; g < last; ++g) {
          const size_t lo = g << gr.shift;
          const size_t hi = std::min(n, (g + 1) << gr.shift);
          for (size_t k = lo; k < hi; ++k) next[k] = T(0);
          propagate_edges(gr.edges_of(g), gr.weights_of(g), gr.size(g), prev.data(), next.data());
          for (size_t k = lo; k < hi; ++k) out[k] = out[k] + next[k];
        }
      });
      prev.swap(next);
    }
  }
}

// The adjoint of the forward sum by Horner's scheme, over the edges in input order (one group):
// `history` holds x_0 ... x_{S-1} of one row at a time (x_S is never read); a, starting from the
// row's cotangent g, becomes g + A^T a at each step back, and dW[e] collects
// x_{k-1}[src] * a[dst].
template <typename T, typename I>
void cascade_vjp_rows(const BatchView<const T>& x, const BatchView<const T>& g,
                      const EdgeGroups<T, I>& list, uint64_t s, T* history, T* dx, T* dw) {
  const size_t n = x.inner();
  const size_t m = list.size(0);
  const I* edges = list.edges_of(0);
  const T* w = list.weights_of(0);
  std::vector<T> a(n), next(n);
  for (size_t b = 0; b < x.batch_count(); ++b) {
    const auto row = x.block(b);
    const auto cot = g.block(b);
    for (size_t k = 0; k < n; ++k) history[k] = row[k];
    for (uint64_t step = 1; step < s; ++step) {
      T* state = history + step * n;
      for (size_t k = 0; k < n; ++k) state[k] = T(0);
      propagate_edges(edges, w, m, state - n, state);
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

// Runs f with the checked edges as EdgeGroups of 32-bit node indices when every node index fits
// (which halves the list each step streams through), else of 64-bit ones.
template <typename T, typename F>
void with_edge_groups(const T* edges, const T* w, size_t m, size_t n, size_t groups, F&& f) {
  if (n <= (size_t{1} << 32)) {
    f(EdgeGroups<T, uint32_t>(edges, w, m, n, groups, groups));
  } else {
    f(EdgeGroups<T, uint64_t>(edges, w, m, n, groups, groups));
  }
}

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
  if (!check_edges(r, edges, m, n)) return;
  const bool parallel = m >= kParallelEdges;
  const size_t groups = parallel ? kEdgeGroups : 1;
  with_edge_groups(edges, w, m, n, groups,
                   [&](const auto& gr) { cascade_rows(x, gr, s, parallel, y); });
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
  if (!check_edges(r, edges, m, n)) return;
  T* dw = output_span<T>(out[1]).data();
  with_edge_groups(edges, w, m, n, 1, [&](const auto& list) {
    cascade_vjp_rows(x, g, list, s, history.data(), dx, dw);
  });
}

template <typename T>
void edge_lengths_fwd(KernelResult& r, const KernelBuffer* in, size_t, const KernelBuffer* out,
                      size_t) {
  using namespace graph_detail;
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
  // Every edge before the first invalid one gets its length, as a scan in edge order that stops
  // there would leave it; each length is its own, so large lists are measured on the pool.
  const size_t valid = first_invalid_edge(edges, ne, nodes);
  for_pieces(valid, valid >= kParallelEdges, [&](size_t first, size_t last) {
    for (size_t e = first; e < last; ++e) {
      const size_t src = node_of(edges[2 * e]);
      lengths[e] = std::sqrt(squared_distance(x, d, src, node_of(edges[2 * e + 1])));
    }
  });
  size_t src = 0, dst = 0;
  if (valid < ne) edge_nodes(r, edges, valid, nodes, src, dst);
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
      !check_operand_length(r, in[1], checked_size(2, ne), LengthRule::at_least,
                            "edge_lengths_vjp: edges"))
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
    const T len = floor_divisor(std::sqrt(graph_detail::squared_distance(x, d, src, dst)));
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
