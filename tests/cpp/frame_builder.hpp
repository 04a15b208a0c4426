// In-memory XLA FFI call frames for the handler and decoding tests: buffers with their own exactly
// sized storage (so that AddressSanitizer sees any access past an operand), the argument and
// result arrays, the stage, an extension chain, and a fake API table whose error-create function
// records every call.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "handlers.hpp"
#include "xla_ffi.hpp"

namespace mirelon::test_support {

inline constexpr int32_t kF32 = 11;
inline constexpr int32_t kF64 = 12;

// One XLA_FFI_Error_Create call as the host saw it.
struct ErrorCall {
  std::string message;  // copied during the call, as XLA does
  int32_t errc = 0;
  size_t struct_size = 0;
  const void* extension_start = nullptr;
  xla::XLA_FFI_Error* returned = nullptr;
};

// A fake XLA_FFI_Api: a zeroed block with only the error-create slot filled in. Calls are recorded
// in the FakeApi that is current on the calling thread (the entries create errors on the thread
// that called them), so tests on several threads each keep their own record.
class FakeApi {
 public:
  FakeApi() : previous_(current()) {
    xla::XLA_FFI_Error_Create fn = &record;
    std::memcpy(table_ + xla::kErrorCreateOffset, &fn, sizeof fn);
    current() = this;
  }
  ~FakeApi() { current() = previous_; }
  FakeApi(const FakeApi&) = delete;
  FakeApi& operator=(const FakeApi&) = delete;

  const xla::XLA_FFI_Api* api() const { return reinterpret_cast<const xla::XLA_FFI_Api*>(table_); }
  const std::vector<ErrorCall>& calls() const { return calls_; }
  void clear() { calls_.clear(); }

 private:
  static FakeApi*& current() {
    thread_local FakeApi* active = nullptr;
    return active;
  }

  static xla::XLA_FFI_Error* record(xla::XLA_FFI_Error_Create_Args* args) {
    // A distinct, never dereferenced, non-null token per call in the whole process.
    static std::atomic<uintptr_t> next{1};
    auto* token = reinterpret_cast<xla::XLA_FFI_Error*>(next.fetch_add(1) * 16);
    ErrorCall call;
    call.struct_size = args->struct_size;
    call.extension_start = args->extension_start;
    call.message = args->message;
    call.errc = args->errc;
    call.returned = token;
    if (FakeApi* self = current()) self->calls_.push_back(std::move(call));
    return token;
  }

  alignas(16) unsigned char table_[512] = {};
  std::vector<ErrorCall> calls_;
  FakeApi* previous_;
};

// One operand as the frame presents it. `dims` and the element storage (`bytes` long) are owned
// here; `record` is what the frame's pointer array points to.
struct TestBuffer {
  std::vector<int64_t> dims;
  std::unique_ptr<unsigned char[]> storage;
  size_t bytes = 0;
  xla::XLA_FFI_Buffer record{};

  template <typename T>
  T* as() {
    return reinterpret_cast<T*>(record.data);
  }
  template <typename T>
  std::vector<T> values() const {
    std::vector<T> out(bytes / sizeof(T));
    if (bytes != 0) std::memcpy(out.data(), storage.get(), bytes);
    return out;
  }
};

// Builds one XLA_FFI_CallFrame. Buffers and extension nodes keep stable addresses; call frame()
// after the last change and before handing the frame to a handler.
class FrameBuilder {
 public:
  explicit FrameBuilder(const FakeApi* api = nullptr) {
    frame_.struct_size = sizeof(xla::XLA_FFI_CallFrame);
    frame_.api = api != nullptr ? api->api() : nullptr;
    frame_.stage = xla::XLA_FFI_ExecutionStage_EXECUTE;
  }

  FrameBuilder& stage(int32_t s) {
    frame_.stage = static_cast<xla::XLA_FFI_ExecutionStage>(s);
    return *this;
  }

  // A buffer of `dtype` with these extents and `rank` = dims.size(). Its storage holds the element
  // count (0 for a negative product) of elements of `elem_size` bytes, filled with `fill` bytes;
  // a buffer of no elements gets a null data pointer.
  TestBuffer& arg(int32_t dtype, std::vector<int64_t> dims, unsigned char fill = 0) {
    return add(args_, dtype, std::move(dims), fill);
  }
  TestBuffer& ret(int32_t dtype, std::vector<int64_t> dims, unsigned char fill = 0) {
    return add(rets_, dtype, std::move(dims), fill);
  }

  // Typed buffers with the given values (rank 1 unless dims are given).
  template <typename T>
  TestBuffer& arg_values(const std::vector<T>& values, std::vector<int64_t> dims = {}) {
    return add_values(args_, values, std::move(dims));
  }
  template <typename T>
  TestBuffer& ret_values(const std::vector<T>& values, std::vector<int64_t> dims = {}) {
    return add_values(rets_, values, std::move(dims));
  }

