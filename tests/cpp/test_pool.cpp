// The process-wide pool: the worker-count rule from the environment, the shape of the split,
// inline runs, concurrent callers and exceptions.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cfenv>
#include <atomic>
#include <chrono>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "pool.hpp"

extern char** environ;

namespace mirelon {
namespace {

// ---- the count rule ---------------------------------------------------------------------------

struct ParseCase {
  const char* text;
  std::optional<size_t> value;
};

class ParseCount : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseCount, AcceptsPlainDecimalOnly) {
  const ParseCase& c = GetParam();
  EXPECT_EQ(pool::parse_count(c.text), c.value) << (c.text ? c.text : "(unset)");
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseCount,
    ::testing::Values(ParseCase{nullptr, std::nullopt}, ParseCase{"", std::nullopt},
                      ParseCase{"0", 0}, ParseCase{"3", 3}, ParseCase{"007", 7},
                      ParseCase{"+4", 4}, ParseCase{"+", std::nullopt},
                      ParseCase{"++4", std::nullopt}, ParseCase{"-1", std::nullopt},
                      ParseCase{"-0", std::nullopt}, ParseCase{" 3", std::nullopt},
                      ParseCase{"3 ", std::nullopt}, ParseCase{"3x", std::nullopt},
                      ParseCase{"abc", std::nullopt}, ParseCase{"1.5", std::nullopt},
                      ParseCase{"18446744073709551615", std::numeric_limits<size_t>::max()},
                      ParseCase{"18446744073709551616", std::nullopt},
                      ParseCase{"99999999999999999999999", std::nullopt}));

struct RuleCase {
  const char* num_threads;
  const char* rs_num_cpus;
  size_t workers;  // with 6 online processors
};

class WorkerCountRule : public ::testing::TestWithParam<RuleCase> {};

TEST_P(WorkerCountRule, PrefersNumThreadsThenRsNumCpusThenOnline) {
  const RuleCase& c = GetParam();
  EXPECT_EQ(pool::worker_count_from(c.num_threads, c.rs_num_cpus, 6), c.workers)
      << (c.num_threads ? c.num_threads : "(unset)") << " / "
      << (c.rs_num_cpus ? c.rs_num_cpus : "(unset)");
}

INSTANTIATE_TEST_SUITE_P(
    Environments, WorkerCountRule,
    ::testing::Values(RuleCase{nullptr, nullptr, 6}, RuleCase{"3", nullptr, 3},
                      RuleCase{"3", "5", 3}, RuleCase{"+2", "5", 2}, RuleCase{"64", nullptr, 64},
                      RuleCase{"0", nullptr, 6}, RuleCase{"0", "5", 6},
                      RuleCase{"abc", "5", 5}, RuleCase{"", "5", 5}, RuleCase{nullptr, "5", 5},
                      RuleCase{"abc", "0", 6}, RuleCase{"abc", "x", 6},
                      RuleCase{"99999999999999999999999", "5", 5},
                      RuleCase{"99999999999999999999999", nullptr, 6}));

// ---- the rule end to end, in child processes --------------------------------------------------

struct ProbeResult {
  size_t workers = 0;
  long arena = 0;
  size_t limit = 0;
};

struct ProbeRun {
  int status = -1;
  std::string out;  // standard output and error together
};

// Runs the probe (with `arg`, if given) with this process's environment minus both pool
// variables, plus the given ones (a null value leaves the variable unset).
ProbeRun spawn_probe(const char* num_threads, const char* rs_num_cpus, const char* arg = nullptr) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    if (entry.starts_with("RAYON_NUM_THREADS=") || entry.starts_with("RAYON_RS_NUM_CPUS="))
      continue;
    env.emplace_back(entry);
  }
  if (num_threads) env.push_back(std::string("RAYON_NUM_THREADS=") + num_threads);
  if (rs_num_cpus) env.push_back(std::string("RAYON_RS_NUM_CPUS=") + rs_num_cpus);
  std::vector<char*> envp;
  for (auto& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);

  int fds[2];
  EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
  char path[] = MIRELON_POOL_PROBE;
  std::string argument = arg ? arg : "";
  char* argv[] = {path, arg ? argument.data() : nullptr, nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, path, &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  ProbeRun run;
  if (spawned == 0) {
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) run.out.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  EXPECT_EQ(spawned, 0) << std::strerror(spawned);
  if (spawned == 0) waitpid(pid, &run.status, 0);
  return run;
}

ProbeResult run_probe(const char* num_threads, const char* rs_num_cpus) {
  const ProbeRun run = spawn_probe(num_threads, rs_num_cpus);
  EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0)
      << "probe status " << run.status << ": " << run.out;
  ProbeResult r;
  std::istringstream in(run.out);
  EXPECT_TRUE(in >> r.workers >> r.arena >> r.limit) << "probe printed: " << run.out;
  return r;
}

