/*
 * wsq.h - the WSQ decoding library: load, decode, header and comment
 * queries, NIST comments, the version string and the current image.
 *
 * Conventions
 *   Every function returns an int status: 0 for success, a negative
 *   WSQ_E_* / documented code for failure (callers test for < 0 only; the
 *   same number can mean different things at different stages, see
 *   wsq_status_text). Results come back through out-parameters, which are
 *   left untouched on failure unless said otherwise.
 *
 * Ownership
 *   Buffers returned through out-parameters are allocated with malloc and
 *   belong to the caller, who releases them with free() (pixels, file
 *   buffers, comment copies) or with the matching wsq_*_free call
 *   (name/value lists, images). Input buffers are only read and stay the
 *   caller's. The library keeps no state between calls except the current
 *   image slot (wsq_current_image), which only the slot functions touch.
 *
 * Threads
 *   Everything except the current-image slot is re-entrant: any number of
 *   threads may decode separate (or the same, read-only) buffers at once
 *   through wsq_decode_image. The slot has no lock; use it from one thread.
 */
#ifndef WSQ_WSQ_H
#define WSQ_WSQ_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Status codes. The numbers are fixed by the codec's history; the names
 * say where each is produced. Several numbers are reused by later stages.
 * --------------------------------------------------------------------- */
enum {
    WSQ_OK = 0,
    WSQ_E_SEGMENT = -2,        /* skip past end, Huffman segment length, NIST comment without PPI, ... */
    WSQ_E_NOMEM_3 = -3,        /* Huffman count buffer / name-value list allocation */
    WSQ_E_OPEN_OR_COUNTS = -4, /* file cannot be opened; Huffman counts above 257 */
    WSQ_E_READ_OR_NOMEM = -5,  /* file short read / no memory; Huffman value buffer */
    WSQ_E_WRITE = -6,          /* writers: output cannot be opened or written in full */
    WSQ_E_EMPTY_IMAGE = -11,   /* writers: width or height 0 */
    WSQ_E_IMAGE_ALLOC = -12,   /* decode: coefficient or pixel buffer, or size 2^31 or more */
    WSQ_E_BYTE_AT_END = -39,   /* one-byte read at the end of data */
    WSQ_E_SHORT_DATA = -40,    /* multi-byte read past the end of data */
    WSQ_E_MARKER_IN_BITS = -41,/* marker inside the raw bits of an escape */
    WSQ_E_BLOCK = -51,         /* undefined Huffman table, or too many coefficients */
    WSQ_E_SYMBOL = -52,        /* symbol 0 or 255, or no code within 16 bits */
    WSQ_E_NOT_START = -88,
    WSQ_E_EXPECT_TABLE_FRAME = -89,
    WSQ_E_EXPECT_TABLE_BLOCK = -90,
    WSQ_E_NOT_MARKER = -91,    /* also: dequantization float image not allocated */
    WSQ_E_MARKER_RANGE = -92,  /* also: no quantization table */
    WSQ_E_MARKER_UNKNOWN = -93,
    WSQ_E_LOWPASS = -94,
    WSQ_E_HIGHPASS = -95,      /* also: no transform table read */
    WSQ_E_HIGHHALF = -96,      /* also: high-pass filter not defined */
    WSQ_E_LOWHALF = -97,       /* also: reconstruction scratch not allocated */
    WSQ_E_NO_DATA = -100,      /* query on a null or empty buffer */
    WSQ_E_DEST_SMALL = -112,   /* comment destination too small */
    WSQ_E_PNG = -303,          /* PNG library failure */
    WSQ_E_FILE_TOO_LARGE = -120,  /* file of 2^31 bytes or more */
    WSQ_E_BAD_TABLE = -121,       /* malformed table: Huffman id above 7, filter length 0,
                                     counts that overfill 16-bit codes, unsupported filters */
    WSQ_E_BAD_FRAME = -122,       /* frame header with width or height 0 */
    WSQ_E_TOO_MANY_PIXELS = -123  /* above the caller's pixel limit (tools, viewer) */
};

/* A short plain-English text for a status code (the decoder's meaning where
 * a number is shared); never NULL, never to be freed. */
const char *wsq_status_text(int status);

/* ------------------------------------------------------------------------
 * Decoded images
 * --------------------------------------------------------------------- */
typedef struct GrayImage {
    unsigned char *pixels; /* width*height bytes, row-major, top row first, no padding;
                              owned by whoever owns the GrayImage record */
    int width;
    int height;
    int depth;             /* always 8 */
    int ppi;               /* from the NIST comment, -1 when unknown */
    int lossy;             /* always 1 */
} GrayImage;

