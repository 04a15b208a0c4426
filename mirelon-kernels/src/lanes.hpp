// Values processed in lanes at an instruction-set level, for vector paths that must give the
// bits of their scalar form.
//
// A `Pack` holds `width` values of C (float or double) in memory; `Lanes<L, C>` holds the
// operations on packs at level L. Every operation is one IEEE operation per lane, exactly the
// scalar one (no contraction, no approximation, no reordering), so a loop written once against
// `Lanes<L, C>` gives the same bits at every level; at the portable level a pack is one value and
// the loop is its own scalar form.
//
// Packs cross function boundaries as plain structs, never as vector registers, so the operations
// (each compiled for its level) can be called from code of any level, inlined or not, without an
// ABI mismatch. A loop body is a template over its Lanes, marked `[[gnu::always_inline]]`, and
// `run_at<L>` runs it inside a function compiled for L, where the packs stay in registers.
//
// `avx2::` holds the AVX2 operations on registers themselves, for vector paths that stay at AVX2
// and keep their values in registers between operations.
//
// Which of two NaN operands an operation passes on depends on how the compiler orders the
// operands, so NaN results are stored as the one quiet NaN (`store_as`, `canonical_nan`): NaN
// outputs then have the same bits on every path too.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "cpu.hpp"

namespace mirelon::lanes {

// x, or the positive quiet NaN when x is any NaN.
template <typename C>
inline C canonical_nan(C x) {
  return x != x ? std::numeric_limits<C>::quiet_NaN() : x;
}

template <typename C, size_t W>
struct alignas(W * sizeof(C) >= 64 ? 64 : W * sizeof(C)) Pack {
  C v[W];
};

template <cpu::Level L, typename C>
struct Lanes;

// One lane: the scalar form. Comparisons are ordered: a NaN makes them false.
template <typename C>
struct Lanes<cpu::Level::portable, C> {
  static constexpr size_t width = 1;
  using Scalar = C;
  using V = Pack<C, 1>;
  static V set1(C x) { return {{x}}; }
  static V load(const C* p) { return {{p[0]}}; }
  static V add(V a, V b) { return {{a.v[0] + b.v[0]}}; }
  static V sub(V a, V b) { return {{a.v[0] - b.v[0]}}; }
  static V mul(V a, V b) { return {{a.v[0] * b.v[0]}}; }
  static V div(V a, V b) { return {{a.v[0] / b.v[0]}}; }
  static V sqrt(V a) { return {{std::sqrt(a.v[0])}}; }
  // a < b ? x : y, a > b ? x : y, a <= b ? x : y
  static V where_lt(V a, V b, V x, V y) { return a.v[0] < b.v[0] ? x : y; }
  static V where_gt(V a, V b, V x, V y) { return a.v[0] > b.v[0] ? x : y; }
  static V where_le(V a, V b, V x, V y) { return a.v[0] <= b.v[0] ? x : y; }
  // Each lane rounded to float and back (the float result of a double operation).
  static V round_to_float(V a) { return {{static_cast<C>(static_cast<float>(a.v[0]))}}; }
  // Each lane rounded to T, a NaN stored as the quiet NaN.
  template <typename T>
  static void store_as(T* p, V a) {
    p[0] = canonical_nan(static_cast<T>(a.v[0]));
  }
};

#if defined(__x86_64__)

// ---- AVX2 registers ----------------------------------------------------------------------------
// The AVX2 operations on the registers themselves, for vector paths compiled for AVX2 that keep
// their values in registers and write their formulas with the vector operators (+, -, *, /: one
// IEEE operation per lane). `Registers<C>::V` holds the lanes of C, `Registers<C>::I` as many
// 32-bit integer lanes. Each helper is one IEEE operation per lane, exactly as the scalar code
// performs it.
namespace avx2 {

#define MIRELON_AVX2_INLINE [[gnu::target("avx2"), gnu::always_inline]] inline

template <typename C>
struct Registers;

template <>
struct Registers<double> {
  using V = __m256d;
  using I = __m128i;
  static constexpr size_t n = 4;
};

template <>
struct Registers<float> {
  using V = __m256;
  using I = __m256i;
  static constexpr size_t n = 8;
};

MIRELON_AVX2_INLINE __m256d load(const double* p) { return _mm256_loadu_pd(p); }
MIRELON_AVX2_INLINE __m256 load(const float* p) { return _mm256_loadu_ps(p); }
// A NaN lane is stored as the one quiet NaN (canonical_nan), as every scalar store is.
MIRELON_AVX2_INLINE void store(double* p, __m256d x) {
  const __m256d nan = _mm256_set1_pd(std::numeric_limits<double>::quiet_NaN());
  _mm256_storeu_pd(p, _mm256_blendv_pd(x, nan, _mm256_cmp_pd(x, x, _CMP_UNORD_Q)));
}
MIRELON_AVX2_INLINE void store(float* p, __m256 x) {
  const __m256 nan = _mm256_set1_ps(std::numeric_limits<float>::quiet_NaN());
  _mm256_storeu_ps(p, _mm256_blendv_ps(x, nan, _mm256_cmp_ps(x, x, _CMP_UNORD_Q)));
}
MIRELON_AVX2_INLINE __m256d splat(double v) { return _mm256_set1_pd(v); }
MIRELON_AVX2_INLINE __m256 splat(float v) { return _mm256_set1_ps(v); }
// max(a, b) and min(a, b) give b when a is NaN, and b when a and b are equal.
MIRELON_AVX2_INLINE __m256d max(__m256d a, __m256d b) { return _mm256_max_pd(a, b); }
MIRELON_AVX2_INLINE __m256 max(__m256 a, __m256 b) { return _mm256_max_ps(a, b); }
MIRELON_AVX2_INLINE __m256d min(__m256d a, __m256d b) { return _mm256_min_pd(a, b); }
MIRELON_AVX2_INLINE __m256 min(__m256 a, __m256 b) { return _mm256_min_ps(a, b); }
MIRELON_AVX2_INLINE __m256d floor(__m256d v) { return _mm256_floor_pd(v); }
MIRELON_AVX2_INLINE __m256 floor(__m256 v) { return _mm256_floor_ps(v); }
// Each lane truncated toward zero to a 32-bit integer.
MIRELON_AVX2_INLINE __m128i truncate(__m256d v) { return _mm256_cvttpd_epi32(v); }
MIRELON_AVX2_INLINE __m256i truncate(__m256 v) { return _mm256_cvttps_epi32(v); }
// a * k + b in 32-bit lanes.
MIRELON_AVX2_INLINE __m128i mul_add(__m128i a, int32_t k, __m128i b) {
  return _mm_add_epi32(_mm_mullo_epi32(a, _mm_set1_epi32(k)), b);
}
MIRELON_AVX2_INLINE __m256i mul_add(__m256i a, int32_t k, __m256i b) {
  return _mm256_add_epi32(_mm256_mullo_epi32(a, _mm256_set1_epi32(k)), b);
}
MIRELON_AVX2_INLINE void store_index(int32_t* p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}
MIRELON_AVX2_INLINE void store_index(int32_t* p, __m256i v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

// The neighbouring values at[i] and at[i + 1] of every lane's index i (loaded from `index`), as
// two vectors in lane order. Loading each pair whole takes half the lane loads of two gathers.
MIRELON_AVX2_INLINE void gather_runs(const double* at, const int32_t* index, __m256d& first,
                                     __m256d& second) {
  const __m128d r0 = _mm_loadu_pd(at + index[0]);
  const __m128d r1 = _mm_loadu_pd(at + index[1]);
  const __m128d r2 = _mm_loadu_pd(at + index[2]);
  const __m128d r3 = _mm_loadu_pd(at + index[3]);
  const __m256d even = _mm256_set_m128d(r2, r0);  // pairs of lanes 0 and 2
  const __m256d odd = _mm256_set_m128d(r3, r1);   // pairs of lanes 1 and 3
  first = _mm256_unpacklo_pd(even, odd);
  second = _mm256_unpackhi_pd(even, odd);
}
MIRELON_AVX2_INLINE void gather_runs(const float* at, const int32_t* index, __m256& first,
                                     __m256& second) {
  // Each pair of floats is gathered as one 64-bit lane (scale 4: indices count floats), with
  // the masked form and every lane enabled: the unmasked one leaves its source undefined, which
  // compilers report as uninitialized.
  const __m256d all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
  const auto* runs = reinterpret_cast<const double*>(at);
  const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(index));
  const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(index + 4));
  const __m256 a = _mm256_castpd_ps(_mm256_mask_i32gather_pd(_mm256_setzero_pd(), runs, lo, all, 4));
  const __m256 b = _mm256_castpd_ps(_mm256_mask_i32gather_pd(_mm256_setzero_pd(), runs, hi, all, 4));
  // Lanes 0 1 4 5 | 2 3 6 7 after the shuffle, put back in order.
  first = _mm256_castpd_ps(
      _mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(a, b, 0x88)), 0xD8));
  second = _mm256_castpd_ps(
      _mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(a, b, 0xDD)), 0xD8));
}