size_t online_processors() {
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<size_t>(n) : 1;
}

struct EnvCase {
  const char* num_threads;
  const char* rs_num_cpus;
  size_t workers;  // 0: the number of online processors
};

class PoolEnvironment : public ::testing::TestWithParam<EnvCase> {};

TEST_P(PoolEnvironment, SetsTheWorkerCountOfTheRunningPool) {
  const EnvCase& c = GetParam();
  const size_t want = c.workers == 0 ? online_processors() : c.workers;
  const ProbeResult r = run_probe(c.num_threads, c.rs_num_cpus);
  EXPECT_EQ(r.workers, want);
  EXPECT_EQ(r.arena, static_cast<long>(want));
  EXPECT_GE(r.limit, want);
}

INSTANTIATE_TEST_SUITE_P(Environments, PoolEnvironment,
                         ::testing::Values(EnvCase{"3", nullptr, 3},
                                           EnvCase{"64", nullptr, 64},  // above the core count
                                           EnvCase{"abc", "5", 5}, EnvCase{"0", "5", 0},
                                           EnvCase{nullptr, "0", 0}, EnvCase{nullptr, nullptr, 0}));

#if defined(__SANITIZE_THREAD__)
// Nothing may hide from the sanitizer what runs on the pool's workers: two pieces of one loop
// that write the same variable on two threads are reported.
TEST(PoolUnderThreadSanitizer, RacesBetweenPiecesOfOneLoopAreReported) {
  const ProbeRun run = spawn_probe("2", nullptr, "race");
  EXPECT_NE(run.out.find("met"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("ThreadSanitizer: data race"), std::string::npos) << run.out;
  EXPECT_FALSE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0);
}
#endif

// ---- loops ------------------------------------------------------------------------------------

// Upper bound of the piece count: the budget starts at the worker count and halves per split
// level, so at most floor(log2(workers)) + 1 levels split.
size_t piece_bound(size_t n) {
  size_t levels = 0;
  for (size_t budget = pool::worker_count(); budget > 0; budget /= 2) ++levels;
  const size_t bound = levels >= 63 ? std::numeric_limits<size_t>::max() : size_t{1} << levels;
  return std::min(n, bound);
}

class SplitShape : public ::testing::TestWithParam<size_t> {};

TEST_P(SplitShape, PiecesCoverTheRangeOnceWithinTheBudget) {
  const size_t n = GetParam();
  std::mutex mu;
  std::vector<std::pair<size_t, size_t>> pieces;
  std::vector<std::atomic<int>> visits(n);
  pool::parallel_for(n, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end && i < n; ++i) visits[i].fetch_add(1);
    std::lock_guard lock(mu);
    pieces.emplace_back(begin, end);
  });
  std::sort(pieces.begin(), pieces.end());
  size_t next = 0;
  for (const auto& [begin, end] : pieces) {
    EXPECT_EQ(begin, next);
    EXPECT_LT(begin, end);
    next = end;
  }
  EXPECT_EQ(next, n);
  for (size_t i = 0; i < n; ++i) ASSERT_EQ(visits[i].load(), 1) << "index " << i;
  EXPECT_LE(pieces.size(), piece_bound(n));
  if (n >= 2) {
    EXPECT_GE(pieces.size(), 2u);
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, SplitShape,
                         ::testing::Values(2, 3, 5, 7, 16, 17, 100, 1023, 100000));

TEST(ParallelFor, ZeroAndOneItemRunInlineOnTheCaller) {
  int calls = 0;
  pool::parallel_for(0, [&](size_t, size_t) { ++calls; });
  EXPECT_EQ(calls, 0);

  std::thread::id ran_on;
  std::pair<size_t, size_t> piece;
  pool::parallel_for(1, [&](size_t begin, size_t end) {
    ++calls;
    ran_on = std::this_thread::get_id();
    piece = {begin, end};
  });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(ran_on, std::this_thread::get_id());
  EXPECT_EQ(piece, (std::pair<size_t, size_t>{0, 1}));
}

TEST(ParallelFor, ExceptionInAPieceReachesTheCaller) {
  auto throwing = [](size_t begin, size_t end) {
    if (begin <= 500 && 500 < end) throw std::runtime_error("piece failed");
  };
  try {
    pool::parallel_for(1000, throwing);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "piece failed");
  }
  EXPECT_THROW(pool::parallel_for(1, [](size_t, size_t) { throw std::runtime_error("x"); }),
               std::runtime_error);
  // The pool keeps working afterwards.
  std::atomic<size_t> sum{0};
  pool::parallel_for(1000, [&](size_t b, size_t e) { sum += e - b; });
  EXPECT_EQ(sum.load(), 1000u);
}

