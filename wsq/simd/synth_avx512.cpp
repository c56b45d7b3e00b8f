/*
 * synth_avx512.cpp - the same 256-bit kernels compiled with AVX-512F and
 * AVX-512VL on x86-64, chosen at run time when the processor has both.
 * The vectors stay 256 bits wide, so every lane computes as before; what
 * AVX-512VL adds is 32 vector registers instead of 16, which lets the
 * kernels that combine two term lists keep every coefficient and loaded
 * sample in a register. The flags bring FMA in, but the build never
 * contracts a multiply and an add (-ffp-contract=off) and the code asks
 * for none.
 */
#include "../synth_kernels.h"

#if defined(__AVX512F__) && defined(__AVX512VL__) && (defined(__x86_64__) || defined(_M_X64))

#include "synth_avx2.inc"

const WsqSynthKernels *wsq_synth_kernels_avx512(void) { return &kKernels; }

#else

const WsqSynthKernels *wsq_synth_kernels_avx512(void) { return nullptr; }

#endif
