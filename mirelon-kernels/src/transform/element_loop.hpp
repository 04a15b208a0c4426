// Element loops of the curve kernels on the thread pool. Elements are independent except where
// several of them add into one gradient slot; such a sum is still formed in increasing element
// order by one thread at a time: the workers store the terms of a chunk of elements, and the
// terms are then added in order, beside the evaluation of the next chunk. Every result is thus
// bit for bit that of a loop over the elements in order, however the pool splits the range.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <memory>

#include "param.hpp"
#include "pool.hpp"

namespace mirelon::transform {

// The cotangent and the gradient of the elements (a curve's first input): one value per element
// each.
inline bool check_cotangent(KernelResult& r, const KernelBuffer& cotangent,
                            const KernelBuffer& gradient, size_t n) {
  return check_length(r, cotangent, n, "cotangent length mismatch") &&
         check_length(r, gradient, n, "cotangent length mismatch");
}

// Work handed to a worker comes in blocks of about this many element evaluations (an exp or a
// knot search; a periodic element counts once per harmonic), so that a short call runs on the
// calling thread instead of paying for the hand-over.
constexpr size_t kBlockWork = 4096;

// Terms a chunk stores for all the ordered sums of a call together (the 2-D table counts its cell
// index as one); the scratch holds two chunks.
constexpr size_t kChunkTerms = size_t{1} << 18;

// Elements per block for elements costing `work` evaluations each: a power of two, at least 1.
inline size_t block_elements(size_t work) {
  const size_t per = work <= 1 ? kBlockWork : kBlockWork / work;
  return std::bit_floor(per > 1 ? per : size_t{1});
}

// Elements per chunk of a loop that runs on the calling thread alone: a short chain of additions
// after every few elements, which overlaps the evaluation of the next ones.
constexpr size_t kDirectChunk = 64;

// How a loop whose elements each store `terms` terms for ordered sums is cut up: blocks of
// `block` elements for the workers, chunks of `chunk` elements (a power of two) between the sums,
// and `rows` rows of scratch in which element i's terms go to row i & mask. A loop of one block,
// or on a pool of one worker, runs `direct`ly: on the calling thread, chunk after chunk, each
// summed right after it is evaluated, with one short chunk of scratch. Otherwise chunks are a
// multiple of `block`, and the scratch holds two of them (see for_chunks). With no terms to store
// the loop is one chunk.
struct Chunks {
  size_t block;
  size_t chunk;
  size_t mask;
  size_t rows;
  bool direct;

