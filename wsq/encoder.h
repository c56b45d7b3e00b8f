/*
 * encoder.h - internal: the stages of the WSQ encoder (forward wavelet
 * transform, subband statistics and quantization, Huffman code
 * construction, the bit writer with byte stuffing, scaled numbers).
 *
 * Follows the FBI's published WSQ gray-scale fingerprint compression
 * standard; the forward transform is the exact inverse of the
 * decoder's reconstruction over the same 20-node wavelet tree.
 *
 * Included by the encoder's modules and by tests; not installed.
 */
#ifndef WSQ_ENCODER_INTERNAL_H
#define WSQ_ENCODER_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "trees.h"

/* ------------------------------------------------------------------------
 * Filters: the 9/7 biorthogonal analysis pair, each from its centre tap
 * outwards. The transform table stores them in this form (low-pass first);
 * the decoder turns them into its synthesis filters by alternating signs.
 * --------------------------------------------------------------------- */
extern const double wsq_analysis_low[5];   /* taps 0..4 of the 9-tap low-pass */
extern const double wsq_analysis_high[4];  /* taps 0..3 of the 7-tap high-pass */

/* Analyses `lines` lines of n samples each (pitch between line starts,
 * stride between samples, both in floats; src and dest use the same
 * layout and must not overlap). The low band (ceil(n/2) samples) is
 * written first and the high band (floor(n/2)) after it, or the other way
 * round when invert is set. The signal is extended symmetrically about its
 * first and last samples. */
void wsq_analyze_lines(float *dest, const float *src, int lines, int n, ptrdiff_t pitch,
                       ptrdiff_t stride, int invert);

/* The forward transform, in place, over the wavelet tree's nodes 0..19
 * (rows, then columns, of each). Uses a scratch of width * height floats. */
void wsq_forward_transform(float *image, int width, int height, const WsqWaveletTree *tree);

/* ------------------------------------------------------------------------
 * Scaled numbers: value = v / 10^scale.
 * --------------------------------------------------------------------- */
struct WsqScaled {
    uint32_t value;
    uint8_t scale;
};

/* The most precise (value, scale) pair with value <= max_value for a
 * non-negative x (scale at most 20; 0 gives 0/0). */
WsqScaled wsq_to_scaled(double x, uint32_t max_value);

/* ------------------------------------------------------------------------
 * Quantization
 * --------------------------------------------------------------------- */

/* Variance of subband coefficients over the subband's central region
 * (the FBI WSQ standard's window: 1/8 of the width off each side, 9/32 of the height
 * off the top and 7/32 off the bottom), unbiased; the whole subband when
 * that window is empty, 0 for fewer than two samples. */
double wsq_subband_variance(const float *image, int width, const WsqQuantNode *node);

/* Quantizes one coefficient with bin width q and zero-bin width z (q > 0),
 * clamped to +-32767. */
int wsq_quantize(float a, float q, float z);

/* ------------------------------------------------------------------------
 * Entropy coding
 * --------------------------------------------------------------------- */

/* Symbol statistics of a run of quantized coefficients. */
struct WsqSymbolCounts {
    uint32_t freq[256];
    uint64_t raw_bits; /* escape bits that follow the codes */
};

/* Adds the symbols of coefficients[0..count) (zeros as runs) to counts. */
void wsq_count_symbols(const int16_t *coefficients, size_t count, WsqSymbolCounts *counts);

/* A Huffman table in the stored form plus each symbol's code. */
struct WsqHuffmanCode {
    uint8_t code_counts[16];   /* [i]: codes of length i + 1 */
    uint8_t values[256];       /* symbols in code order */
    int value_count;
    uint8_t length[256];       /* code length per symbol, 0 when unused */
    uint16_t code[256];
};

/* Optimal prefix code for the frequencies, no code longer than 16 bits and
 * no code made of 1 bits only (so padding with 1 bits never completes a
 * code). A table with no symbols gets one dummy code. */
void wsq_build_huffman_code(const uint32_t freq[256], WsqHuffmanCode *code);

/* Code bits for counts under code (no raw bits, no padding). */
uint64_t wsq_coded_bits(const WsqSymbolCounts *counts, const WsqHuffmanCode *code);

/* MSB-first bit writer into a byte vector with 0xFF 0x00 stuffing. */
struct WsqBitWriter {
    std::vector<uint8_t> *out;
    uint32_t acc;   /* pending bits, right-aligned */
    int count;      /* number of pending bits (0..7 between calls) */
};

void wsq_bits_put(WsqBitWriter *writer, uint32_t bits, int n); /* n in 1..24 */
/* Pads the last byte with 1 bits. */
void wsq_bits_flush(WsqBitWriter *writer);

/* Writes the coded symbols of coefficients[0..count), then pads to a byte. */
void wsq_encode_coefficients(const int16_t *coefficients, size_t count, const WsqHuffmanCode *code,
                             WsqBitWriter *writer);

#endif /* WSQ_ENCODER_INTERNAL_H */
