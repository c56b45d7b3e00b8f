/*
 * reconstruct.h - internal: inverse wavelet transform of the float image
 * and conversion to 8-bit pixels.
 *
 * This is the straightforward reference form of the synthesis: every
 * output sample is computed from the formulas with explicitly mirrored
 * band indices, in the prescribed order of float operations. Faster forms
 * must give bit-identical results.
 */
#ifndef WSQ_RECONSTRUCT_H
#define WSQ_RECONSTRUCT_H

#include <cstddef>

#include "codestream.h"
#include "trees.h"

/* Synthesizes `lines` lines of `length` samples from src into dest. Line i
 * sample s is at i * pitch + s * stride in both buffers. A line holds the
 * low band (ceil(length/2) samples) then the high band (floor(length/2)),
 * or the high band first when invert is set. Any length >= 0 is safe:
 * band indices past either end are mirrored as often as needed and never
 * leave the line. Cannot fail. */
void wsq_synthesize_lines(float *dest, const float *src, int lines, int length, ptrdiff_t pitch,
                          ptrdiff_t stride, const float *high_pass, int hsz, const float *low_pass,
                          int lsz, int invert);

/* In-place inverse transform over wavelet nodes 19 down to 0. -95 / -96 no
 * transform table, -97 no memory, WSQ_E_BAD_TABLE for filters of unequal
 * parity. */
int wsq_reconstruct(float *image, int width, int height, const WsqWaveletTree *tree,
                    const WsqTransformTable *transform);

/* One value: scale * v + shift, rounded half up and clamped; NaN gives 0. */
unsigned char wsq_float_to_byte(float v, float shift, float scale);

/* scale * v + shift, rounded half up and clamped to 0..255; NaN gives 0. */
void wsq_float_to_bytes(unsigned char *pixels, const float *image, int width, int height, float shift,
                        float scale);

#endif /* WSQ_RECONSTRUCT_H */