#undef MIRELON_AVX2_INLINE

}  // namespace avx2

#define MIRELON_AVX2 [[gnu::target("avx2")]] static inline
#define MIRELON_AVX512 [[gnu::target("avx512f")]] static inline

template <>
struct Lanes<cpu::Level::avx2, double> {
  static constexpr size_t width = 4;
  using Scalar = double;
  using V = Pack<double, 4>;
  MIRELON_AVX2 __m256d in(const V& a) { return _mm256_load_pd(a.v); }
  MIRELON_AVX2 V out(__m256d x) {
    V r;
    _mm256_store_pd(r.v, x);
    return r;
  }
  MIRELON_AVX2 V set1(double x) { return out(_mm256_set1_pd(x)); }
  MIRELON_AVX2 V load(const double* p) { return out(_mm256_loadu_pd(p)); }
  MIRELON_AVX2 V add(V a, V b) { return out(_mm256_add_pd(in(a), in(b))); }
  MIRELON_AVX2 V sub(V a, V b) { return out(_mm256_sub_pd(in(a), in(b))); }
  MIRELON_AVX2 V mul(V a, V b) { return out(_mm256_mul_pd(in(a), in(b))); }
  MIRELON_AVX2 V div(V a, V b) { return out(_mm256_div_pd(in(a), in(b))); }
  MIRELON_AVX2 V sqrt(V a) { return out(_mm256_sqrt_pd(in(a))); }
  MIRELON_AVX2 V where_lt(V a, V b, V x, V y) {
    return out(_mm256_blendv_pd(in(y), in(x), _mm256_cmp_pd(in(a), in(b), _CMP_LT_OQ)));
  }
  MIRELON_AVX2 V where_gt(V a, V b, V x, V y) {
    return out(_mm256_blendv_pd(in(y), in(x), _mm256_cmp_pd(in(a), in(b), _CMP_GT_OQ)));
  }
  MIRELON_AVX2 V where_le(V a, V b, V x, V y) {
    return out(_mm256_blendv_pd(in(y), in(x), _mm256_cmp_pd(in(a), in(b), _CMP_LE_OQ)));
  }
  MIRELON_AVX2 V round_to_float(V a) { return out(_mm256_cvtps_pd(_mm256_cvtpd_ps(in(a)))); }
  MIRELON_AVX2 void store_as(double* p, V a) { avx2::store(p, in(a)); }
  MIRELON_AVX2 void store_as(float* p, V a) {
    const __m128 x = _mm256_cvtpd_ps(in(a));
    const __m128 nan = _mm_set1_ps(std::numeric_limits<float>::quiet_NaN());
    _mm_storeu_ps(p, _mm_blendv_ps(x, nan, _mm_cmpunord_ps(x, x)));
  }
};