  // Appends an extension node of `type` (1 is the metadata extension) to the chain.
  xla::XLA_FFI_Extension_Base& extension(int32_t type) {
    auto node = std::make_unique<xla::XLA_FFI_Metadata_Extension>();
    node->extension_base.struct_size = sizeof(xla::XLA_FFI_Metadata_Extension);
    node->extension_base.type = static_cast<xla::XLA_FFI_Extension_Type>(type);
    link(&node->extension_base);
    extensions_.push_back(std::move(node));
    return extensions_.back()->extension_base;
  }

  // Appends a metadata extension pointing at `metadata` (which may be null).
  void metadata(xla::XLA_FFI_Metadata* metadata) {
    extension(xla::XLA_FFI_Extension_Metadata);
    extensions_.back()->metadata = metadata;
  }

  std::vector<std::unique_ptr<TestBuffer>>& args() { return args_; }
  std::vector<std::unique_ptr<TestBuffer>>& rets() { return rets_; }

  // The frame, with its argument and result arrays rebuilt from the buffers added so far. Fields
  // may be overwritten afterwards to present malformed frames.
  xla::XLA_FFI_CallFrame* frame() {
    arg_ptrs_.clear();
    for (auto& b : args_) arg_ptrs_.push_back(&b->record);
    ret_ptrs_.clear();
    for (auto& b : rets_) ret_ptrs_.push_back(&b->record);
    frame_.args.struct_size = sizeof(xla::XLA_FFI_Args);
    frame_.args.size = static_cast<int64_t>(arg_ptrs_.size());
    frame_.args.args = arg_ptrs_.empty() ? nullptr : arg_ptrs_.data();
    frame_.rets.struct_size = sizeof(xla::XLA_FFI_Rets);
    frame_.rets.size = static_cast<int64_t>(ret_ptrs_.size());
    frame_.rets.rets = ret_ptrs_.empty() ? nullptr : ret_ptrs_.data();
    return &frame_;
  }

 private:
  // The product in wrapping arithmetic, read as signed (the frame's rule).
  static size_t count_of(const std::vector<int64_t>& dims) {
    uint64_t n = 1;
    for (int64_t d : dims) n *= static_cast<uint64_t>(d);
    const auto s = static_cast<int64_t>(n);
    return s < 0 ? 0 : static_cast<size_t>(s);
  }

  static size_t elem_size(int32_t dtype) { return dtype == kF32 ? 4 : 8; }

  TestBuffer& add(std::vector<std::unique_ptr<TestBuffer>>& list, int32_t dtype,
                  std::vector<int64_t> dims, unsigned char fill) {
    auto b = std::make_unique<TestBuffer>();
    b->dims = std::move(dims);
    b->bytes = count_of(b->dims) * elem_size(dtype);
    if (b->bytes != 0) {
      b->storage = std::make_unique<unsigned char[]>(b->bytes);
      std::memset(b->storage.get(), fill, b->bytes);
    }
    b->record.struct_size = sizeof(xla::XLA_FFI_Buffer);
    b->record.dtype = dtype;
    b->record.data = b->storage.get();
    b->record.rank = static_cast<int64_t>(b->dims.size());
    b->record.dims = b->dims.data();
    list.push_back(std::move(b));
    return *list.back();
  }

  template <typename T>
  TestBuffer& add_values(std::vector<std::unique_ptr<TestBuffer>>& list,
                         const std::vector<T>& values, std::vector<int64_t> dims) {
    static_assert(sizeof(T) == 4 || sizeof(T) == 8);
    if (dims.empty()) dims = {static_cast<int64_t>(values.size())};
    TestBuffer& b = add(list, sizeof(T) == 4 ? kF32 : kF64, std::move(dims), 0);
    const size_t n = std::min(values.size() * sizeof(T), b.bytes);
    if (n != 0) std::memcpy(b.storage.get(), values.data(), n);
    return b;
  }

  void link(xla::XLA_FFI_Extension_Base* node) {
    if (extensions_.empty()) {
      frame_.extension_start = node;
    } else {
      extensions_.back()->extension_base.next = node;
    }
  }

  xla::XLA_FFI_CallFrame frame_{};
  std::vector<std::unique_ptr<TestBuffer>> args_, rets_;
  std::vector<void*> arg_ptrs_, ret_ptrs_;
  std::vector<std::unique_ptr<xla::XLA_FFI_Metadata_Extension>> extensions_;
};

// The handler entry registered under `name`, or null.
inline xla::XLA_FFI_Handler* find_handler(std::string_view name) {
  for (const TargetRow& row : kTargetTable)
    if (row.name_view() == name) return row.handler;
  return nullptr;
}

}  // namespace mirelon::test_support
