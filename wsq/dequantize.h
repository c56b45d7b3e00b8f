/*
 * dequantize.h - internal: quantized coefficients to the float image of
 * wavelet coefficients, subband by subband.
 */
#ifndef WSQ_DEQUANTIZE_H
#define WSQ_DEQUANTIZE_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "codestream.h"
#include "trees.h"

/* On success *image is a width*height float image on a cache line, which
 * the caller releases with wsq_free_lines (the _reference form's with
 * free()).
 * -91 no memory, -92 no quantization table. Subbands are split over
 * wsq_decode_threads() threads; the _reference form is the plain loop the
 * fast one is checked against. */
int wsq_dequantize(const WsqQuantTable *quant, const WsqQuantTree *tree, const int16_t *coefficients,
                   int width, int height, float **image);
int wsq_dequantize_reference(const WsqQuantTable *quant, const WsqQuantTree *tree,
                             const int16_t *coefficients, int width, int height, float **image);

/* Whether the subbands of the tree cover every pixel once. */
bool wsq_subbands_tile(const WsqQuantTree *tree, int width, int height);

/* Which rows of each subband came out all zero, for a synthesis that can
 * leave out the terms of zero samples. Subband i covers the rectangle
 * rect[i]; its row r is all zero when rows[first[i] + r] is nonzero. */
struct WsqZeroRows {
    WsqQuantNode rect[WSQ_SUBBANDS] = {};
    int first[WSQ_SUBBANDS + 1] = {};
    std::unique_ptr<uint8_t[]> rows; /* null when out of memory */

    /* Sized for the subbands of tree, every row marked not zero. */
    explicit WsqZeroRows(const WsqQuantTree *tree);
    /* Subbands whose zero rows were left unwritten (see
     * wsq_dequantize_subbands): whatever reads such a subband either
     * leaves out the terms of its zero rows or first clears them. */
    bool unwritten[WSQ_SUBBANDS] = {};

    /* The rows of the subband that covers exactly this rectangle, or null. */
    const uint8_t *find(int x, int y, int lenx, int leny) const;
    /* Zeros into the zero rows of the image (width floats a row) of an
     * unwritten subband that covers exactly this rectangle; nothing for
     * any other rectangle. */
    void clear_unwritten(float *image, int width, int x, int y, int lenx, int leny) const;
};

/* Coded subbands that the synthesis dequantizes itself, a few rows at a
 * time as it reads them, instead of from the float image: this saves
 * writing them out and reading them back. The coefficients (count of
 * them, as the block decode left them) must stay as they are while the
 * synthesis runs. Which subbands (bit i: subband i) is for the caller to
 * choose, and for the synthesis to take up or to write into the image
 * first (fill). */
struct WsqLazySubbands {
    WsqLazySubbands(const WsqQuantTable *quant, const WsqQuantTree *tree, const int16_t *coefficients,
                    size_t count, uint64_t subbands);

    ~WsqLazySubbands() { release(); }
    WsqLazySubbands(const WsqLazySubbands &) = delete;
    WsqLazySubbands &operator=(const WsqLazySubbands &) = delete;

    const WsqQuantTable *quant;
    const WsqQuantTree *tree;
    const int16_t *coefficients;
    size_t count;
    uint64_t subbands;
    size_t start[WSQ_CODED_SUBBANDS]; /* where each coded subband's coefficients start */
    /* The coefficients, when this owns them (malloc'd): released by the
     * synthesis as soon as it is done with them, else on destruction. */
    int16_t *owned = nullptr;

    /* Frees owned coefficients; nothing may be read after it. */
    void release();

    /* Rows r0..r1-1 of subband i, row r to out + (r - r0) * pitch, each as
     * wsq_dequantize_subbands writes it; rows where skip[r] is nonzero
     * (skip may be null) are left alone. */
    void rows(int i, int r0, int r1, float *out, ptrdiff_t pitch, const uint8_t *skip = nullptr) const;
    /* Every row of every subband in the set into the image (width floats
     * a row), for a synthesis that cannot read them lazily. */
    void fill(float *image, int width) const;
};

/* From how many pixels up a decode has the synthesis read subbands lazily:
 * by default, where the float image is a very large buffer, which no cache
 * holds; for smaller ones, writing the subbands out and reading them back
 * costs less than the windows. Tests may move it; the setter returns the
 * previous bound. */
size_t wsq_lazy_pixels();
size_t wsq_set_lazy_pixels(size_t pixels);

/* Subbands first..end-1 into an image of tiling subbands (every sample of
 * them written, zeros where nothing is coded), over `threads` threads, as
 * wsq_dequantize writes them; quant must be defined. For a decode that
 * dequantizes part of the image early. With zero_rows, also marks the rows
 * of those subbands that came out all zero. With leave_uncoded, the
 * subbands from WSQ_CODED_SUBBANDS on are not written (their rows are still
 * marked), for a synthesis told so (WSQ_FOURTH_UNWRITTEN); with zero_rows,
 * neither are the zero rows of the coded ones from leave_zero_rows_from
 * on, which zero_rows then lists as unwritten. Subbands whose bit is set
 * in done (bit i: subband i) are already written and left as they are;
 * those set in scan_only (lazy ones) only have their zero rows marked,
 * and nothing is written for them. */
void wsq_dequantize_subbands(const WsqQuantTable *quant, const WsqQuantTree *tree, const int16_t *coefficients,
                             int width, int height, float *image, int first, int end, int threads,
                             WsqZeroRows *zero_rows = nullptr, bool leave_uncoded = false,
                             int leave_zero_rows_from = WSQ_SUBBANDS, uint64_t done = 0,
                             uint64_t scan_only = 0);

/* One coefficient, with the exact precision the format prescribes. */
float wsq_dequantize_value(int16_t e, float bin_center, float bin_width, float zero_bin_width);

#endif /* WSQ_DEQUANTIZE_H */