template <>
struct Lanes<cpu::Level::avx2, float> {
  static constexpr size_t width = 8;
  using Scalar = float;
  using V = Pack<float, 8>;
  MIRELON_AVX2 __m256 in(const V& a) { return _mm256_load_ps(a.v); }
  MIRELON_AVX2 V out(__m256 x) {
    V r;
    _mm256_store_ps(r.v, x);
    return r;
  }
  MIRELON_AVX2 V set1(float x) { return out(_mm256_set1_ps(x)); }
  MIRELON_AVX2 V load(const float* p) { return out(_mm256_loadu_ps(p)); }
  MIRELON_AVX2 V add(V a, V b) { return out(_mm256_add_ps(in(a), in(b))); }
  MIRELON_AVX2 V sub(V a, V b) { return out(_mm256_sub_ps(in(a), in(b))); }
  MIRELON_AVX2 V mul(V a, V b) { return out(_mm256_mul_ps(in(a), in(b))); }
  MIRELON_AVX2 V div(V a, V b) { return out(_mm256_div_ps(in(a), in(b))); }
  MIRELON_AVX2 V sqrt(V a) { return out(_mm256_sqrt_ps(in(a))); }
  MIRELON_AVX2 V where_lt(V a, V b, V x, V y) {
    return out(_mm256_blendv_ps(in(y), in(x), _mm256_cmp_ps(in(a), in(b), _CMP_LT_OQ)));
  }
  MIRELON_AVX2 V where_gt(V a, V b, V x, V y) {
    return out(_mm256_blendv_ps(in(y), in(x), _mm256_cmp_ps(in(a), in(b), _CMP_GT_OQ)));
  }
  MIRELON_AVX2 V where_le(V a, V b, V x, V y) {
    return out(_mm256_blendv_ps(in(y), in(x), _mm256_cmp_ps(in(a), in(b), _CMP_LE_OQ)));
  }
  MIRELON_AVX2 V round_to_float(V a) { return a; }
  MIRELON_AVX2 void store_as(float* p, V a) { avx2::store(p, in(a)); }
};

