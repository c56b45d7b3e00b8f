/*
 * codestream.h - internal: the byte cursor over an in-memory WSQ
 * codestream, markers, and the readers of every segment with the records
 * they fill.
 *
 * Layouts follow the FBI's published WSQ gray-scale fingerprint image
 * compression standard. All integers in the codestream are unsigned big-endian.
 * Every function returns 0 or a negative status code (see wsq.h).
 *
 * Included by the decoder's own modules, by the encoder, by tests and by
 * fuzz harnesses; not part of the installed interface.
 */
#ifndef WSQ_CODESTREAM_H
#define WSQ_CODESTREAM_H

#include <cstddef>
#include <cstdint>

/* ------------------------------------------------------------------------
 * Byte cursor
 * --------------------------------------------------------------------- */

/* Read position over a codestream held in memory. Never owns the bytes.
 * A failed read leaves pos unchanged. */
struct ByteCursor {
    const unsigned char *pos; /* next byte to read */
    const unsigned char *end; /* one past the last byte */
};

inline ByteCursor wsq_cursor(const unsigned char *data, size_t length)
{
    return ByteCursor{data, data + length};
}

int wsq_read_u8(ByteCursor *cursor, uint8_t *value);                 /* -39 at the end */
int wsq_read_bytes(ByteCursor *cursor, void *dest, size_t n);         /* -40 when short */
int wsq_read_u16(ByteCursor *cursor, uint16_t *value);                /* -40 when short */
int wsq_read_u32(ByteCursor *cursor, uint32_t *value);                /* -40 when short */

/* Reads a 16-bit segment length L and moves past the (L - 2) mod 65536
 * bytes that follow; the new position must lie strictly before the end
 * (else -2, with the length consumed). */
int wsq_skip_segment(ByteCursor *cursor);

/* v / 10^scale, computed exactly as the format prescribes: v to float, then
 * scale times a division by 10 in double rounded back to float. */
float wsq_scaled_value(uint32_t value, uint8_t scale);

/* ------------------------------------------------------------------------
 * Markers
 * --------------------------------------------------------------------- */
enum : uint16_t {
    WSQ_MARKER_START = 0xFFA0,
    WSQ_MARKER_END = 0xFFA1,
    WSQ_MARKER_FRAME = 0xFFA2,
    WSQ_MARKER_BLOCK = 0xFFA3,
    WSQ_MARKER_TRANSFORM = 0xFFA4,
    WSQ_MARKER_QUANT = 0xFFA5,
    WSQ_MARKER_HUFFMAN = 0xFFA6,
    WSQ_MARKER_RESERVED = 0xFFA7, /* in range, no reader */
    WSQ_MARKER_COMMENT = 0xFFA8
};

/* Which markers a read accepts. The underlying type is fixed so that any
 * int value can be passed (unknown values are refused with -93). */
enum WsqMarkerExpect : int {
    expect_start = 0,          /* 0xFFA0 only, else -88 */
    expect_table_or_frame = 1, /* A2, A4, A5, A6, A8, else -89 */
    expect_table_or_block = 2, /* A3, A4, A5, A6, A8, else -90 */
    expect_any = 3             /* high byte 0xFF (else -91), A0..A8 (else -92) */
};

/* Reads a 16-bit marker (-40 when short) and checks it against expect.
 * On failure *marker is not written. */
int wsq_read_marker(ByteCursor *cursor, WsqMarkerExpect expect, uint16_t *marker);

/* ------------------------------------------------------------------------
 * Records
 * --------------------------------------------------------------------- */
enum {
    WSQ_HUFFMAN_SLOTS = 8,
    WSQ_MAX_HUFFMAN_VALUES = 257,
    WSQ_SUBBANDS = 64,
    WSQ_CODED_SUBBANDS = 60
};

/* The wavelet synthesis filter pair. Arrays are malloc'd, owned by the
 * record's holder and released with wsq_transform_table_release. */
struct WsqTransformTable {
    float *low_pass;   /* low_pass_length taps (second filter of the segment) */
    float *high_pass;  /* high_pass_length taps (first filter of the segment) */
    uint8_t low_pass_length;
    uint8_t high_pass_length;
    uint8_t low_pass_defined;
    uint8_t high_pass_defined;
};

void wsq_transform_table_init(WsqTransformTable *table);
void wsq_transform_table_release(WsqTransformTable *table);

struct WsqQuantTable {
    float bin_center;
    float bin_width[WSQ_SUBBANDS];      /* 0.0: the subband carries no coefficients */
    float zero_bin_width[WSQ_SUBBANDS];
    uint8_t defined;
};

struct WsqHuffmanTable {
    uint8_t defined;
    uint8_t code_counts[16];                   /* [i]: codes of length i + 1 */
    uint8_t values[WSQ_MAX_HUFFMAN_VALUES];    /* symbols in code order */
};

struct WsqFrameHeader {
    uint8_t black;
    uint8_t white;
    uint16_t width;   /* stored second in the file */
    uint16_t height;  /* stored first in the file */
    float shift;
    float scale;
    uint8_t encoder;
    uint16_t implementation;
};

/* All the tables one decode (or header query) reads, reset together. */
struct WsqTables {
    WsqTransformTable transform;
    WsqQuantTable quant;
    WsqHuffmanTable huffman[WSQ_HUFFMAN_SLOTS];
};

/* Empties the transform table (no free), clears the quantization table and
 * all Huffman slots. */
void wsq_tables_init(WsqTables *tables);

/* ------------------------------------------------------------------------
 * Segment readers: each is called with the cursor just after its marker.
 * --------------------------------------------------------------------- */

/* Dispatches on marker: transform, quantization, Huffman table, or a
 * comment that is read and dropped. Any other marker: -93. */
int wsq_read_table_segment(uint16_t marker, WsqTransformTable *transform,
                           WsqQuantTable *quant, WsqHuffmanTable *huffman,
                           ByteCursor *cursor);

/* Filter lengths of 0 are refused with WSQ_E_BAD_TABLE before anything is
 * allocated. On a failure after the new arrays were made both are freed
 * and left null. */
int wsq_read_transform_table(WsqTransformTable *table, ByteCursor *cursor);
int wsq_read_quant_table(WsqQuantTable *table, ByteCursor *cursor);

/* huffman points at WSQ_HUFFMAN_SLOTS slots. A table id above 7 is refused
 * with WSQ_E_BAD_TABLE. */
int wsq_read_huffman_segment(WsqHuffmanTable *huffman, ByteCursor *cursor);

/* One entry of a Huffman segment. With read_length the segment length is
 * read first and *remaining set to it minus 2. On success *counts (16
 * bytes) and *values (257 zeroed bytes, sum of counts filled) are malloc'd
 * and owned by the caller. */
int wsq_read_huffman_entry(ByteCursor *cursor, int *remaining, bool read_length,
                           uint8_t *id, uint8_t **counts, uint8_t **values);

int wsq_read_frame_header(WsqFrameHeader *header, ByteCursor *cursor);
int wsq_read_block_header(ByteCursor *cursor, uint8_t *huffman_table_id);

/* Comment text as a malloc'd NUL-terminated string owned by the caller.
 * Lengths 0 and 1 are refused with -2. */
int wsq_read_comment_text(ByteCursor *cursor, char **text);

/* Reads the start marker and then tables and comments up to and including
 * the frame header, as the decoder and the header query do. */
int wsq_read_up_to_frame(ByteCursor *cursor, WsqTables *tables, WsqFrameHeader *header);

#endif /* WSQ_CODESTREAM_H */
