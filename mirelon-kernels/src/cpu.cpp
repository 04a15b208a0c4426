#include "cpu.hpp"

#include <atomic>

namespace mirelon::cpu {

namespace {

Level detect() {
#if defined(__x86_64__) && defined(__GNUC__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return Level::avx512;
  if (__builtin_cpu_supports("avx2")) return Level::avx2;
#endif
  return Level::portable;
}

std::atomic<uint8_t> g_cap{static_cast<uint8_t>(Level::avx512)};

}  // namespace

Level machine() {
  static const Level level = detect();
  return level;
}

Level active() {
  const auto capped = static_cast<Level>(g_cap.load(std::memory_order_relaxed));
  const Level m = machine();
  return capped < m ? capped : m;
}

void cap(Level level) { g_cap.store(static_cast<uint8_t>(level), std::memory_order_relaxed); }

const char* name(Level level) {
  switch (level) {
    case Level::avx512:
      return "avx512";
    case Level::avx2:
      return "avx2";
    case Level::portable:
      break;
  }
  return "portable";
}

}  // namespace mirelon::cpu
