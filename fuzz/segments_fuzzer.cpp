/*
 * segments_fuzzer.cpp - the codestream readers of codestream.h through one
 * cursor over arbitrary bytes. The first byte picks the mode:
 *   even: the order of a real codestream (start marker, tables up to the
 *         frame header, then tables and block headers, each block's coded
 *         data skipped up to the next marker);
 *   odd:  each following byte picks the next reader to call, whatever the
 *         state, so that readers also meet each other's leftovers.
 * After every call: the cursor stays inside the data, a failed primitive
 * read leaves it where it was, the transform table is either whole or
 * empty, and every defined Huffman slot holds at most 257 codes.
 */
#include <cstring>

#include "codestream.h"
#include "fuzz_check.h"
#include "wsq.h"

namespace {

struct State {
    const uint8_t *begin;
    ByteCursor cursor;
    WsqTables tables;
    WsqFrameHeader frame{};
};

void check_state(const State &s)
{
    FUZZ_CHECK(s.cursor.pos >= s.begin && s.cursor.pos <= s.cursor.end);
    const WsqTransformTable &t = s.tables.transform;
    FUZZ_CHECK((t.low_pass == nullptr) == (t.high_pass == nullptr));
    if (t.low_pass) {
        FUZZ_CHECK(t.low_pass_length > 0 && t.high_pass_length > 0);
        /* Reading every tap shows a short array under ASan. */
        volatile float sum = 0.0f;
        for (int i = 0; i < t.low_pass_length; ++i)
            sum = sum + t.low_pass[i];
        for (int i = 0; i < t.high_pass_length; ++i)
            sum = sum + t.high_pass[i];
    }
    for (const WsqHuffmanTable &h : s.tables.huffman) {
        if (!h.defined)
            continue;
        unsigned total = 0;
        for (uint8_t c : h.code_counts)
            total += c;
        FUZZ_CHECK(total <= WSQ_MAX_HUFFMAN_VALUES);
    }
}

/* Primitive reads: a failure leaves the cursor unchanged. */
void primitive(State &s, unsigned which)
{
    const uint8_t *before = s.cursor.pos;
    int status = 0;
    switch (which % 4) {
    case 0: {
        uint8_t v;
        status = wsq_read_u8(&s.cursor, &v);
        FUZZ_CHECK(status == 0 || status == WSQ_E_BYTE_AT_END);
        break;
    }
    case 1: {
        uint16_t v;
        status = wsq_read_u16(&s.cursor, &v);
        FUZZ_CHECK(status == 0 || status == WSQ_E_SHORT_DATA);
        break;
    }
    case 2: {
        uint32_t v;
        status = wsq_read_u32(&s.cursor, &v);
        FUZZ_CHECK(status == 0 || status == WSQ_E_SHORT_DATA);
        break;
    }
    default: {
        uint8_t buffer[37];
        const size_t n = which % sizeof buffer;
        status = wsq_read_bytes(&s.cursor, buffer, n);
        FUZZ_CHECK(status == 0 || status == WSQ_E_SHORT_DATA);
        if (status == 0)
            FUZZ_CHECK(std::memcmp(buffer, before, n) == 0);
        break;
    }
    }
    if (status)
        FUZZ_CHECK(s.cursor.pos == before);
    else
        FUZZ_CHECK(s.cursor.pos > before || which % 4 == 3);
}

int table(State &s, uint16_t marker)
{
    return wsq_read_table_segment(marker, &s.tables.transform, &s.tables.quant, s.tables.huffman,
                                  &s.cursor);
}

/* A transform table that ran short in its coefficient records (after the
 * length and the two filter sizes, 4 bytes) leaves no filters behind;
 * one refused before that keeps the filters it had. */
void transform_failed(const State &s, const uint8_t *before, int status)
{
    if (status == WSQ_E_SHORT_DATA && s.cursor.pos - before >= 4)
        FUZZ_CHECK(s.tables.transform.low_pass == nullptr && s.tables.transform.high_pass == nullptr);
}

/* One reader picked by a selector byte. */
void pick(State &s, uint8_t selector)
{
    const uint8_t *before = s.cursor.pos;
    uint16_t marker = 0;
    int status = 0;
    switch (selector % 12) {
    case 0:
        primitive(s, selector / 12);
        break;
    case 1:
        /* Expectations 0..4; 4 is not one and is refused. */
        status = wsq_read_marker(&s.cursor, static_cast<WsqMarkerExpect>((selector / 12) % 5), &marker);
        if ((selector / 12) % 5 == 4)
            FUZZ_CHECK(status == WSQ_E_MARKER_UNKNOWN || status == WSQ_E_SHORT_DATA);
        if (status == 0)
            FUZZ_CHECK(marker >= WSQ_MARKER_START && marker <= WSQ_MARKER_COMMENT);
        break;
    case 2:
        status = wsq_read_transform_table(&s.tables.transform, &s.cursor);
        transform_failed(s, before, status);
        break;
    case 3:
        status = wsq_read_quant_table(&s.tables.quant, &s.cursor);
        break;
    case 4:
        status = wsq_read_huffman_segment(s.tables.huffman, &s.cursor);
        break;
    case 5:
        status = wsq_read_frame_header(&s.frame, &s.cursor);
        break;
    case 6: {
        uint8_t id;
        status = wsq_read_block_header(&s.cursor, &id);
        break;
    }
    case 7: {
        char *text = nullptr;
        status = wsq_read_comment_text(&s.cursor, &text);
        if (status == 0) {
            FUZZ_CHECK(text != nullptr);
            (void)std::strlen(text);
        }
        std::free(text);
        break;
    }
    case 8: {
        status = wsq_skip_segment(&s.cursor);
        if (status == 0)
            FUZZ_CHECK(s.cursor.pos < s.cursor.end && s.cursor.pos >= before + 2);
        break;
    }
    case 9: {
        /* One Huffman entry on its own, with or without the length. */
        int remaining = (selector / 12) * 7;
        uint8_t id = 0;
        uint8_t *counts = nullptr, *values = nullptr;
        status = wsq_read_huffman_entry(&s.cursor, &remaining, (selector / 12) % 2 == 0, &id, &counts,
                                        &values);
        if (status == 0) {
            FUZZ_CHECK(id < WSQ_HUFFMAN_SLOTS && counts && values);
            unsigned total = 0;
            for (int i = 0; i < 16; ++i)
                total += counts[i];
            FUZZ_CHECK(total <= WSQ_MAX_HUFFMAN_VALUES);
            for (unsigned i = total; i < WSQ_MAX_HUFFMAN_VALUES; ++i)
                FUZZ_CHECK(values[i] == 0);
        }
        std::free(counts);
        std::free(values);
        break;
    }
    case 10: {
        /* Any marker value through the table dispatch. */
        static const uint16_t kMarkers[] = {0xFFA0, 0xFFA1, 0xFFA2, 0xFFA3, 0xFFA4, 0xFFA5,
                                            0xFFA6, 0xFFA7, 0xFFA8, 0x0000, 0xFFFF};
        marker = kMarkers[(selector / 12) % (sizeof kMarkers / sizeof kMarkers[0])];
        status = table(s, marker);
        if (marker < WSQ_MARKER_TRANSFORM || marker == 0xFFA7 || marker > WSQ_MARKER_COMMENT)
            FUZZ_CHECK(status == WSQ_E_MARKER_UNKNOWN);
        if (marker == WSQ_MARKER_TRANSFORM)
            transform_failed(s, before, status);
        break;
    }
    default:
        status = wsq_read_up_to_frame(&s.cursor, &s.tables, &s.frame);
        break;
    }
    FUZZ_CHECK(status <= 0);
}

/* Moves past entropy-coded data to the next byte pair that is a marker
 * (0xFF followed by neither 0x00 nor 0xFF). */
void skip_coded_data(State &s)
{
    while (s.cursor.end - s.cursor.pos >= 2) {
        if (s.cursor.pos[0] == 0xFF && s.cursor.pos[1] != 0x00)
            return;
        ++s.cursor.pos;
    }
    s.cursor.pos = s.cursor.end;
}

void in_order(State &s)
{
    if (wsq_read_up_to_frame(&s.cursor, &s.tables, &s.frame) != 0)
        return;
    check_state(s);
    for (;;) {
        uint16_t marker;
        if (wsq_read_marker(&s.cursor, expect_table_or_block, &marker) != 0)
            return;
        if (marker == WSQ_MARKER_BLOCK) {
            uint8_t id;
            if (wsq_read_block_header(&s.cursor, &id) != 0)
                return;
            skip_coded_data(s);
        } else {
            const uint8_t *before = s.cursor.pos;
            const int status = table(s, marker);
            if (marker == WSQ_MARKER_TRANSFORM)
                transform_failed(s, before, status);
            if (status)
                return;
        }
        check_state(s);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    State s;
    s.begin = data + 1;
    s.cursor = wsq_cursor(data + 1, size - 1);
    wsq_tables_init(&s.tables);

    if (data[0] % 2 == 0) {
        in_order(s);
    } else {
        /* Selector bytes are taken from the front, the readers read from
         * the back half, so each call has data to chew on. */
        const size_t selectors = (size - 1) / 4;
        s.cursor = wsq_cursor(data + 1 + selectors, size - 1 - selectors);
        s.begin = s.cursor.pos;
        for (size_t i = 0; i < selectors; ++i) {
            pick(s, data[1 + i]);
            check_state(s);
        }
    }
    check_state(s);
    wsq_transform_table_release(&s.tables.transform);
    return 0;
}
