/*
 * codestream.cpp - byte cursor, markers and segment readers.
 */
#include "codestream.h"

#include <cstdlib>
#include <cstring>

#include "wsq.h"

/* ------------------------------------------------------------------------
 * Cursor reads
 * --------------------------------------------------------------------- */

int wsq_read_u8(ByteCursor *cursor, uint8_t *value)
{
    if (cursor->pos >= cursor->end)
        return WSQ_E_BYTE_AT_END;
    *value = *cursor->pos++;
    return 0;
}

int wsq_read_bytes(ByteCursor *cursor, void *dest, size_t n)
{
    if (n == 0)
        return 0;
    /* Compare lengths, never form a pointer past the end. */
    if (cursor->pos > cursor->end || n > static_cast<size_t>(cursor->end - cursor->pos))
        return WSQ_E_SHORT_DATA;
    std::memcpy(dest, cursor->pos, n);
    cursor->pos += n;
    return 0;
}

int wsq_read_u16(ByteCursor *cursor, uint16_t *value)
{
    unsigned char b[2];
    int status = wsq_read_bytes(cursor, b, 2);
    if (status)
        return status;
    *value = static_cast<uint16_t>((b[0] << 8) | b[1]);
    return 0;
}

int wsq_read_u32(ByteCursor *cursor, uint32_t *value)
{
    unsigned char b[4];
    int status = wsq_read_bytes(cursor, b, 4);
    if (status)
        return status;
    *value = (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) |
             (static_cast<uint32_t>(b[2]) << 8) | static_cast<uint32_t>(b[3]);
    return 0;
}

int wsq_skip_segment(ByteCursor *cursor)
{
    uint16_t length;
    int status = wsq_read_u16(cursor, &length);
    if (status)
        return status;
    size_t advance = static_cast<uint16_t>(length - 2u);
    if (advance >= static_cast<size_t>(cursor->end - cursor->pos))
        return WSQ_E_SEGMENT;
    cursor->pos += advance;
    return 0;
}

float wsq_scaled_value(uint32_t value, uint8_t scale)
{
    float result = static_cast<float>(value);
    for (unsigned i = 0; i < scale; ++i)
        result = static_cast<float>(static_cast<double>(result) / 10.0);
    return result;
}

/* ------------------------------------------------------------------------
 * Markers
 * --------------------------------------------------------------------- */

static bool is_table_marker(uint16_t m)
{
    return m == WSQ_MARKER_TRANSFORM || m == WSQ_MARKER_QUANT || m == WSQ_MARKER_HUFFMAN ||
           m == WSQ_MARKER_COMMENT;
}

int wsq_read_marker(ByteCursor *cursor, WsqMarkerExpect expect, uint16_t *marker)
{
    uint16_t m;
    int status = wsq_read_u16(cursor, &m);
    if (status)
        return status;
    switch (expect) {
    case expect_start:
        status = m == WSQ_MARKER_START ? 0 : WSQ_E_NOT_START;
        break;
    case expect_table_or_frame:
        status = (m == WSQ_MARKER_FRAME || is_table_marker(m)) ? 0 : WSQ_E_EXPECT_TABLE_FRAME;
        break;
    case expect_table_or_block:
        status = (m == WSQ_MARKER_BLOCK || is_table_marker(m)) ? 0 : WSQ_E_EXPECT_TABLE_BLOCK;
        break;
    case expect_any:
        if ((m >> 8) != 0xFF)
            status = WSQ_E_NOT_MARKER;
        else if (m < WSQ_MARKER_START || m > WSQ_MARKER_COMMENT)
            status = WSQ_E_MARKER_RANGE;
        break;
    default:
        status = WSQ_E_MARKER_UNKNOWN;
        break;
    }
    /* On a refusal the marker bytes stay consumed (callers give up on any
     * failure); only the value is withheld. */
    if (status)
        return status;
    *marker = m;
    return 0;
}

