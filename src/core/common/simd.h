// The one scheme for vector code: lane operations per instruction set, and the choice of set.
//
// Vector code is written once, as a template over an instruction set `Isa`: with the lane
// operations of Lanes<Isa> where lanes are compared and their verdicts turned into bits, or added,
// or as plain element-wise loops that the compiler vectorizes. The set is chosen at compile time: the
// target's baseline (`Baseline`: SSE2 on x86-64, which every such processor has; elsewhere the
// portable lanes, plain arrays that every compiler builds and may vectorize for its target). On
// x86 alone a kernel may also be compiled for AVX2 and chosen at run time (run_widest), where a
// benchmark shows that it pays. Every set performs the same operations in the same order on each
// lane, and nothing is contracted, so results are the same bits on every target.
#pragma once

#include <array>
#include <bit>
#include <cstddef>

#if (defined(__x86_64__) || defined(_M_X64)) && (defined(__GNUC__) || defined(__clang__))
#define QUORLIN_X86_DISPATCH 1
#include <immintrin.h>
/// Compiles a function for AVX2; only ever on x86 with GCC or Clang, where the attribute exists.
#define QUORLIN_TARGET_AVX2 __attribute__((target("avx2")))
/// Inlines everything a function calls into it, so a kernel template instantiated for AVX2 is
/// compiled inside the AVX2 function that runs it.
#define QUORLIN_FLATTEN __attribute__((flatten))
#endif

namespace quorlin::simd {

/// Lanes held in plain arrays: the path every target builds. Width kPortableLanes matches SSE2's
/// four floats, so block sizes chosen for it hold everywhere.
struct Portable {};
inline constexpr std::size_t kPortableLanes = 4;

/// Per-lane operations of an instruction set, on `width` consecutive floats.
///
/// Vectors of floats (Floats) are loaded, added and stored. The comparisons take each operand
/// either as a float (the same value in every lane) or as a pointer to `width` floats, and return
/// their verdicts as bits (bit k: lane k), so no vector register ever passes between functions
/// (which would tie the kernels' calling convention to the instruction set). They follow IEEE
/// rules per lane: greater and less are false where a lane holds NaN, not_greater is true.
/// none_greater(v, p...) and all_less(v, p...) test several operands against v at once: the
/// lanes where no p is greater than v, and where every p is less.
template <class Isa>
struct Lanes;

namespace detail {
inline float lane(float x, std::size_t) { return x; }
inline float lane(const float* p, std::size_t k) { return p[k]; }
}  // namespace detail

template <>
struct Lanes<Portable> {
  static constexpr std::size_t width = kPortableLanes;
  using Floats = std::array<float, width>;

  static Floats load(const float* p) {
    Floats v;
    for (std::size_t k = 0; k < width; ++k) v[k] = p[k];
    return v;
  }
  static void store(float* p, const Floats& v) {
    for (std::size_t k = 0; k < width; ++k) p[k] = v[k];
  }
  static Floats splat(float x) {
    Floats v;
    v.fill(x);
    return v;
  }
  static Floats add(const Floats& a, const Floats& b) {
    Floats v;
    for (std::size_t k = 0; k < width; ++k) v[k] = a[k] + b[k];
    return v;
  }
  /// Per lane: a where a > b, else b (so b where either is NaN).
  static Floats larger(const Floats& a, const Floats& b) {
    Floats v;
    for (std::size_t k = 0; k < width; ++k) v[k] = a[k] > b[k] ? a[k] : b[k];
    return v;
  }
  template <class A, class B>
  static unsigned greater(A a, B b) {
    return where(a, b, [](float x, float y) { return x > y; });
  }
  template <class A, class B>
  static unsigned less(A a, B b) {
    return where(a, b, [](float x, float y) { return x < y; });
  }
  template <class A, class B>
  static unsigned not_greater(A a, B b) {
    return where(a, b, [](float x, float y) { return !(x > y); });
  }
  /// Lanes where no p[k] is greater than v[k] (NaN passes), and where every p[k] is less.
  template <class... P>
  static unsigned none_greater(const float* v, P... p) {
    return (not_greater(p, v) & ...);
  }
  template <class... P>
  static unsigned all_less(const float* v, P... p) {
    return (less(p, v) & ...);
  }

