// Prints the pool's worker count as the process environment sets it, the concurrency of the
// arena that a parallel loop runs in, and the process-wide parallelism limit:
// "<workers> <arena> <limit>". The pool tests run it in child processes with chosen environments.
//
// With the argument "race" it instead runs a loop of two pieces that meet on two threads and both
// write one plain variable: a race that the ThreadSanitizer build must report.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/task_arena.h>

#include "pool.hpp"

namespace {

int race() {
  long shared = 0;
  std::atomic<int> arrived{0};
  std::atomic<bool> met{true};
  mirelon::pool::parallel_for(2, [&](size_t begin, size_t) {
    shared = shared + static_cast<long>(begin);
    // Relaxed: the meeting orders nothing, so the sanitizer sees the two writes unordered.
    arrived.fetch_add(1, std::memory_order_relaxed);
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (arrived.load(std::memory_order_relaxed) < 2) {
      if (std::chrono::steady_clock::now() > give_up) {
        met.store(false, std::memory_order_relaxed);
        return;
      }
      std::this_thread::yield();
    }
  });
  std::printf("%s %ld\n", met.load() ? "met" : "apart", shared);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "race") == 0) return race();
  std::atomic<int> arena{0};
  mirelon::pool::parallel_for(2, [&](size_t, size_t) {
    arena.store(oneapi::tbb::this_task_arena::max_concurrency());
  });
  const size_t limit = oneapi::tbb::global_control::active_value(
      oneapi::tbb::global_control::max_allowed_parallelism);
  std::printf("%zu %d %zu\n", mirelon::pool::worker_count(), arena.load(), limit);
  return 0;
}