/* ------------------------------------------------------------------------
 * Records
 * --------------------------------------------------------------------- */

void wsq_transform_table_init(WsqTransformTable *table)
{
    std::memset(table, 0, sizeof *table);
}

void wsq_transform_table_release(WsqTransformTable *table)
{
    std::free(table->low_pass);
    table->low_pass = nullptr;
    std::free(table->high_pass);
    table->high_pass = nullptr;
}

void wsq_tables_init(WsqTables *tables)
{
    wsq_transform_table_init(&tables->transform);
    std::memset(&tables->quant, 0, sizeof tables->quant);
    std::memset(tables->huffman, 0, sizeof tables->huffman);
}

/* ------------------------------------------------------------------------
 * Segment readers
 * --------------------------------------------------------------------- */

int wsq_read_table_segment(uint16_t marker, WsqTransformTable *transform, WsqQuantTable *quant,
                           WsqHuffmanTable *huffman, ByteCursor *cursor)
{
    switch (marker) {
    case WSQ_MARKER_TRANSFORM:
        return wsq_read_transform_table(transform, cursor);
    case WSQ_MARKER_QUANT:
        return wsq_read_quant_table(quant, cursor);
    case WSQ_MARKER_HUFFMAN:
        return wsq_read_huffman_segment(huffman, cursor);
    case WSQ_MARKER_COMMENT: {
        char *text = nullptr;
        int status = wsq_read_comment_text(cursor, &text);
        std::free(text);
        return status;
    }
    default:
        return WSQ_E_MARKER_UNKNOWN;
    }
}

/* One transform coefficient record: sign byte, scale byte, 32-bit value. */
static int read_coefficient(ByteCursor *cursor, float *t)
{
    unsigned char record[6];
    int status = wsq_read_bytes(cursor, record, sizeof record);
    if (status)
        return status;
    uint32_t v = (static_cast<uint32_t>(record[2]) << 24) | (static_cast<uint32_t>(record[3]) << 16) |
                 (static_cast<uint32_t>(record[4]) << 8) | static_cast<uint32_t>(record[5]);
    float value = wsq_scaled_value(v, record[1]);
    if (record[0] != 0)
        value = static_cast<float>(static_cast<double>(value) * -1.0);
    *t = value;
    return 0;
}

/* Alternating sign counted from the middle tap, as a float factor. */
static float alternating_sign(int i)
{
    return static_cast<float>(i % 2 == 0 ? 1 : -1);
}

int wsq_read_transform_table(WsqTransformTable *table, ByteCursor *cursor)
{
    uint16_t length;
    uint8_t hsz, lsz;
    int status = wsq_read_u16(cursor, &length);
    if (status)
        return status;
    if ((status = wsq_read_u8(cursor, &hsz)) != 0)
        return status;
    if ((status = wsq_read_u8(cursor, &lsz)) != 0)
        return status;
    /* A filter of no taps cannot be laid out from its half. */
    if (hsz == 0 || lsz == 0)
        return WSQ_E_BAD_TABLE;

    std::free(table->low_pass);
    table->low_pass = static_cast<float *>(std::calloc(lsz, sizeof(float)));
    if (!table->low_pass)
        return WSQ_E_LOWPASS;
    std::free(table->high_pass);
    table->high_pass = static_cast<float *>(std::calloc(hsz, sizeof(float)));
    if (!table->high_pass) {
        wsq_transform_table_release(table);
        return WSQ_E_HIGHPASS;
    }
    table->low_pass_length = lsz;
    table->high_pass_length = hsz;
    float *hi = table->high_pass;
    float *lo = table->low_pass;

    /* High-pass half. */
    {
        int h = (hsz + 1) / 2, m = h - 1;
        float *half = static_cast<float *>(std::calloc(static_cast<size_t>(h), sizeof(float)));
        if (!half) {
            wsq_transform_table_release(table);
            return WSQ_E_HIGHHALF;
        }
        for (int i = 0; i < h; ++i) {
            if ((status = read_coefficient(cursor, &half[i])) != 0) {
                std::free(half);
                wsq_transform_table_release(table);
                return status;
            }
            if (hsz % 2 == 1) {
                hi[m + i] = alternating_sign(i) * half[i];
                if (i > 0)
                    hi[m - i] = hi[m + i];
            } else {
                hi[m + i + 1] = alternating_sign(i) * half[i];
                hi[m - i] = -hi[m + i + 1];
            }
        }
        std::free(half);
    }

    /* Low-pass half. */
    {
        int h = (lsz + 1) / 2, m = h - 1;
        float *half = static_cast<float *>(std::calloc(static_cast<size_t>(h), sizeof(float)));
        if (!half) {
            wsq_transform_table_release(table);
            return WSQ_E_LOWHALF;
        }
        for (int j = 0; j < h; ++j) {
            if ((status = read_coefficient(cursor, &half[j])) != 0) {
                std::free(half);
                wsq_transform_table_release(table);
                return status;
            }
            if (lsz % 2 == 1) {
                lo[m + j] = alternating_sign(j) * half[j];
                if (j > 0)
                    lo[m - j] = lo[m + j];
            } else {
                lo[m + j + 1] = alternating_sign(j + 1) * half[j];
                lo[m - j] = lo[m + j + 1];
            }
        }
        std::free(half);
    }

    table->low_pass_defined = 1;
    table->high_pass_defined = 1;
    return 0;
}

