// The instruction-set level the kernels' vector paths run at. Every kernel with a vector path
// asks here, once per call, and picks its body for that level; every body of a kernel performs
// the same IEEE operations in the same order (no contraction), so all levels give the same bits.
//
// The level is the best the processor supports, lowered by `cap` for tests that run each body
// on the same machine and compare them.
#pragma once

#include <cstdint>

namespace mirelon::cpu {

enum class Level : uint8_t {
  portable = 0,  // baseline x86-64 (SSE2) or any other processor
  avx2 = 1,
  avx512 = 2,  // AVX-512F
};

// The best level this processor supports (fixed for the life of the process).
Level machine();

// The level kernels use now: the machine's level, lowered to the cap.
Level active();

// Lowers the active level to at most `level` (for tests; the cap starts at the highest level).
// Kernels read the cap once per call, so a call in progress keeps the level it started with.
void cap(Level level);

// Name of a level as tests and benchmarks print it: "portable", "avx2", "avx512".
const char* name(Level level);

// Calls f.template operator()<L>() with L the active level as a compile-time constant, capped at
// `Highest` (the widest body the kernel has).
template <Level Highest = Level::avx512, typename F>
decltype(auto) dispatch(F&& f) {
  const Level l = active();
  if constexpr (Highest >= Level::avx512) {
    if (l >= Level::avx512) return f.template operator()<Level::avx512>();
  }
  if constexpr (Highest >= Level::avx2) {
    if (l >= Level::avx2) return f.template operator()<Level::avx2>();
  }
  return f.template operator()<Level::portable>();
}

}  // namespace mirelon::cpu