// Pieces run under the caller's floating-point environment, whichever worker takes them and
// whatever environment the workers had before.
TEST(ParallelFor, PiecesFollowTheCallersRoundingMode) {
  for (int mode : {FE_UPWARD, FE_TONEAREST, FE_DOWNWARD}) {
    std::fesetround(mode);
    std::atomic<size_t> other{0};
    mirelon::pool::parallel_for(4096, [&](size_t begin, size_t end) {
      std::this_thread::yield();
      if (std::fegetround() != mode) other += end - begin;
    });
    const int after = std::fegetround();
    std::fesetround(FE_TONEAREST);
    EXPECT_EQ(other.load(), 0u) << "rounding mode " << mode;
    EXPECT_EQ(after, mode) << "the caller's own mode must survive its loop";
  }
}

TEST(ParallelRows, VisitsEveryFullRowOnce) {
  constexpr size_t kRows = 37, kLen = 3;
  std::vector<double> out(kRows * kLen + 2, -1.0);  // a trailing partial row
  std::vector<std::atomic<int>> visits(kRows);
  pool::parallel_rows(std::span<double>(out), kLen, [&](size_t i, std::span<double> row) {
    visits[i].fetch_add(1);
    EXPECT_EQ(row.data(), out.data() + i * kLen);
    EXPECT_EQ(row.size(), kLen);
    for (double& v : row) v = static_cast<double>(i);
  });
  for (size_t i = 0; i < kRows; ++i) {
    EXPECT_EQ(visits[i].load(), 1) << i;
    for (size_t k = 0; k < kLen; ++k) EXPECT_EQ(out[i * kLen + k], static_cast<double>(i));
  }
  EXPECT_EQ(out[kRows * kLen], -1.0);
  EXPECT_EQ(out[kRows * kLen + 1], -1.0);
}

TEST(ParallelRows, NothingToVisitForZeroRowLengthOrTooShortOutput) {
  std::vector<float> out(5, 0.0f);
  int calls = 0;
  pool::parallel_rows(std::span<float>(out), 0, [&](size_t, std::span<float>) { ++calls; });
  pool::parallel_rows(std::span<float>(out), 6, [&](size_t, std::span<float>) { ++calls; });
  pool::parallel_rows(std::span<float>(), 2, [&](size_t, std::span<float>) { ++calls; });
  EXPECT_EQ(calls, 0);
}

TEST(ParallelFor, ManyCallersAtOnceLoseNoWork) {
  constexpr size_t kCallers = 16, kLoops = 20, kItems = 3000;
  std::vector<std::string> failures(kCallers);
  std::vector<std::thread> callers;
  for (size_t t = 0; t < kCallers; ++t) {
    callers.emplace_back([t, &failures] {
      for (size_t loop = 0; loop < kLoops; ++loop) {
        const size_t n = kItems + t * 7 + loop;
        std::vector<unsigned char> seen(n, 0);
        std::atomic<size_t> items{0};
        pool::parallel_for(n, [&](size_t begin, size_t end) {
          for (size_t i = begin; i < end; ++i) ++seen[i];  // each index has one owner
          items.fetch_add(end - begin);
        });
        if (items.load() != n ||
            std::any_of(seen.begin(), seen.end(), [](unsigned char c) { return c != 1; })) {
          failures[t] = "caller " + std::to_string(t) + " loop " + std::to_string(loop);
          return;
        }
      }
    });
  }
  for (auto& c : callers) c.join();
  for (const auto& f : failures) EXPECT_EQ(f, "");
}

TEST(ParallelFor, CallerDoesNotWaitForAnotherCallersWork) {
  if (pool::worker_count() < 2) GTEST_SKIP() << "needs at least two workers";
  // The other caller's loop has a piece that holds until our loop has returned. A pool that made
  // callers wait for each other's work would never return here; the guard ends that piece after
  // a generous wait so that the failure is reported instead of hanging.
  std::atomic<bool> ours_done{false}, held{false}, guard_fired{false};
  std::thread other([&] {
    pool::parallel_for(2, [&](size_t begin, size_t) {
      if (begin != 0) return;
      held = true;
      const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (!ours_done.load()) {
        if (std::chrono::steady_clock::now() > give_up) {
          guard_fired = true;
          return;
        }
        std::this_thread::yield();
      }
    });
  });
  while (!held.load()) std::this_thread::yield();

  std::atomic<size_t> items{0};
  pool::parallel_for(10000, [&](size_t b, size_t e) { items += e - b; });
  ours_done = true;
  other.join();
  EXPECT_EQ(items.load(), 10000u);
  EXPECT_FALSE(guard_fired.load());
}

}  // namespace
}  // namespace mirelon