// The mask forms write every lane (all-ones masks), so no lane is left undefined.
template <>
struct Lanes<cpu::Level::avx512, double> {
  static constexpr size_t width = 8;
  using Scalar = double;
  using V = Pack<double, 8>;
  static constexpr __mmask8 all = 0xFF;
  MIRELON_AVX512 __m512d in(const V& a) { return _mm512_load_pd(a.v); }
  MIRELON_AVX512 V out(__m512d x) {
    V r;
    _mm512_store_pd(r.v, x);
    return r;
  }
  MIRELON_AVX512 V set1(double x) { return out(_mm512_set1_pd(x)); }
  MIRELON_AVX512 V load(const double* p) { return out(_mm512_loadu_pd(p)); }
  MIRELON_AVX512 V add(V a, V b) { return out(_mm512_add_pd(in(a), in(b))); }
  MIRELON_AVX512 V sub(V a, V b) { return out(_mm512_sub_pd(in(a), in(b))); }
  MIRELON_AVX512 V mul(V a, V b) { return out(_mm512_mul_pd(in(a), in(b))); }
  MIRELON_AVX512 V div(V a, V b) { return out(_mm512_div_pd(in(a), in(b))); }
  MIRELON_AVX512 V sqrt(V a) { return out(_mm512_maskz_sqrt_pd(all, in(a))); }
  MIRELON_AVX512 V where_lt(V a, V b, V x, V y) {
    return out(_mm512_mask_blend_pd(_mm512_cmp_pd_mask(in(a), in(b), _CMP_LT_OQ), in(y), in(x)));
  }
  MIRELON_AVX512 V where_gt(V a, V b, V x, V y) {
    return out(_mm512_mask_blend_pd(_mm512_cmp_pd_mask(in(a), in(b), _CMP_GT_OQ), in(y), in(x)));
  }
  MIRELON_AVX512 V where_le(V a, V b, V x, V y) {
    return out(_mm512_mask_blend_pd(_mm512_cmp_pd_mask(in(a), in(b), _CMP_LE_OQ), in(y), in(x)));
  }
  MIRELON_AVX512 V round_to_float(V a) {
    return out(_mm512_maskz_cvtps_pd(all, _mm512_maskz_cvtpd_ps(all, in(a))));
  }
  MIRELON_AVX512 void store_as(double* p, V a) {
    const __m512d x = in(a);
    const __m512d nan = _mm512_set1_pd(std::numeric_limits<double>::quiet_NaN());
    _mm512_storeu_pd(p, _mm512_mask_blend_pd(_mm512_cmp_pd_mask(x, x, _CMP_UNORD_Q), x, nan));
  }
  MIRELON_AVX512 void store_as(float* p, V a) {
    const __m256 x = _mm512_maskz_cvtpd_ps(all, in(a));
    const __m256 nan = _mm256_set1_ps(std::numeric_limits<float>::quiet_NaN());
    _mm256_storeu_ps(p, _mm256_blendv_ps(x, nan, _mm256_cmp_ps(x, x, _CMP_UNORD_Q)));
  }
};

