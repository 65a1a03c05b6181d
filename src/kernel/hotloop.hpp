#pragma once
// Functions of the hot cell loops are built twice, for processors with AVX2 and for the baseline
// x86-64 processor; the program takes the AVX2 build where the processor has it. Both builds do
// the same operations in the same order: their source files are compiled with -ffp-contract=off,
// so that no multiply and add is fused, and the results are the same bit for bit.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define TALVO_HOT_LOOP __attribute__((target_clones("avx2", "default")))
#else
#define TALVO_HOT_LOOP
#endif

// Hand-written AVX2 paths (intrinsics in functions built with target("avx2")) exist where the
// compiler targets x86-64; CpuHasAvx2 tells, once per run, whether this processor runs them.
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TALVO_AVX2_PATHS 1
#endif

// Tests set plainPathsOnly to run the plain paths on a processor that has AVX2 as well, so that
// both are seen to give the same bits.
inline bool plainPathsOnly = false;

inline bool CpuHasAvx2() {
#ifdef TALVO_AVX2_PATHS
    static const bool has = __builtin_cpu_supports("avx2");
    return has && !plainPathsOnly;
#else
    return false;
#endif
}

