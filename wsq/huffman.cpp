/*
 * huffman.cpp - Huffman tables, bit reader and the block loop.
 */
#include "huffman.h"

#include <climits>
#include <cstdlib>

#include "wsq.h"

int wsq_huffman_build_sizes(const uint8_t code_counts[16], WsqHuffmanSize **sizes, int *code_count)
{
    auto *list = static_cast<WsqHuffmanSize *>(
        std::calloc(WSQ_MAX_HUFFMAN_VALUES + 1, sizeof(WsqHuffmanSize)));
    if (!list)
        return WSQ_E_SEGMENT;
    int k = 0;
    for (int l = 1; l <= 16; ++l) {
        for (int i = 0; i < code_counts[l - 1] && k < WSQ_MAX_HUFFMAN_VALUES; ++i) {
            list[k].length = static_cast<uint16_t>(l);
            list[k].code = 0;
            ++k;
        }
    }
    list[k].length = 0; /* terminator */
    *sizes = list;
    *code_count = k;
    return 0;
}

int wsq_huffman_build_codes(WsqHuffmanSize *sizes)
{
    /* A table without codes has nothing to number. */
    if (sizes[0].length == 0)
        return 0;
    uint32_t code = 0;
    unsigned size = sizes[0].length;
    for (int k = 0;; ) {
        while (sizes[k].length == size) {
            /* A code of `size` bits must fit in `size` bits. */
            if (code >= (1u << size))
                return WSQ_E_BAD_TABLE;
            sizes[k].code = static_cast<uint16_t>(code);
            ++code;
            ++k;
        }
        if (sizes[k].length == 0)
            return 0;
        while (size < sizes[k].length) {
            code <<= 1;
            ++size;
        }
    }
}

void wsq_huffman_build_decoder(const WsqHuffmanSize *sizes, const uint8_t code_counts[16],
                               WsqHuffmanDecoder *decoder)
{
    decoder->max_code[0] = 0;
    decoder->min_code[0] = 0;
    decoder->first_index[0] = 0;
    int k = 0;
    for (int l = 1; l <= 16; ++l) {
        int n = code_counts[l - 1];
        if (n == 0) {
            decoder->max_code[l] = -1;
            decoder->min_code[l] = 0;
            decoder->first_index[l] = 0;
            continue;
        }
        decoder->first_index[l] = k;
        decoder->min_code[l] = sizes[k].code;
        k += n;
        decoder->max_code[l] = sizes[k - 1].code;
    }
}

/* Fetches the next byte into current, handling a stuffed 0xFF 0x00 pair.
 * Returns 1 when the bytes form a marker (stored in *marker). */
static int fetch_byte(WsqBitReader *reader, uint16_t *marker, int *status)
{
    *status = wsq_read_u8(reader->cursor, &reader->current);
    if (*status)
        return 0;
    reader->bits_left = 8;
    if (reader->current != 0xFF)
        return 0;
    *status = wsq_read_u8(reader->cursor, &reader->after_ff);
    if (*status)
        return 0;
    if (reader->after_ff == 0x00)
        return 0; /* stuffed: the 0xFF is data */
    *marker = static_cast<uint16_t>(0xFF00 | reader->after_ff);
    return 1;
}

int wsq_read_bits(WsqBitReader *reader, int n, uint16_t *marker, uint16_t *bits)
{
    uint32_t result = 0;
    int need = n;
    while (need > 0) {
        if (reader->bits_left == 0) {
            uint16_t found = 0;
            int status;
            if (fetch_byte(reader, &found, &status)) {
                if (n == 1) {
                    *marker = found;
                    *bits = 0;
                    return 0;
                }
                return WSQ_E_MARKER_IN_BITS;
            }
            if (status)
                return status;
        }
        int take = need < reader->bits_left ? need : reader->bits_left;
        int keep = reader->bits_left - take;
        result = (result << take) | ((reader->current >> keep) & ((1u << take) - 1u));
        reader->bits_left = keep;
        reader->current = static_cast<uint8_t>(reader->current & ((1u << keep) - 1u));
        need -= take;
    }
    *bits = static_cast<uint16_t>(result);
    return 0;
}

int wsq_decode_symbol(const WsqHuffmanDecoder *decoder, const uint8_t *values, WsqBitReader *reader,
                      int *symbol)
{
    uint16_t bit;
    reader->marker = 0;
    int status = wsq_read_bits(reader, 1, &reader->marker, &bit);
    if (status)
        return status;
    if (reader->marker) {
        *symbol = -1;
        return 0;
    }
    int32_t code = bit;
    int l = 1;
    while (code > decoder->max_code[l]) {
        /* The arrays cover lengths 1 to 16 only. */
        if (l == 16)
            return WSQ_E_SYMBOL;
        if ((status = wsq_read_bits(reader, 1, &reader->marker, &bit)) != 0)
            return status;
        if (reader->marker) {
            *symbol = -1;
            return 0;
        }
        code = static_cast<int32_t>(static_cast<uint16_t>((code << 1) | bit));
        ++l;
    }
    int32_t index = decoder->first_index[l] + code - decoder->min_code[l];
    if (index < 0 || index >= WSQ_MAX_HUFFMAN_VALUES)
        return WSQ_E_SYMBOL;
    *symbol = values[index];
    return 0;
}

