// The process-wide thread pool that forward kernels hand their main loop to. It is created on
// the first parallel loop with a worker count read once from RAYON_NUM_THREADS, then
// RAYON_RS_NUM_CPUS, then the number of online processors.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <type_traits>

namespace mirelon::pool {

// A count as the environment gives it: decimal digits with an optional leading '+'; anything
// else (empty, signs, spaces, overflow) is unparsable.
std::optional<size_t> parse_count(const char* text);

// The worker-count rule: RAYON_NUM_THREADS when it parses (0 meaning `online`), else
// RAYON_RS_NUM_CPUS when it parses to a positive count, else `online`.
size_t worker_count_from(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                         size_t online);

// Worker count of the process-wide pool; creates the pool on first use.
size_t worker_count();

// A borrowed callable over a piece [begin, end) of an index range.
class RangeBody {
 public:
  template <typename F>
  explicit RangeBody(F& f)
      : ctx_(&f), call_([](void* c, size_t b, size_t e) { (*static_cast<F*>(c))(b, e); }) {}
  void operator()(size_t begin, size_t end) const { call_(ctx_, begin, end); }

 private:
  void* ctx_;
  void (*call_)(void*, size_t, size_t);
};

// Runs body over [0, n) split into pieces on the pool; the caller blocks until every piece has
// finished. A range of 0 or 1 items runs inline on the calling thread.
void run(size_t n, RangeBody body);

// body(begin, end) over pieces of [0, n).
template <typename F>
void parallel_for(size_t n, F&& body) {
  if (n <= 1) {
    if (n == 1) body(size_t{0}, size_t{1});
    return;
  }
  run(n, RangeBody(body));
}

// row(i, span) over the rows of `out`, each `row_len` elements long (a trailing partial row is
// not visited). Each row is written by exactly one piece.
template <typename T, typename F>
void parallel_rows(std::span<T> out, size_t row_len, F&& row) {
  if (row_len == 0) return;
  const size_t rows = out.size() / row_len;
  parallel_for(rows, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) row(i, out.subspan(i * row_len, row_len));
  });
}

}  // namespace mirelon::pool