  Chunks(size_t n, size_t work, size_t terms)
      : block(block_elements(work)), direct(n <= block || pool::worker_count() == 1) {
    if (terms == 0) {
      chunk = n;
      mask = 0;
      rows = 0;
    } else if (direct) {
      chunk = kDirectChunk;
      mask = chunk - 1;
      rows = n < chunk ? n : chunk;
    } else {
      const size_t per = kChunkTerms / terms;
      chunk = std::bit_floor(per > 1 ? per : size_t{1});
      if (chunk < block) chunk = block;
      mask = 2 * chunk - 1;
      rows = n < 2 * chunk ? n : 2 * chunk;
    }
  }
};

// body(begin, end) over the blocks of [first, last), `block` elements each (the last one may be
// shorter), on the pool. The pool's pieces take the blocks one at a time from a shared counter,
// so a worker that is slow to start or is preempted holds up one block, not a share of the range
// fixed in advance. Which worker evaluates an element does not change its value. The body is
// called through one out-of-line copy.
template <typename F>
void for_blocks(size_t first, size_t last, size_t block, F&& body) {
  const pool::RangeBody range(body);
  const size_t n = last - first;
  const size_t blocks = n / block + (n % block != 0 ? 1 : 0);
  if (blocks <= 1) {
    if (blocks == 1) range(first, last);
    return;
  }
  std::atomic<size_t> next{0};
  const size_t workers = pool::worker_count();
  pool::parallel_for(blocks < workers ? blocks : workers, [&](size_t, size_t) {
    for (size_t b = next.fetch_add(1, std::memory_order_relaxed); b < blocks;
         b = next.fetch_add(1, std::memory_order_relaxed)) {
      const size_t begin = b * block;
      range(first + begin, first + (n - begin > block ? begin + block : n));
    }
  });
}

// [0, n) in chunks of c.chunk elements (chunks start at multiples of the chunk): body over each
// chunk's elements on the pool (for_blocks), and fold(begin, end) over each chunk once its body
// has finished, chunk after chunk in order. The fold of one chunk runs beside the body of the
// next, so a chunk's terms must stay where they are while the next chunk's are stored: the
// terms of two consecutive chunks are kept apart (see Chunks). A direct loop runs body and fold
// chunk by chunk on the calling thread. Every piece runs under the calling thread's
// floating-point environment.
template <typename Body, typename Fold>
void for_chunks(const Chunks& c, size_t n, Body&& body, Fold&& fold) {
  const auto chunk_end = [&](size_t begin) { return n - begin > c.chunk ? begin + c.chunk : n; };
  if (c.direct) {
    for (size_t begin = 0, end; begin < n; begin = end) {
      end = chunk_end(begin);
      body(begin, end);
      fold(begin, end);
    }
    return;
  }
  size_t begin = 0;
  size_t end = chunk_end(0);
  for_blocks(0, end, c.block, body);
  while (end < n) {
    const size_t next_end = chunk_end(end);
    pool::parallel_for(2, [&](size_t first, size_t last) {
      for (size_t task = first; task < last; ++task) {
        if (task == 0) {
          fold(begin, end);
        } else {
          for_blocks(end, next_end, c.block, body);
        }
      }
    });
    begin = end;
    end = next_end;
  }
  fold(begin, end);
}

// Uninitialised scratch of `count` values: in place when few (a short call allocates nothing),
// else on the heap.
template <typename T>
class Scratch {
 public:
  explicit Scratch(size_t count)
      : heap_(count > kInPlace ? std::make_unique_for_overwrite<T[]>(count) : nullptr) {}
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  T* get() { return heap_ ? heap_.get() : in_place_; }

 private:
  static constexpr size_t kInPlace = 256;
  T in_place_[kInPlace];
  std::unique_ptr<T[]> heap_;
};

// A parameter cotangent that element i adds its term into as slot = combine(slot, term), in
// increasing i. Per element (one slot each) the worker owning element i combines in place; with
// one value (every term into slot 0) put() stores the term in row i & mask of `terms`, and
// add_terms_together() adds a chunk's terms in order.
template <typename T, typename Combine>
class OrderedGrad {
 public:
  OrderedGrad(ParamGrad<T> grad, T* terms, size_t mask, Combine combine)
      : data_(grad.data), summed_(grad.summed()), terms_(terms), mask_(mask), combine_(combine) {}

  [[gnu::always_inline]] void put(size_t i, T term) const {
    if (summed_) {
      terms_[i & mask_] = term;
    } else {
      data_[i] = combine_(data_[i], term);
    }
  }

  // The running sum of the stored terms: starts from slot 0, takes element i's term, is stored
  // back into slot 0.
  [[gnu::always_inline]] T first() const { return summed_ ? data_[0] : T(0); }
  [[gnu::always_inline]] void step(T& s, size_t i) const {
    if (summed_) s = combine_(s, terms_[i & mask_]);
  }
  [[gnu::always_inline]] void last(T s) const {
    if (summed_) data_[0] = s;
  }

 private:
  T* data_;
  bool summed_;
  T* terms_;
  size_t mask_;
  Combine combine_;
};

// Adds the stored terms of one chunk, elements [begin, end), of every one-value cotangent among
// `grads` into its slot 0, in one pass: the running sums side by side so that their chains of
// additions overlap in the pipeline; each still takes its terms in increasing order.
template <typename... G>
void add_terms_together(size_t begin, size_t end, const G&... grads) {
  [&](auto... sums) {
    for (size_t i = begin; i < end; ++i) (grads.step(sums, i), ...);
    (grads.last(sums), ...);
  }(grads.first()...);
}

}  // namespace mirelon::transform