static int read_scaled16(ByteCursor *cursor, float *out)
{
    uint8_t scale;
    uint16_t value;
    int status = wsq_read_u8(cursor, &scale);
    if (status)
        return status;
    if ((status = wsq_read_u16(cursor, &value)) != 0)
        return status;
    *out = wsq_scaled_value(value, scale);
    return 0;
}

int wsq_read_quant_table(WsqQuantTable *table, ByteCursor *cursor)
{
    uint16_t length;
    int status = wsq_read_u16(cursor, &length);
    if (status)
        return status;
    if ((status = read_scaled16(cursor, &table->bin_center)) != 0)
        return status;
    for (int k = 0; k < WSQ_SUBBANDS; ++k) {
        if ((status = read_scaled16(cursor, &table->bin_width[k])) != 0)
            return status;
        if ((status = read_scaled16(cursor, &table->zero_bin_width[k])) != 0)
            return status;
    }
    table->defined = 1;
    return 0;
}

int wsq_read_huffman_entry(ByteCursor *cursor, int *remaining, bool read_length, uint8_t *id,
                           uint8_t **counts, uint8_t **values)
{
    int status;
    if (read_length) {
        uint16_t length;
        if ((status = wsq_read_u16(cursor, &length)) != 0)
            return status;
        *remaining = static_cast<int>(length) - 2;
    }
    if (*remaining <= 0)
        return WSQ_E_SEGMENT;

    uint8_t table_id;
    if ((status = wsq_read_u8(cursor, &table_id)) != 0)
        return status;
    *remaining -= 1;
    /* Only eight slots exist. */
    if (table_id >= WSQ_HUFFMAN_SLOTS)
        return WSQ_E_BAD_TABLE;

    uint8_t *c = static_cast<uint8_t *>(std::malloc(16));
    if (!c)
        return WSQ_E_NOMEM_3;
    if ((status = wsq_read_bytes(cursor, c, 16)) != 0) {
        std::free(c);
        return status;
    }
    unsigned sum = 0;
    for (int i = 0; i < 16; ++i)
        sum += c[i];
    *remaining -= 16;
    if (sum > WSQ_MAX_HUFFMAN_VALUES) {
        std::free(c);
        return WSQ_E_OPEN_OR_COUNTS;
    }
    uint8_t *v = static_cast<uint8_t *>(std::calloc(WSQ_MAX_HUFFMAN_VALUES, 1));
    if (!v) {
        std::free(c);
        return WSQ_E_READ_OR_NOMEM;
    }
    if ((status = wsq_read_bytes(cursor, v, sum)) != 0) {
        std::free(c);
        std::free(v);
        return status;
    }
    *remaining -= static_cast<int>(sum);
    *id = table_id;
    *counts = c;
    *values = v;
    return 0;
}

