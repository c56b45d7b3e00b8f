/*
 * synth_avx512.cpp - the vector kernels compiled with AVX-512F and
 * AVX-512VL on x86-64, chosen at run time when the processor has both.
 * The long loops run on 512-bit vectors; lines too short for them, on
 * 256-bit ones with 32 vector registers. Every lane computes as before.
 * The flags bring FMA in, but the build never contracts a multiply and an
 * add (-ffp-contract=off) and the code asks for none.
 */
#include "../synth_kernels.h"

#if defined(__AVX512F__) && defined(__AVX512VL__) && (defined(__x86_64__) || defined(_M_X64))

/* GCC 12's 512-bit intrinsics start their results from a self-initialised
 * "undefined" vector, which -Wmaybe-uninitialized reports wherever they
 * are inlined. */
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define WSQ_SYNTH_WIDE 1
#include "synth_avx2.inc"

const WsqSynthKernels *wsq_synth_kernels_avx512(void) { return &kKernels; }

#else

const WsqSynthKernels *wsq_synth_kernels_avx512(void) { return nullptr; }

#endif