 private:
  template <class A, class B, class Compare>
  static unsigned where(A a, B b, Compare compare) {
    unsigned bits = 0;
    for (std::size_t k = 0; k < width; ++k)
      bits |= static_cast<unsigned>(compare(detail::lane(a, k), detail::lane(b, k))) << k;
    return bits;
  }
};

#if defined(QUORLIN_X86_DISPATCH)
/// SSE2: four floats per register, part of every x86-64 processor.
struct Sse2 {};
/// AVX2: eight floats per register, chosen at run time (run_widest).
struct Avx2 {};
using Baseline = Sse2;

template <>
struct Lanes<Sse2> {
  static constexpr std::size_t width = 4;
  using Floats = __m128;
  static Floats load(const float* p) { return _mm_loadu_ps(p); }
  static void store(float* p, Floats v) { _mm_storeu_ps(p, v); }
  static Floats splat(float x) { return _mm_set1_ps(x); }
  static Floats add(Floats a, Floats b) { return _mm_add_ps(a, b); }
  static Floats larger(Floats a, Floats b) { return _mm_max_ps(a, b); }  // a > b ? a : b, per lane
  template <class A, class B>
  static unsigned greater(A a, B b) {
    return bits(_mm_cmpgt_ps(operand(a), operand(b)));
  }
  template <class A, class B>
  static unsigned less(A a, B b) {
    return bits(_mm_cmplt_ps(operand(a), operand(b)));
  }
  template <class A, class B>
  static unsigned not_greater(A a, B b) {
    return bits(_mm_cmpngt_ps(operand(a), operand(b)));
  }
  template <class... P>
  static unsigned none_greater(const float* v, P... p) {
    const Floats x = load(v);
    return bits(both(_mm_cmpngt_ps(operand(p), x)...));
  }
  template <class... P>
  static unsigned all_less(const float* v, P... p) {
    const Floats x = load(v);
    return bits(both(_mm_cmplt_ps(operand(p), x)...));
  }

 private:
  static Floats operand(float x) { return splat(x); }
  static Floats operand(const float* p) { return load(p); }
  static unsigned bits(Floats m) { return static_cast<unsigned>(_mm_movemask_ps(m)); }
  static Floats both(Floats m) { return m; }
  template <class... M>
  static Floats both(Floats m, M... rest) {
    return _mm_and_ps(m, both(rest...));
  }
};

/// Only the comparisons: AVX2 code is reached through run_widest, whose kernels may pass no
/// 256-bit vector between functions.
template <>
struct Lanes<Avx2> {
  static constexpr std::size_t width = 8;
  template <class A, class B>
  QUORLIN_TARGET_AVX2 static unsigned greater(A a, B b) {
    return bits(_mm256_cmp_ps(operand(a), operand(b), _CMP_GT_OQ));
  }
  template <class A, class B>
  QUORLIN_TARGET_AVX2 static unsigned less(A a, B b) {
    return bits(_mm256_cmp_ps(operand(a), operand(b), _CMP_LT_OQ));
  }
  template <class A, class B>
  QUORLIN_TARGET_AVX2 static unsigned not_greater(A a, B b) {
    return bits(_mm256_cmp_ps(operand(a), operand(b), _CMP_NGT_UQ));
  }
  template <class... P>
  QUORLIN_TARGET_AVX2 static unsigned none_greater(const float* v, P... p) {
    const __m256 x = operand(v);
    return bits(both(_mm256_cmp_ps(operand(p), x, _CMP_NGT_UQ)...));
  }
  template <class... P>
  QUORLIN_TARGET_AVX2 static unsigned all_less(const float* v, P... p) {
    const __m256 x = operand(v);
    return bits(both(_mm256_cmp_ps(operand(p), x, _CMP_LT_OQ)...));
  }

 private:
  QUORLIN_TARGET_AVX2 static __m256 operand(float x) { return _mm256_set1_ps(x); }
  QUORLIN_TARGET_AVX2 static __m256 operand(const float* p) { return _mm256_loadu_ps(p); }
  QUORLIN_TARGET_AVX2 static unsigned bits(__m256 m) {
    return static_cast<unsigned>(_mm256_movemask_ps(m));
  }
  QUORLIN_TARGET_AVX2 static __m256 both(__m256 m) { return m; }
  template <class... M>
  QUORLIN_TARGET_AVX2 static __m256 both(__m256 m, M... rest) {
    return _mm256_and_ps(m, both(rest...));
  }
};

/// Whether the processor runs AVX2 code; asked once (cpu_init first: the answer may be needed
/// before the runtime's own initialiser has run).
inline bool has_avx2() {
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return yes;
}

namespace detail {
template <class Kernel>
QUORLIN_TARGET_AVX2 QUORLIN_FLATTEN void run_avx2(Kernel& kernel) {
  kernel.template operator()<Avx2>();
}
}  // namespace detail

/// Runs kernel.template operator()<Isa>() with the widest set this processor has: AVX2 where
/// present, else the baseline.
template <class Kernel>
void run_widest(Kernel&& kernel) {
  if (has_avx2()) return detail::run_avx2(kernel);
  kernel.template operator()<Baseline>();
}
#else
using Baseline = Portable;

/// Runs kernel.template operator()<Baseline>(): there is no run-time choice off x86.
template <class Kernel>
void run_widest(Kernel&& kernel) {
  kernel.template operator()<Baseline>();
}
#endif

/// Asks for the cache line at p ahead of its use, where the compiler offers a way to.
inline void prefetch(const void* p) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(p);
#else
  (void)p;
#endif
}

/// Calls visit(k) for each set bit k of bits, lowest first.
template <class Visit>
void for_each_bit(unsigned bits, Visit&& visit) {
  for (; bits != 0; bits &= bits - 1) visit(static_cast<std::size_t>(std::countr_zero(bits)));
}

}  // namespace quorlin::simd
