#include "pool.hpp"

#include <unistd.h>

#include <cfenv>
#include <cstdlib>
#include <limits>

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_invoke.h>
#include <oneapi/tbb/task_arena.h>

// The ThreadSanitizer build compiles this file without instrumentation and defines
// MIRELON_TSAN_ANNOTATIONS (see LoopOrder).
#if defined(MIRELON_TSAN_ANNOTATIONS)
#include <sanitizer/tsan_interface.h>
#endif

namespace mirelon::pool {

std::optional<size_t> parse_count(const char* text) {
  if (text == nullptr) return std::nullopt;
  const char* p = text;
  if (*p == '+') ++p;
  if (*p == '\0') return std::nullopt;
  size_t value = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return std::nullopt;
    const size_t digit = static_cast<size_t>(*p - '0');
    if (value > (std::numeric_limits<size_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

size_t worker_count_from(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                         size_t online) {
  if (auto n = parse_count(rayon_num_threads)) return *n == 0 ? online : *n;
  if (auto n = parse_count(rayon_rs_num_cpus); n && *n > 0) return *n;
  return online;
}

namespace {

constexpr size_t kWorkerStack = size_t{2} << 20;

size_t online_processors() {
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<size_t>(n) : 1;
}

// One arena shared by every caller, so that many host threads entering kernels at once share
// the same workers instead of oversubscribing the machine.
struct Pool {
  size_t workers;
  oneapi::tbb::global_control stack;
  std::optional<oneapi::tbb::global_control> parallelism;
  oneapi::tbb::task_arena arena;

  explicit Pool(size_t n)
      : workers(n),
        stack(oneapi::tbb::global_control::thread_stack_size, kWorkerStack),
        arena(static_cast<int>(n)) {
    // TBB caps the total at the core count unless told otherwise; a larger requested count is
    // honoured.
    if (n > static_cast<size_t>(oneapi::tbb::this_task_arena::max_concurrency()))
      parallelism.emplace(oneapi::tbb::global_control::max_allowed_parallelism, n);
    arena.initialize();
  }
};

size_t clamp_to_int(size_t n) {
  const auto limit = static_cast<size_t>(std::numeric_limits<int>::max() / 2);
  return n < 1 ? 1 : (n > limit ? limit : n);
}

// Created on first use and never destroyed, so that a host thread still running a kernel while
// the process exits never meets a destroyed arena.
Pool& instance() {
  static Pool* pool = new Pool(clamp_to_int(worker_count_from(std::getenv("RAYON_NUM_THREADS"),
                                                              std::getenv("RAYON_RS_NUM_CPUS"),
                                                              online_processors())));
  return *pool;
}

// Runs a piece under the calling thread's floating-point environment (rounding, and on x86 the
// flush-to-zero and denormals-are-zero modes that XLA's threads set), so that a loop gives the
// same bits whichever worker runs a piece and whichever thread first created the pool.
class CallerFpEnv {
 public:
  CallerFpEnv() { std::fegetenv(&env_); }
  void run(const RangeBody& body, size_t begin, size_t end) const {
    std::fenv_t own;
    std::fegetenv(&own);
    std::fesetenv(&env_);
    struct Restore {
      const std::fenv_t* env;
      ~Restore() { std::fesetenv(env); }
    } restore{&own};
    body(begin, end);
  }

 private:
  std::fenv_t env_;
};

// The order a loop imposes, told to ThreadSanitizer: the caller's writes before the loop happen
// before every piece, and every piece happens before the caller goes on, by return or by
// exception. Which thread runs a piece is settled inside oneTBB, whose synchronisation the
// sanitizer cannot see: the library is not instrumented, and neither is this file in the sanitizer
// build, so that the task objects oneTBB's headers build here are as invisible as the library's
// own. Pieces of one loop stay unordered with one another, so races between them, and between a
// piece and other threads, are still reported.
struct LoopOrder {
#if defined(MIRELON_TSAN_ANNOTATIONS)
  char start = 0;
  char end = 0;
  void before_loop() { __tsan_release(&start); }
  void piece_begins() { __tsan_acquire(&start); }
  void piece_ends() { __tsan_release(&end); }
  void after_loop() { __tsan_acquire(&end); }
#else
  void before_loop() {}
  void piece_begins() {}
  void piece_ends() {}
  void after_loop() {}
#endif
};

// Splits [begin, end) in halves while the budget lasts (it halves with each split) and pieces
// keep at least one item.
void split(size_t begin, size_t end, size_t budget, const RangeBody& body, const CallerFpEnv& fp,
           LoopOrder& order) {
  if (end - begin >= 2 && budget > 0) {
    const size_t mid = begin + (end - begin) / 2;
    const size_t half = budget / 2;
    oneapi::tbb::parallel_invoke([&] { split(begin, mid, half, body, fp, order); },
                                 [&] { split(mid, end, half, body, fp, order); });
  } else {
    order.piece_begins();
    struct Ends {
      LoopOrder& order;
      ~Ends() { order.piece_ends(); }
    } ends{order};
    fp.run(body, begin, end);
  }
}

}  // namespace

size_t worker_count() { return instance().workers; }

void run(size_t n, RangeBody body) {
  Pool& pool = instance();
  const CallerFpEnv fp;
  // Isolation keeps a waiting caller from picking up other callers' pieces, so each caller's
  // loop completes on its own, however many host threads share the pool.
  LoopOrder order;
  order.before_loop();
  struct After {
    LoopOrder& order;
    ~After() { order.after_loop(); }
  } after{order};
  pool.arena.execute([&] {
    oneapi::tbb::this_task_arena::isolate([&] { split(0, n, pool.workers, body, fp, order); });
  });
}

}  // namespace mirelon::pool
