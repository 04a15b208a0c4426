// The records every kernel works with: one operand (`KernelBuffer`), its element type (`DType`),
// the kernel's verdict (`KernelResult`), the sizes derived from an operand, and the typed kernel
// signature that the handler entries call.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace mirelon {

// Element-type codes in the XLA FFI numbering; only these two reach a kernel.
enum class DType : int32_t { F32 = 11, F64 = 12 };

// The extents of one operand, copied from the frame and owned by its record. Ranks up to
// kInline are held inside the record, so decoding a call allocates nothing; a larger rank takes
// heap storage.
class Extents {
 public:
  using value_type = int64_t;
  using iterator = const int64_t*;
  using const_iterator = const int64_t*;
  static constexpr size_t kInline = 6;

  Extents() = default;
  Extents(std::initializer_list<int64_t> dims) { assign(dims.begin(), dims.end()); }
  Extents(const std::vector<int64_t>& dims) { assign(dims.data(), dims.data() + dims.size()); }
  Extents(const Extents& other) { assign(other.begin(), other.end()); }
  Extents& operator=(const Extents& other) {
    if (this != &other) assign(other.begin(), other.end());
    return *this;
  }
  Extents& operator=(std::initializer_list<int64_t> dims) {
    assign(dims.begin(), dims.end());
    return *this;
  }

  void assign(const int64_t* first, const int64_t* last) {
    const auto n = static_cast<size_t>(last - first);
    if (n > kInline) {
      heap_ = std::make_unique<int64_t[]>(n);
    } else {
      heap_.reset();
    }
    std::copy(first, last, storage());
    size_ = n;
  }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const int64_t* begin() const { return storage(); }
  const int64_t* end() const { return storage() + size_; }
  int64_t operator[](size_t i) const { return storage()[i]; }
  int64_t& operator[](size_t i) { return storage()[i]; }
  int64_t back() const { return storage()[size_ - 1]; }

  friend bool operator==(const Extents& a, std::span<const int64_t> b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  const int64_t* storage() const { return heap_ ? heap_.get() : inline_; }
  int64_t* storage() { return heap_ ? heap_.get() : inline_; }

  int64_t inline_[kInline];
  size_t size_ = 0;
  std::unique_ptr<int64_t[]> heap_;
};

// One operand or result of a kernel call. Owns only its copy of the extents; the element data
// belongs to XLA for the duration of the call (read for inputs, written in place for outputs).
struct KernelBuffer {
  Extents dims;
  void* data = nullptr;
  int32_t dtype = 0;
};

// Success, or failure with an owned message that the entry turns into an FFI error.
struct KernelResult {
  bool ok = true;
  std::string message;

  void fail(std::string text) {
    ok = false;
    message = std::move(text);
  }
};

// The size helpers below are forced inline: they run at the start of every call, and a 1-element
// call would otherwise pay for calls into them.

// Product of the extents in wrapping 64-bit arithmetic, read as signed; a negative product counts
// as 0 and rank 0 holds one element.
[[gnu::always_inline]] inline size_t element_count(const KernelBuffer& b) {
  uint64_t product = 1;
  for (int64_t d : b.dims) product *= static_cast<uint64_t>(d);
  const auto signed_product = static_cast<int64_t>(product);
  return signed_product < 0 ? 0 : static_cast<size_t>(signed_product);
}

// Whether the exact product of the extents leaves the signed 64-bit range (no extent being 0).
// The wrapped product of such extents can be any count at all, so no such operand reaches a
// kernel.
inline bool extents_overflow(const Extents& dims) {
  int64_t product = 1;
  bool overflow = false;
  for (int64_t d : dims) {
    if (d == 0) return false;
    if (!overflow) overflow = __builtin_mul_overflow(product, d, &product);
  }
  return overflow;
}

// Whether an operand whose extents do not overflow holds more bytes, in elements of
// `element_size` bytes, than one object can span (PTRDIFF_MAX). Its byte count would wrap in the
// kernels' size arithmetic, so no such operand reaches a kernel either.
inline bool bytes_exceed_one_buffer(const KernelBuffer& b, size_t element_size) {
  return element_count(b) > static_cast<size_t>(PTRDIFF_MAX) / element_size;
}

// Kernels use these extents as unsigned counts, so a negative extent reads as 0 rather than as a
// huge count.
[[gnu::always_inline]] inline size_t extent_as_count(int64_t d) { return d < 0 ? 0 : static_cast<size_t>(d); }

[[gnu::always_inline]] inline size_t last_extent(const KernelBuffer& b) {
  return b.dims.empty() ? 1 : extent_as_count(b.dims.back());
}

[[gnu::always_inline]] inline size_t second_last_extent(const KernelBuffer& b) {
  return b.dims.size() < 2 ? 1 : extent_as_count(b.dims[b.dims.size() - 2]);
}

// The element slice of an operand: its data pointer with its element count as length. A buffer of
// zero elements yields an empty span whatever its (possibly dangling) data pointer.
template <typename T>
[[gnu::always_inline]] inline std::span<const T> input_span(const KernelBuffer& b) {
  const size_t n = element_count(b);
  return n == 0 ? std::span<const T>{} : std::span<const T>(static_cast<const T*>(b.data), n);
}

template <typename T>
[[gnu::always_inline]] inline std::span<T> output_span(const KernelBuffer& b) {
  const size_t n = element_count(b);
  return n == 0 ? std::span<T>{} : std::span<T>(static_cast<T*>(b.data), n);
}

// Builds a message from its pieces, numbers in decimal.
template <typename... Parts>
std::string message(const Parts&... parts) {
  std::ostringstream out;
  (out << ... << parts);
  return out.str();
}

// The typed kernel signature: the result to fill in, the inputs and their count, the outputs and
// their count. Outputs are written through their data pointers.
using KernelFn = void (*)(KernelResult&, const KernelBuffer*, size_t, const KernelBuffer*, size_t);

}  // namespace mirelon

// Explicit instantiation of a kernel template for both element types.
#define MIRELON_INSTANTIATE_KERNEL(name)                                                        \
  template void name<float>(::mirelon::KernelResult&, const ::mirelon::KernelBuffer*, size_t,  \
                            const ::mirelon::KernelBuffer*, size_t);                          \
  template void name<double>(::mirelon::KernelResult&, const ::mirelon::KernelBuffer*, size_t, \
                             const ::mirelon::KernelBuffer*, size_t)