static void store_huffman(WsqHuffmanTable *slot, uint8_t *counts, uint8_t *values)
{
    slot->defined = 1;
    std::memcpy(slot->code_counts, counts, 16);
    std::memcpy(slot->values, values, WSQ_MAX_HUFFMAN_VALUES);
    std::free(counts);
    std::free(values);
}

int wsq_read_huffman_segment(WsqHuffmanTable *huffman, ByteCursor *cursor)
{
    int remaining = 0;
    uint8_t id;
    uint8_t *counts, *values;
    int status = wsq_read_huffman_entry(cursor, &remaining, true, &id, &counts, &values);
    if (status)
        return status;
    /* The first table of a segment may replace an existing one. */
    store_huffman(&huffman[id], counts, values);
    while (remaining != 0) {
        if ((status = wsq_read_huffman_entry(cursor, &remaining, false, &id, &counts, &values)) != 0)
            return status;
        /* Further tables of the same segment must fill empty slots. */
        if (huffman[id].defined) {
            std::free(counts);
            std::free(values);
            return WSQ_E_SEGMENT;
        }
        store_huffman(&huffman[id], counts, values);
    }
    return 0;
}

int wsq_read_frame_header(WsqFrameHeader *header, ByteCursor *cursor)
{
    uint16_t length;
    int status;
    if ((status = wsq_read_u16(cursor, &length)) != 0)
        return status;
    if ((status = wsq_read_u8(cursor, &header->black)) != 0)
        return status;
    if ((status = wsq_read_u8(cursor, &header->white)) != 0)
        return status;
    if ((status = wsq_read_u16(cursor, &header->height)) != 0)
        return status;
    if ((status = wsq_read_u16(cursor, &header->width)) != 0)
        return status;
    if ((status = read_scaled16(cursor, &header->shift)) != 0)
        return status;
    if ((status = read_scaled16(cursor, &header->scale)) != 0)
        return status;
    if ((status = wsq_read_u8(cursor, &header->encoder)) != 0)
        return status;
    return wsq_read_u16(cursor, &header->implementation);
}

int wsq_read_block_header(ByteCursor *cursor, uint8_t *huffman_table_id)
{
    uint16_t length;
    int status = wsq_read_u16(cursor, &length);
    if (status)
        return status;
    return wsq_read_u8(cursor, huffman_table_id);
}

int wsq_read_comment_text(ByteCursor *cursor, char **text)
{
    uint16_t length;
    int status = wsq_read_u16(cursor, &length);
    if (status)
        return status;
    /* The length counts itself: 0 and 1 cannot be. */
    if (length < 2)
        return WSQ_E_SEGMENT;
    char *buffer = static_cast<char *>(std::calloc(static_cast<size_t>(length) - 1, 1));
    if (!buffer)
        return WSQ_E_SEGMENT;
    if ((status = wsq_read_bytes(cursor, buffer, static_cast<size_t>(length) - 2)) != 0) {
        std::free(buffer);
        return status;
    }
    *text = buffer;
    return 0;
}

int wsq_read_up_to_frame(ByteCursor *cursor, WsqTables *tables, WsqFrameHeader *header)
{
    uint16_t marker;
    int status = wsq_read_marker(cursor, expect_start, &marker);
    if (status)
        return status;
    for (;;) {
        if ((status = wsq_read_marker(cursor, expect_table_or_frame, &marker)) != 0)
            return status;
        if (marker == WSQ_MARKER_FRAME)
            break;
        status = wsq_read_table_segment(marker, &tables->transform, &tables->quant,
                                        tables->huffman, cursor);
        if (status)
            return status;
    }
    return wsq_read_frame_header(header, cursor);
}
