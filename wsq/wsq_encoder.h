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

/* Encoder limits and status codes (beside WSQ_E_NO_DATA for a null pixel
 * or output pointer and WSQ_E_READ_OR_NOMEM when memory runs out). */
enum {
    WSQ_ENCODE_MIN_SIZE = 1,         /* smallest width and height */
    WSQ_ENCODE_MAX_PIXELS = 0x40000000, /* width * height at most 2^30 */
    WSQ_E_ENCODE_SIZE = -130,        /* width or height outside 1..65535, too many pixels */
    WSQ_E_ENCODE_PARAMS = -131       /* bit rate, ppi, encoder numbers or comment out of range */
};

/* Highest target bit rate accepted (bits per pixel). */
#define WSQ_ENCODE_MAX_BITRATE 8.0f

typedef struct WsqEncodeParams {
    float bitrate;        /* target bits per pixel; <= 0 means the default 0.75 */
    int ppi;              /* pixels per inch (1..1000000), or -1 when unknown */
    const char *comment;  /* optional extra comment segment (at most 65533 bytes),
                             written after the NIST comment, or NULL */
    int encoder;          /* frame header encoder number (0..255) */
    int implementation;   /* frame header implementation number (0..65535) */
} WsqEncodeParams;

/* Fills params with the defaults: 0.75 bpp, ppi -1, no comment, encoder 2,
 * implementation 0. */
void wsq_encode_default_params(WsqEncodeParams *params);

/* Encodes a width x height 8-bit gray image (row-major, top row first, no
 * padding); params NULL means the defaults. The quantizer is tuned so that
 * the whole file comes as close as it can to the target size (bit rate
 * x pixels / 8 bytes). On success *out and *out_length hold the
 * codestream and, when achieved_bitrate is not NULL, it receives the bits
 * per pixel reached (8 x file bytes / pixels). On failure nothing is
 * written. Deterministic: the same input gives the same bytes. */
int wsq_encode(const unsigned char *pixels, int width, int height,
               const WsqEncodeParams *params,
               unsigned char **out, int *out_length, float *achieved_bitrate);

#ifdef __cplusplus
}
#endif

#endif /* WSQ_ENCODER_H */
