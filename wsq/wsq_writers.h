/*
 * wsq_writers.h - PGM, BMP and PNG writers for 8-bit gray images.
 *
 * Each writer takes the image as a parameter (the current image from
 * wsq_current_image(), or one decoded by wsq_decode_image) and only reads
 * it. Paths are narrow strings (UTF-8 on Linux).
 *
 * Status: 0 written; -11 (WSQ_E_EMPTY_IMAGE) width or height 0, no file
 * touched; -6 (WSQ_E_WRITE) the file cannot be opened or was not written in
 * full; -303 (WSQ_E_PNG) the PNG library failed, no file touched.
 */
#ifndef WSQ_WRITERS_H
#define WSQ_WRITERS_H

#include "wsq.h"

#ifdef __cplusplus
extern "C" {
#endif

int wsq_save_pgm(const GrayImage *image, const char *path);
int wsq_save_bmp(const GrayImage *image, const char *path);
int wsq_save_png(const GrayImage *image, const char *path);

/* Writes length bytes to path (binary, truncating). 0 or -6. */
int wsq_save_buffer(const char *path, const unsigned char *bytes, size_t length);

/* Little-endian stores into out[0..1] / out[0..3]; negatives in two's complement. */
void wsq_put_le16(int value, unsigned char *out);
void wsq_put_le32(int value, unsigned char *out);

/* In-memory forms of the same files, for callers that write elsewhere
 * (standard output, the clipboard). *out is malloc'd and owned by the
 * caller (free()); *out_length its size. Same status codes, never -6. */
int wsq_encode_pgm(const GrayImage *image, unsigned char **out, size_t *out_length);
int wsq_encode_bmp(const GrayImage *image, unsigned char **out, size_t *out_length);
int wsq_encode_png(const GrayImage *image, unsigned char **out, size_t *out_length);

#ifdef __cplusplus
}
#endif

#endif /* WSQ_WRITERS_H */
