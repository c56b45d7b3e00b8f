/*
 * synth_avx2.cpp - the 256-bit kernels compiled with -mavx2 (and no FMA) on
 * x86-64, chosen at run time when the processor has AVX2.
 */
#include "../synth_kernels.h"

#if defined(__AVX2__) && (defined(__x86_64__) || defined(_M_X64))

#include "synth_avx2.inc"

const WsqSynthKernels *wsq_synth_kernels_avx2(void) { return &kKernels; }

#else

const WsqSynthKernels *wsq_synth_kernels_avx2(void) { return nullptr; }

#endif
