#pragma once
// Per-vertex loops that are worth it are compiled three times, for AVX-512, for
// AVX2 and for the x86-64 baseline, and the loader picks the best one the CPU
// runs. Only element-wise IEEE operations (+, -, *, /, sqrt) are vectorised and
// contraction into fused multiply-adds is off everywhere, so every clone gives
// bit-identical results.

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define LODESTRA_SIMD_CLONES \
  __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define LODESTRA_SIMD_CLONES
#endif