template <>
struct Lanes<cpu::Level::avx512, float> {
  static constexpr size_t width = 16;
  using Scalar = float;
  using V = Pack<float, 16>;
  static constexpr __mmask16 all = 0xFFFF;
  MIRELON_AVX512 __m512 in(const V& a) { return _mm512_load_ps(a.v); }
  MIRELON_AVX512 V out(__m512 x) {
    V r;
    _mm512_store_ps(r.v, x);
    return r;
  }
  MIRELON_AVX512 V set1(float x) { return out(_mm512_set1_ps(x)); }
  MIRELON_AVX512 V load(const float* p) { return out(_mm512_loadu_ps(p)); }
  MIRELON_AVX512 V add(V a, V b) { return out(_mm512_add_ps(in(a), in(b))); }
  MIRELON_AVX512 V sub(V a, V b) { return out(_mm512_sub_ps(in(a), in(b))); }
  MIRELON_AVX512 V mul(V a, V b) { return out(_mm512_mul_ps(in(a), in(b))); }
  MIRELON_AVX512 V div(V a, V b) { return out(_mm512_div_ps(in(a), in(b))); }
  MIRELON_AVX512 V sqrt(V a) { return out(_mm512_maskz_sqrt_ps(all, in(a))); }
  MIRELON_AVX512 V where_lt(V a, V b, V x, V y) {
    return out(_mm512_mask_blend_ps(_mm512_cmp_ps_mask(in(a), in(b), _CMP_LT_OQ), in(y), in(x)));
  }
  MIRELON_AVX512 V where_gt(V a, V b, V x, V y) {
    return out(_mm512_mask_blend_ps(_mm512_cmp_ps_mask(in(a), in(b), _CMP_GT_OQ), in(y), in(x)));
  }
  MIRELON_AVX512 V where_le(V a, V b, V x, V y) {
    return out(_mm512_mask_blend_ps(_mm512_cmp_ps_mask(in(a), in(b), _CMP_LE_OQ), in(y), in(x)));
  }
  MIRELON_AVX512 V round_to_float(V a) { return a; }
  MIRELON_AVX512 void store_as(float* p, V a) {
    const __m512 x = in(a);
    const __m512 nan = _mm512_set1_ps(std::numeric_limits<float>::quiet_NaN());
    _mm512_storeu_ps(p, _mm512_mask_blend_ps(_mm512_cmp_ps_mask(x, x, _CMP_UNORD_Q), x, nan));
  }
};

#undef MIRELON_AVX2
#undef MIRELON_AVX512

namespace detail {

template <typename C, typename Body, typename... Args>
[[gnu::target("avx2")]] void run_avx2(Args&&... args) {
  Body::template run<Lanes<cpu::Level::avx2, C>>(std::forward<Args>(args)...);
}

template <typename C, typename Body, typename... Args>
[[gnu::target("avx512f")]] void run_avx512(Args&&... args) {
  Body::template run<Lanes<cpu::Level::avx512, C>>(std::forward<Args>(args)...);
}

}  // namespace detail

#endif

// Body::run<Lanes<L, C>>(args...) compiled for level L. Callers pick L once per kernel call
// (cpu::dispatch) and pass it down, so one call keeps one level.
template <cpu::Level L, typename C, typename Body, typename... Args>
void run_at(Args&&... args) {
#if defined(__x86_64__)
  if constexpr (L == cpu::Level::avx512) {
    detail::run_avx512<C, Body>(std::forward<Args>(args)...);
    return;
  } else if constexpr (L == cpu::Level::avx2) {
    detail::run_avx2<C, Body>(std::forward<Args>(args)...);
    return;
  }
#endif
  Body::template run<Lanes<cpu::Level::portable, C>>(std::forward<Args>(args)...);
}

}  // namespace mirelon::lanes