/* Builds the decoding arrays for one block's table. */
static int prepare_decoder(const WsqHuffmanTable *table, WsqHuffmanDecoder *decoder)
{
    WsqHuffmanSize *sizes = nullptr;
    int code_count = 0;
    int status = wsq_huffman_build_sizes(table->code_counts, &sizes, &code_count);
    if (status)
        return status;
    status = wsq_huffman_build_codes(sizes);
    if (status == 0)
        wsq_huffman_build_decoder(sizes, table->code_counts, decoder);
    std::free(sizes);
    return status;
}

int wsq_decode_blocks(int16_t *coefficients, WsqTransformTable *transform, WsqQuantTable *quant,
                      WsqHuffmanTable *huffman, ByteCursor *cursor, const WsqQuantTree *quant_tree,
                      int width, int height)
{
    const int64_t total = static_cast<int64_t>(width) * height;
    if (width < 0 || height < 0 || total > INT_MAX)
        return WSQ_E_IMAGE_ALLOC;

    uint16_t marker;
    int status = wsq_read_marker(cursor, expect_table_or_block, &marker);
    if (status)
        return status;

    int64_t count = 0;
    int64_t expected = total; /* N: an upper bound on the coefficients coded */
    int blocks = 0;
    bool adjusted = false;
    bool pending = true;
    WsqHuffmanDecoder decoder{};
    const uint8_t *values = nullptr;
    WsqBitReader reader{cursor, 0, 0, 0, 0};

    for (;;) {
        if (pending) {
            ++blocks;
            while (marker != WSQ_MARKER_BLOCK) {
                status = wsq_read_table_segment(marker, transform, quant, huffman, cursor);
                if (status)
                    return status;
                if ((status = wsq_read_marker(cursor, expect_table_or_block, &marker)) != 0)
                    return status;
            }
            if (!adjusted && quant->defined) {
                /* Subbands of bin width 0 carry no coefficients. */
                for (int i = 0; i < WSQ_SUBBANDS; ++i) {
                    if (quant->bin_width[i] == 0.0f)
                        expected -= static_cast<int64_t>(quant_tree->nodes[i].lenx) *
                                    quant_tree->nodes[i].leny;
                }
                adjusted = true;
            }
            uint8_t id;
            if ((status = wsq_read_block_header(cursor, &id)) != 0)
                return status;
            if (id >= WSQ_HUFFMAN_SLOTS || !huffman[id].defined)
                return WSQ_E_BLOCK;
            if ((status = prepare_decoder(&huffman[id], &decoder)) != 0)
                return status;
            values = huffman[id].values;
            /* Each block starts on a byte boundary. */
            reader.marker = 0;
            reader.bits_left = 0;
            pending = false;
        }

        int symbol;
        if ((status = wsq_decode_symbol(&decoder, values, &reader, &symbol)) != 0)
            return status;

        if (symbol == -1) {
            marker = reader.marker;
            /* Comments may follow the third block's data. */
            if (marker == WSQ_MARKER_COMMENT && blocks == 3) {
                do {
                    status = wsq_read_table_segment(marker, transform, quant, huffman, cursor);
                    if (status)
                        return status;
                    if ((status = wsq_read_marker(cursor, expect_any, &marker)) != 0)
                        return status;
                } while (marker == WSQ_MARKER_COMMENT);
            }
            if (marker == WSQ_MARKER_END)
                return 0;
            pending = true;
            continue;
        }

        if (count > expected)
            return WSQ_E_BLOCK;

        int64_t run = -1;   /* zero run length, or -1 for a single coefficient */
        int value = 0;
        uint16_t raw;
        if (symbol >= 1 && symbol <= 100) {
            run = symbol;
        } else if (symbol == 101 || symbol == 102 || symbol == 105) {
            if ((status = wsq_read_bits(&reader, 8, &reader.marker, &raw)) != 0)
                return status;
            if (symbol == 105)
                run = raw;
            else
                value = symbol == 101 ? raw : -static_cast<int>(raw);
        } else if (symbol == 103 || symbol == 104 || symbol == 106) {
            if ((status = wsq_read_bits(&reader, 16, &reader.marker, &raw)) != 0)
                return status;
            if (symbol == 106)
                run = raw;
            else if (symbol == 103)
                value = static_cast<int16_t>(raw);
            else
                value = static_cast<int16_t>(static_cast<uint16_t>(0u - raw));
        } else if (symbol >= 107 && symbol <= 254) {
            value = symbol - 180;
        } else {
            return WSQ_E_SYMBOL; /* 0 and 255 are not in the alphabet */
        }

        if (run >= 0) {
            if (count + run > expected)
                return WSQ_E_BLOCK;
            for (int64_t i = 0; i < run; ++i)
                coefficients[count + i] = 0;
            count += run;
        } else {
            if (count >= total)
                return WSQ_E_BLOCK;
            coefficients[count++] = static_cast<int16_t>(value);
        }
    }
}
