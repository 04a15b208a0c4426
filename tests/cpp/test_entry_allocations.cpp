// A successful call through a handler entry allocates nothing before its kernel runs: the frame
// is decoded into records on the stack. Counted with a replacement of the global allocation
// functions that only tallies calls made on the counting thread.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "frame_builder.hpp"

// The replacements below pair malloc with free; GCC cannot see that they are one pair.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
thread_local bool counting = false;
thread_local size_t allocations = 0;
}  // namespace

void* operator new(size_t size) {
  if (counting) ++allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace mirelon {
namespace {

using namespace test_support;

TEST(EntryAllocations, NoneForASuccessfulOneElementCall) {
  FakeApi api;
  for (bool wide : {false, true}) {
    FrameBuilder fb(&api);
    // Rank 3 operands: extents are copied too.
    for (int k = 0; k < 3; ++k) {
      if (wide) fb.arg_values<double>({0.5}, {1, 1, 1});
      else fb.arg_values<float>({0.5f}, {1, 1, 1});
    }
    if (wide) fb.ret_values<double>({0.0}, {1, 1, 1});
    else fb.ret_values<float>({0.0f}, {1, 1, 1});
    xla::XLA_FFI_CallFrame* frame = fb.frame();
    xla::XLA_FFI_Handler* handler = find_handler("mirelon_logp_gaussian_fwd");
    allocations = 0;
    counting = true;
    xla::XLA_FFI_Error* error = handler(frame);
    counting = false;
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(allocations, 0u) << (wide ? "float64" : "float32");
  }
}

}  // namespace
}  // namespace mirelon
