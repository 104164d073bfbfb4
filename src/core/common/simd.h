// The one scheme for vector code. Vector paths are written with x86 intrinsics and compiled only
// where QUORLIN_X86_SIMD is set (GCC or Clang on x86-64); everything else takes the scalar path,
// which gives the same results. SSE2 is part of every x86-64 processor and is used directly;
// AVX2 code is compiled for its own target (QUORLIN_AVX2 on the function) and chosen at run time
// with has_avx2().
#pragma once

#if defined(__x86_64__) && defined(__GNUC__)
#define QUORLIN_X86_SIMD 1
#define QUORLIN_AVX2 __attribute__((target("avx2")))
#include <immintrin.h>
#endif

namespace quorlin {

#if defined(QUORLIN_X86_SIMD)
/// Whether the processor runs AVX2 code; asked once (cpu_init first: the answer may be needed
/// before the runtime's own initialiser has run).
inline bool has_avx2() {
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return yes;
}
#endif

}  // namespace quorlin
