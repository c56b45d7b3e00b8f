/*
 * reconstruct.h - internal: inverse wavelet transform of the float image
 * and conversion to 8-bit pixels.
 *
 * The _reference routines are the straightforward form of the synthesis:
 * every output sample is computed from the formulas with explicitly
 * mirrored band indices, in the prescribed order of float operations. The
 * other routines (synth_fast.cpp) are the fast forms the decoder uses;
 * they give bit-identical results.
 */
#ifndef WSQ_RECONSTRUCT_H
#define WSQ_RECONSTRUCT_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "codestream.h"
#include "trees.h"

/* Synthesizes `lines` lines of `length` samples from src into dest. Line i
 * sample s is at i * pitch + s * stride in both buffers. A line holds the
 * low band (ceil(length/2) samples) then the high band (floor(length/2)),
 * or the high band first when invert is set. Any length >= 0 is safe:
 * band indices past either end are mirrored as often as needed and never
 * leave the line. Each line is read in full before it is written. Cannot
 * fail. */
void wsq_synthesize_lines(float *dest, const float *src, int lines, int length, ptrdiff_t pitch,
                          ptrdiff_t stride, const float *high_pass, int hsz, const float *low_pass,
                          int lsz, int invert);
void wsq_synthesize_lines_reference(float *dest, const float *src, int lines, int length,
                                    ptrdiff_t pitch, ptrdiff_t stride, const float *high_pass,
                                    int hsz, const float *low_pass, int lsz, int invert);

/* 0 when the table can drive a synthesis; -95 / -96 no transform table,
 * WSQ_E_BAD_TABLE for missing taps or filters of unequal parity. */
int wsq_check_transform_table(const WsqTransformTable *transform);

/* In-place inverse transform over wavelet nodes 19 down to 0. -95 / -96 no
 * transform table, -97 no memory, WSQ_E_BAD_TABLE for filters of unequal
 * parity. */
int wsq_reconstruct(float *image, int width, int height, const WsqWaveletTree *tree,
                    const WsqTransformTable *transform);
int wsq_reconstruct_reference(float *image, int width, int height, const WsqWaveletTree *tree,
                              const WsqTransformTable *transform);

/* The inverse transform and the conversion to bytes in one: on success
 * *pixels is a malloc'd width*height byte image (caller frees) equal to
 * wsq_reconstruct followed by wsq_float_to_bytes. The float image is used
 * as working space and left in an unspecified state. Same codes as
 * wsq_reconstruct, and WSQ_E_IMAGE_ALLOC when the pixels cannot be
 * allocated. Work is split over wsq_decode_threads() threads. A caller
 * whose image is zero in the quadrant the tree leaves uncoded (below node
 * 2, right of node 3, the subbands from WSQ_CODED_SUBBANDS on), as a
 * dequantized image is, passes fourth_quadrant WSQ_FOURTH_ZERO, and the
 * synthesis skips the terms that only add those zeros; likewise for the
 * rows of subbands that zero_rows (which the caller keeps) marks as all
 * zero. WSQ_FOURTH_UNWRITTEN says the quadrant is to be taken as zero but
 * holds anything: it is then cleared first unless the synthesis never
 * reads it (the usual layout, where node 2 is written there). With lazy,
 * the image's copy of those subbands holds anything too: nodes 2 and 3
 * read them from lazy's coefficients where the layout allows it
 * (wsq_synth_reads_lazily), and otherwise they are written into the image
 * first; lazy->release() is called as soon as they are no longer needed. */
enum WsqFourthQuadrant { WSQ_FOURTH_ANY = 0, WSQ_FOURTH_ZERO = 1, WSQ_FOURTH_UNWRITTEN = 2 };
struct WsqZeroRows;
struct WsqLazySubbands;
int wsq_reconstruct_to_bytes(float *image, int width, int height, const WsqWaveletTree *tree,
                             const WsqTransformTable *transform, float shift, float scale,
                             unsigned char **pixels, int fourth_quadrant, unsigned done_groups = 0,
                             const WsqZeroRows *zero_rows = nullptr, WsqLazySubbands *lazy = nullptr);

/* Whether wsq_reconstruct_to_bytes, handed these subbands of the quant
 * tree as lazy ones with a fourth quadrant known to be zero, reads them
 * from the coefficients (they are exactly those of nodes 2 and 3, in the
 * usual layout) instead of having to write them into the image first. */
bool wsq_synth_reads_lazily(const WsqWaveletTree *tree, const WsqQuantTree *quant_tree, uint64_t subbands);

/* The subtrees below node 1 (nodes 19 to 4, none of which reads outside
 * subbands 0 to 51), synthesised ahead of the rest on the calling thread
 * alone, one subtree after another until *stop turns nonzero. Returns the
 * done_groups mask to hand to wsq_reconstruct_to_bytes, which then skips
 * them: 0 when nothing was done (no memory, a table the transform refuses,
 * the reference level). */
unsigned wsq_synthesize_early(float *image, int width, int height, const WsqWaveletTree *tree,
                              const WsqTransformTable *transform, const std::atomic<int> *stop);

/* One value: scale * v + shift, rounded half up and clamped; NaN gives 0. */
unsigned char wsq_float_to_byte(float v, float shift, float scale);

/* scale * v + shift, rounded half up and clamped to 0..255; NaN gives 0. */
void wsq_float_to_bytes(unsigned char *pixels, const float *image, int width, int height, float shift,
                        float scale);

#endif /* WSQ_RECONSTRUCT_H */