/* Frees image->pixels and zeroes the record. NULL is accepted. */
void wsq_free_image(GrayImage *image);

/* ------------------------------------------------------------------------
 * Files
 * --------------------------------------------------------------------- */

/* Size of a file in bytes, 0 when it cannot be opened. Files of 2^31 bytes
 * or more give WSQ_E_FILE_TOO_LARGE (negative) instead of a truncated size.
 * Paths are narrow strings (UTF-8 on Linux). */
int wsq_measure_file(const char *path);

/* Reads a whole file into a new malloc'd buffer. 0, -4 (cannot be opened),
 * -5 (no memory or short read), or a negative measured size. On success the
 * caller owns *buffer and frees it with free(); an empty file gives a
 * non-NULL buffer of length 0. On failure neither output is written. */
int wsq_load_file(const char *path, unsigned char **buffer, int *length);

/* ------------------------------------------------------------------------
 * Decoding
 * --------------------------------------------------------------------- */

/* The re-entrant core: decodes a codestream into *image, which the caller
 * owns afterwards (release with wsq_free_image). Touches no global state.
 * On failure *image is left untouched. The codestream is only read. */
int wsq_decode_image(const unsigned char *data, int length, GrayImage *image);

/* Threads one decode may use, process-wide. 1 (the default) decodes on the
 * calling thread only; 0 means one per core; larger counts are capped at
 * 64. Output bytes never depend on the setting. Returns the previous
 * setting. Safe to call from any thread; decodes already running keep the
 * count they started with. */
int wsq_set_decode_threads(int threads);
/* The count a decode started now would use: at least 1. */
int wsq_decode_threads(void);

/* Decodes and stores the pixels in the current-image slot (any previous
 * pixels there are released first). On success writes the five outputs;
 * on failure writes nothing and leaves the slot as it was. */
int wsq_decode_buffer(int *width, int *height, int *depth, int *ppi, int *lossy,
                      const unsigned char *data, int length);

/* The process-wide current image: pixels owned by the slot. Never NULL. */
GrayImage *wsq_current_image(void);
/* Releases the slot's pixels and zeroes its width and height. */
void wsq_release_current_image(void);

/* ------------------------------------------------------------------------
 * Queries on a codestream held in memory
 * --------------------------------------------------------------------- */

/* Frame-header numbers without decoding. -100 for a null or empty buffer
 * (then all four outputs are 0); other failures leave them untouched. */
int wsq_query_header(const unsigned char *data, int length,
                     int *width, int *height, int *encoder, int *implementation);

/* The last comment before the first block. With dest: copies the text and
 * its terminator if *size is large enough (else -112, nothing copied).
 * Without dest: stores text length + 1 in *size. No comment: returns 0 and
 * touches neither dest nor *size. */
int wsq_query_comment(const unsigned char *data, int length, char *dest, int *size);

/* Resolution from the NIST comment: *ppi = -1 when the file has none. */
int wsq_ppi_from_comment(const unsigned char *data, int length, int *ppi);

/* The parsed "NIST_COM" comment: an ordered list of unique names. */
typedef struct WsqNameValueList {
    int capacity;
    int count;
    char **names;   /* capacity entries; names[i] owned for i < count */
    char **values;  /* capacity entries; values[i] owned or NULL (no value) */
} WsqNameValueList;

/* Finds and parses the first NIST comment before the first block. *list is
 * NULL when there is none; otherwise the caller frees it with wsq_nv_free.
 * list may be NULL to test for presence only. */
int wsq_find_nist_comment(const unsigned char *data, int length, WsqNameValueList **list);
int wsq_parse_name_values(const char *text, WsqNameValueList **list);

int wsq_nv_create(int capacity, WsqNameValueList **list);
int wsq_nv_grow(WsqNameValueList **list, int new_capacity);
int wsq_nv_set(const char *name, const char *value, WsqNameValueList *list);
/* *value is a fresh malloc'd copy (caller frees) or NULL when the pair has no value. */
int wsq_nv_get(const WsqNameValueList *list, const char *name, char **value);
void wsq_nv_free(WsqNameValueList *list);

/* "wsq version 2.3.0.1 - January 8, 2023"; constant, not to be freed. */
const char *wsq_version_string(void);

#ifdef __cplusplus
}
#endif

#endif /* WSQ_WSQ_H */
