// An operand seen as a stack of equal blocks, one per batch item, with broadcasting of a single
// block, and the rule that combines the batch counts of a call.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <span>
#include <string>

#include "kernel.hpp"

namespace mirelon {

// "inner block size must be positive" or "buffer length {} is not a multiple of inner size {}".
std::string batch_inner_error(size_t length, size_t inner);

template <typename T>
class BatchView {
 public:
  // Views `data` as blocks of `inner` elements; on a failed check fills `r` and returns false.
  bool init(std::span<T> data, size_t inner, KernelResult& r) {
    if (inner == 0 || data.size() % inner != 0) {
      r.fail(batch_inner_error(data.size(), inner));
      return false;
    }
    data_ = data;
    inner_ = inner;
    batch_count_ = data.size() / inner;
    return true;
  }

  // Block b; a view of one block broadcasts it to every batch item.
  std::span<T> block(size_t b) const { return data_.subspan(offset(b), inner_); }
  // Offset of block b in this operand, or in any buffer laid out like it (its gradient).
  size_t offset(size_t b) const { return batch_count_ == 1 ? 0 : b * inner_; }
  bool broadcast() const { return batch_count_ == 1; }
  size_t inner() const { return inner_; }
  size_t batch_count() const { return batch_count_; }
  std::span<T> data() const { return data_; }

 private:
  std::span<T> data_;
  size_t inner_ = 1;
  size_t batch_count_ = 0;
};

// The gradient output of an operand seen through `view`: block b of the gradient is where batch
// item b's contributions go. For a broadcast operand every batch item's block is block 0, so
// contributions added in increasing b form the sum over the batches there. `out` must hold at
// least the operand's element count (checked by the caller).
template <typename T>
class BatchGrad {
 public:
  template <typename U>
  BatchGrad(std::span<T> out, const BatchView<U>& view)
      : data_(out.data()), inner_(view.inner()), broadcast_(view.broadcast()) {}

  std::span<T> block(size_t b) const { return {data_ + (broadcast_ ? 0 : b * inner_), inner_}; }
  T* data() const { return data_; }

 private:
  T* data_;
  size_t inner_;
  bool broadcast_;
};

// The common batch count of the views of a call, in operand order: a count of 1 broadcasts;
// every other count must equal the first such count. On a mismatch fills `r` and returns false.
bool unify_batch_counts(std::span<const size_t> counts, size_t& common, KernelResult& r);

inline bool unify_batch_counts(std::initializer_list<size_t> counts, size_t& common,
                               KernelResult& r) {
  return unify_batch_counts(std::span<const size_t>(counts.begin(), counts.size()), common, r);
}

}  // namespace mirelon
