/*
 * synth_kernels.h - internal: the inner loops of the fast wavelet
 * synthesis, dequantization and byte conversion, one set per instruction
 * set, and the choice between them.
 *
 * Every kernel computes each output with the same float operations, in the
 * same order, as the reference routines in reconstruct.cpp and
 * dequantize.cpp: separate multiplies and adds (never fused), products
 * rounded to float, sums held in float. Vector lanes are independent
 * outputs, so the width of the vectors changes nothing in the results.
 */
#ifndef WSQ_SYNTH_KERNELS_H
#define WSQ_SYNTH_KERNELS_H

#include <cstddef>
#include <cstdint>

/* How one term enters an output sum: the first term starts it, later ones
 * are added, subtracted, or subtracted after negation (a high-band sample
 * whose extension reversed its sign). */
enum WsqTermOp : int32_t {
    WSQ_TERM_SET = 0,    /* acc = c * x */
    WSQ_TERM_ADD = 1,    /* acc = acc + c * x */
    WSQ_TERM_SUB = 2,    /* acc = acc - c * x */
    WSQ_TERM_SUB_NEG = 3 /* acc = acc - (-(c * x)) */
};

/* One term of a run of outputs: output i uses src[i] (or the value 0 when
 * src is null) times coef. A run whose first term is not WSQ_TERM_SET
 * starts its sums at 0. */
struct WsqSynthTerm {
    const float *src;
    float coef;
    int32_t op;
};

/* dst[i] for i in 0..count-1 from the terms, applied in order. */
using WsqApplyTermsFn = void (*)(float *dst, const WsqSynthTerm *terms, int nterms, ptrdiff_t count);
/* dst[2i] = even[i], dst[2i+1] = odd[i] for i in 0..pairs-1. */
using WsqInterleaveFn = void (*)(float *dst, const float *even, const float *odd, ptrdiff_t pairs);
/* pixels[i] = wsq_float_to_byte(values[i], shift, scale). */
using WsqToBytesFn = void (*)(unsigned char *pixels, const float *values, ptrdiff_t count, float shift,
                              float scale);
/* out[i] = wsq_dequantize_value(in[i], p, q, z) with half_z = (double)z * 0.5. */
using WsqDequantizeRunFn = void (*)(float *out, const int16_t *in, ptrdiff_t count, float p, float q,
                                    double half_z);
/* The same when z * 0.5 is exactly a float, half_z: the sum is then done
 * in float. A sum of two floats worked out in double and rounded to float
 * equals the float sum (double carries more than twice float's precision
 * plus two bits, so the second rounding cannot go astray); this is also
 * why the byte conversion adds its 0.5 in float. */
using WsqDequantizeRunFloatFn = void (*)(float *out, const int16_t *in, ptrdiff_t count, float p, float q,
                                         float half_z);

/* dst[2i] from the even terms and dst[2i+1] from the odd ones, i in
 * 0..pairs-1: apply_terms of each into a run, then interleave, in one go.
 * The same again for rows - 1 more lines, line r read at the terms'
 * sources plus r * src_pitch and written at dst + r * dst_pitch; no line
 * written may overlap a source. Returns false, writing nothing, for lists
 * it has no form for; the caller then takes those three steps. */
using WsqApplyPairFn = bool (*)(float *dst, ptrdiff_t dst_pitch, const WsqSynthTerm *even, int neven,
                                const WsqSynthTerm *odd, int nodd, ptrdiff_t src_pitch, int rows,
                                ptrdiff_t pairs);

/* Rows r = 0..rows-1 of a column pass, count outputs each, row r written
 * at dst + r * dst_pitch: from the even terms where parity + r is even,
 * from the odd ones otherwise, as apply_terms would; after each row it
 * gives, a list's sources move on by src_pitch. No row written may overlap
 * a source. Returns false, writing nothing, for lists it has no form for;
 * the caller then goes row by row. */
using WsqApplyColumnsFn = bool (*)(float *dst, ptrdiff_t dst_pitch, const WsqSynthTerm *even, int neven,
                                   const WsqSynthTerm *odd, int nodd, ptrdiff_t src_pitch, int parity, int rows,
                                   ptrdiff_t count);

struct WsqSynthKernels {
    WsqApplyTermsFn apply_terms;
    WsqInterleaveFn interleave;
    WsqToBytesFn to_bytes;
    WsqDequantizeRunFn dequantize_run;
    WsqDequantizeRunFloatFn dequantize_run_float;
    WsqApplyPairFn apply_pair;       /* null: none at this level */
    WsqApplyColumnsFn apply_columns; /* null: none at this level */
};

/* Implementation levels. The reference level runs the straightforward
 * routines of reconstruct.cpp and dequantize.cpp (the decoder's oracle). */
enum WsqSynthLevel {
    WSQ_SYNTH_REFERENCE = 0,
    WSQ_SYNTH_PORTABLE = 1, /* plain C++, vectorised by the compiler */
    WSQ_SYNTH_SSE2 = 2,     /* x86-64 only */
    WSQ_SYNTH_AVX2 = 3,     /* x86-64 with AVX2, chosen at run time */
    WSQ_SYNTH_AVX512 = 4,   /* the same with AVX-512VL's 32 registers */
    WSQ_SYNTH_LEVELS = 5
};

/* Whether this build and this processor can run a level. */
bool wsq_synth_level_supported(int level);

/* The level in use: the best supported one unless a test forced another. */
int wsq_synth_level(void);

/* Forces a supported level (or -1: back to the automatic choice) for the
 * whole process; returns the previous forced level (-1 when none), or -2
 * when the level is not supported (nothing changes). For tests. */
int wsq_synth_force_level(int level);

/* The synthesis keeps its line plans and working memory from one decode
 * to the next. This drops them. For tests, and cannot fail. */
void wsq_synth_release_kept(void);

/* With on, the synthesis fills its working memory with NaN before each
 * use, as memory kept from an earlier decode may hold anything; returns
 * the previous setting. For tests. */
bool wsq_synth_poison_workspaces(bool on);

/* The kernels of a supported non-reference level. */
const WsqSynthKernels *wsq_synth_kernels(int level);

/* Per-level tables; null where the build or the target has none. */
extern const WsqSynthKernels wsq_synth_kernels_portable;
const WsqSynthKernels *wsq_synth_kernels_sse2(void);
const WsqSynthKernels *wsq_synth_kernels_avx2(void);
const WsqSynthKernels *wsq_synth_kernels_avx512(void);

#endif /* WSQ_SYNTH_KERNELS_H */
