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
