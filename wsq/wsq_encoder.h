/*
 * wsq_encoder.h - the WSQ encoder (9/7 wavelet, scalar quantization,
 * Huffman coding), producing codestreams that wsq_decode_image reads.
 *
 * Ownership: the caller owns the pixels it passes (only read) and the
 * codestream returned in *out (malloc'd; release with free()).
 */
#ifndef WSQ_ENCODER_H
#define WSQ_ENCODER_H

#include "wsq.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct WsqEncodeParams {
    float bitrate;        /* target bits per pixel; <= 0 means the default 0.75 */
    int ppi;              /* pixels per inch, or -1 when unknown */
    const char *comment;  /* optional extra comment segment, or NULL */
    int encoder;          /* frame header encoder number (8-bit) */
    int implementation;   /* frame header implementation number (16-bit) */
} WsqEncodeParams;

/* Fills params with the defaults: 0.75 bpp, ppi -1, no comment, encoder 2,
 * implementation 0. */
void wsq_encode_default_params(WsqEncodeParams *params);

/* Encodes a width x height 8-bit gray image (row-major, top row first, no
 * padding). On success *out/*out_length hold the codestream and, when
 * achieved_bitrate is not NULL, it receives the bits per pixel reached. */
int wsq_encode(const unsigned char *pixels, int width, int height,
               const WsqEncodeParams *params,
               unsigned char **out, int *out_length, float *achieved_bitrate);

#ifdef __cplusplus
}
#endif

#endif /* WSQ_ENCODER_H */
