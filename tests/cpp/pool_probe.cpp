// Prints the pool's worker count as the process environment sets it, the concurrency of the
// arena that a parallel loop runs in, and the process-wide parallelism limit:
// "<workers> <arena> <limit>". The pool tests run it in child processes with chosen environments.
#include <atomic>
#include <cstdio>

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/task_arena.h>

#include "pool.hpp"

int main() {
  std::atomic<int> arena{0};
  mirelon::pool::parallel_for(2, [&](size_t, size_t) {
    arena.store(oneapi::tbb::this_task_arena::max_concurrency());
  });
  const size_t limit = oneapi::tbb::global_control::active_value(
      oneapi::tbb::global_control::max_allowed_parallelism);
  std::printf("%zu %d %zu\n", mirelon::pool::worker_count(), arena.load(), limit);
  return 0;
}
