// Codestream reader: cursor reads, markers, segment readers and records.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "codestream.h"
#include "codestream_writer.h"
#include "wsq.h"

using namespace wsqtest;

namespace {

ByteCursor cursor_over(const Bytes &b)
{
    return wsq_cursor(b.data(), b.size());
}

struct Tables {
    WsqTables t;
    Tables() { wsq_tables_init(&t); }
    ~Tables() { wsq_transform_table_release(&t.transform); }
};

} // namespace

TEST(CursorReads, EndOfDataCodesAndPositionOnFailure)
{
    Bytes b{0x12, 0x34, 0x56};
    ByteCursor c = cursor_over(b);
    uint16_t v16 = 0;
    uint32_t v32 = 0;
    uint8_t v8 = 0;
    EXPECT_EQ(wsq_read_u16(&c, &v16), 0);
    EXPECT_EQ(v16, 0x1234);
    // Two bytes wanted, one left: -40, position kept.
    EXPECT_EQ(wsq_read_u16(&c, &v16), WSQ_E_SHORT_DATA);
    EXPECT_EQ(c.pos, b.data() + 2);
    EXPECT_EQ(wsq_read_u32(&c, &v32), WSQ_E_SHORT_DATA);
    EXPECT_EQ(wsq_read_u8(&c, &v8), 0);
    EXPECT_EQ(v8, 0x56);
    // One byte at the very end: -39.
    EXPECT_EQ(wsq_read_u8(&c, &v8), WSQ_E_BYTE_AT_END);
    EXPECT_EQ(wsq_read_bytes(&c, nullptr, 0), 0);

    Bytes four{0xDE, 0xAD, 0xBE, 0xEF};
    ByteCursor d = cursor_over(four);
    EXPECT_EQ(wsq_read_u32(&d, &v32), 0);
    EXPECT_EQ(v32, 0xDEADBEEFu);
}

TEST(CursorReads, SkipNeedsOneByteLeftAfterTheSegment)
{
    // Length 4: two bytes of body; with exactly two after the length the
    // target is the end of data, which is refused.
    Bytes exact{0x00, 0x04, 0xAA, 0xBB};
    ByteCursor c = cursor_over(exact);
    EXPECT_EQ(wsq_skip_segment(&c), WSQ_E_SEGMENT);
    EXPECT_EQ(c.pos, exact.data() + 2); // the length stays consumed

    Bytes more{0x00, 0x04, 0xAA, 0xBB, 0xCC};
    c = cursor_over(more);
    EXPECT_EQ(wsq_skip_segment(&c), 0);
    EXPECT_EQ(*c.pos, 0xCC);

    // Length below 2 wraps modulo 65536 and cannot land inside small data.
    Bytes wrap{0x00, 0x01, 0xAA};
    c = cursor_over(wrap);
    EXPECT_EQ(wsq_skip_segment(&c), WSQ_E_SEGMENT);
}

TEST(ScaledNumbers, ExactDivisionAndSign)
{
    EXPECT_EQ(wsq_scaled_value(150, 2), 1.5f);
    EXPECT_EQ(wsq_scaled_value(7, 0), 7.0f);
    // Division repeated in double, rounded to float each time.
    float expected = 44.0f;
    expected = static_cast<float>(expected / 10.0);
    expected = static_cast<float>(expected / 10.0);
    EXPECT_EQ(wsq_scaled_value(44, 2), expected);

    // A transform coefficient with sign byte 1 reads as -1.5.
    CodestreamWriter w;
    w.u16(4 + 12).u8(1).u8(1).u8(1).u8(2).u32(150).u8(0).u8(2).u32(150);
    Tables t;
    ByteCursor c = cursor_over(w.bytes());
    ASSERT_EQ(wsq_read_transform_table(&t.t.transform, &c), 0);
    EXPECT_EQ(t.t.transform.high_pass[0], -1.5f);
    EXPECT_EQ(t.t.transform.low_pass[0], 1.5f);
}

TEST(Markers, Expectations)
{
    struct Case {
        uint16_t marker;
        WsqMarkerExpect expect;
        int status;
    };
    const Case cases[] = {
        {0xFFA0, expect_start, 0},
        {0xFFA2, expect_start, WSQ_E_NOT_START},
        {0xFFA2, expect_table_or_frame, 0},
        {0xFFA8, expect_table_or_frame, 0},
        {0xFFA3, expect_table_or_frame, WSQ_E_EXPECT_TABLE_FRAME},
        {0xFFA7, expect_table_or_frame, WSQ_E_EXPECT_TABLE_FRAME},
        {0xFFA3, expect_table_or_block, 0},
        {0xFFA6, expect_table_or_block, 0},
        {0xFFA2, expect_table_or_block, WSQ_E_EXPECT_TABLE_BLOCK},
        {0xFFA7, expect_table_or_block, WSQ_E_EXPECT_TABLE_BLOCK},
        {0xFFA1, expect_table_or_block, WSQ_E_EXPECT_TABLE_BLOCK},
        {0xFFA1, expect_any, 0},
        {0xFFA7, expect_any, 0},
        {0x12A0, expect_any, WSQ_E_NOT_MARKER},
        {0xFFA9, expect_any, WSQ_E_MARKER_RANGE},
        {0xFF9F, expect_any, WSQ_E_MARKER_RANGE},
        {0xFFA0, static_cast<WsqMarkerExpect>(7), WSQ_E_MARKER_UNKNOWN},
    };
    for (const Case &k : cases) {
        CodestreamWriter w;
        w.marker(k.marker);
        ByteCursor c = cursor_over(w.bytes());
        uint16_t m = 0x1111;
        EXPECT_EQ(wsq_read_marker(&c, k.expect, &m), k.status) << std::hex << k.marker;
        EXPECT_EQ(m, k.status ? 0x1111 : k.marker) << "marker delivered only on success";
    }
    Bytes one{0xFF};
    ByteCursor c = cursor_over(one);
    uint16_t m;
    EXPECT_EQ(wsq_read_marker(&c, expect_start, &m), WSQ_E_SHORT_DATA);
}

TEST(Segments, FrameHeaderStoresHeightFirst)
{
    CodestreamWriter w;
    w.u16(17).u8(3).u8(250).u8(0x01).u8(0xF4).u8(0x01).u8(0x90);
    w.scaled16({1, 1255}).scaled16({2, 150}).u8(7).u16(0x1234);
    WsqFrameHeader h{};
    ByteCursor c = cursor_over(w.bytes());
    ASSERT_EQ(wsq_read_frame_header(&h, &c), 0);
    EXPECT_EQ(h.height, 500);
    EXPECT_EQ(h.width, 400);
    EXPECT_EQ(h.black, 3);
    EXPECT_EQ(h.white, 250);
    EXPECT_EQ(h.shift, wsq_scaled_value(1255, 1));
    EXPECT_EQ(h.scale, 1.5f);
    EXPECT_EQ(h.encoder, 7);
    EXPECT_EQ(h.implementation, 0x1234);
    EXPECT_EQ(c.pos, c.end);
}

TEST(Segments, QuantTableFillsAllSubbandsAndSetsDefined)
{
    std::array<Scaled, 64> q, z;
    for (unsigned k = 0; k < 64; ++k) {
        q[k] = {1, 10 + k};
        z[k] = {0, 2 * k};
    }
    CodestreamWriter w;
    w.quant({2, 44}, q, z);
    ByteCursor c = wsq_cursor(w.bytes().data() + 2, w.size() - 2);
    WsqQuantTable t{};
    ASSERT_EQ(wsq_read_quant_table(&t, &c), 0);
    EXPECT_EQ(t.defined, 1);
    EXPECT_EQ(t.bin_center, wsq_scaled_value(44, 2));
    EXPECT_EQ(t.bin_width[0], 1.0f);
    EXPECT_EQ(t.bin_width[63], wsq_scaled_value(73, 1));
    EXPECT_EQ(t.zero_bin_width[63], 126.0f);
    EXPECT_EQ(c.pos, c.end);

    // Truncated: not defined.
    WsqQuantTable u{};
    ByteCursor s = wsq_cursor(w.bytes().data() + 2, w.size() - 3);
    EXPECT_EQ(wsq_read_quant_table(&u, &s), WSQ_E_SHORT_DATA);
    EXPECT_EQ(u.defined, 0);
}

TEST(Segments, TransformTableLayouts)
{
    // 7/9: four then five records, 54 bytes after the two length bytes.
    std::vector<Coefficient> high{{0, 0, 1}, {0, 0, 2}, {1, 0, 3}, {0, 0, 4}};
    std::vector<Coefficient> low{{0, 0, 5}, {0, 0, 6}, {0, 0, 7}, {1, 0, 8}, {0, 0, 9}};
    CodestreamWriter w;
    w.transform(7, 9, high, low).u8(0xEE);
    Tables t;
    ByteCursor c = wsq_cursor(w.bytes().data() + 2, w.size() - 2);
    ASSERT_EQ(wsq_read_transform_table(&t.t.transform, &c), 0);
    EXPECT_EQ(*c.pos, 0xEE);
    EXPECT_EQ(c.pos - (w.bytes().data() + 2), 2 + 2 + 54);
    const WsqTransformTable &tt = t.t.transform;
    EXPECT_EQ(tt.high_pass_length, 7);
    EXPECT_EQ(tt.low_pass_length, 9);
    EXPECT_EQ(tt.high_pass_defined, 1);
    EXPECT_EQ(tt.low_pass_defined, 1);
    // Symmetric about the middle tap, alternating signs counted from it
    // (records: high 1, 2, -3, 4; low 5, 6, 7, -8, 9).
    const float hi[7] = {-4, -3, -2, 1, -2, -3, -4};
    const float lo[9] = {9, 8, 7, -6, 5, -6, 7, 8, 9};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(tt.high_pass[i], hi[i]) << "high " << i;
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(tt.low_pass[i], lo[i]) << "low " << i;

    // Even lengths: high-pass antisymmetric, low-pass symmetric about the
    // middle pair.
    CodestreamWriter e;
    e.transform(4, 4, {{0, 0, 1}, {0, 0, 2}}, {{0, 0, 3}, {0, 0, 4}});
    Tables u;
    ByteCursor d = wsq_cursor(e.bytes().data() + 2, e.size() - 2);
    ASSERT_EQ(wsq_read_transform_table(&u.t.transform, &d), 0);
    const float *h = u.t.transform.high_pass;
    const float *l = u.t.transform.low_pass;
    EXPECT_EQ(h[2], 1.0f);
    EXPECT_EQ(h[3], -2.0f);
    EXPECT_EQ(h[1], -1.0f);
    EXPECT_EQ(h[0], 2.0f);
    EXPECT_EQ(l[2], -3.0f);
    EXPECT_EQ(l[3], 4.0f);
    EXPECT_EQ(l[1], -3.0f);
    EXPECT_EQ(l[0], 4.0f);
}

TEST(Segments, TransformTableRefusals)
{
    for (int hsz : {0, 3}) {
        int lsz = hsz == 0 ? 3 : 0;
        CodestreamWriter w;
        w.u16(10).u8(static_cast<unsigned>(hsz)).u8(static_cast<unsigned>(lsz)).u32(0).u32(0);
        Tables t;
        ByteCursor c = cursor_over(w.bytes());
        EXPECT_EQ(wsq_read_transform_table(&t.t.transform, &c), WSQ_E_BAD_TABLE);
        EXPECT_EQ(t.t.transform.low_pass, nullptr);
        EXPECT_EQ(t.t.transform.high_pass, nullptr);
    }
    // Short data inside the records: both arrays freed and null.
    CodestreamWriter w;
    w.u16(58).u8(9).u8(7).u8(0).u8(0).u32(1);
    Tables t;
    ByteCursor c = cursor_over(w.bytes());
    EXPECT_EQ(wsq_read_transform_table(&t.t.transform, &c), WSQ_E_SHORT_DATA);
    EXPECT_EQ(t.t.transform.low_pass, nullptr);
    EXPECT_EQ(t.t.transform.high_pass, nullptr);
}

TEST(Segments, CommentText)
{
    CodestreamWriter w;
    w.u16(2);
    ByteCursor c = cursor_over(w.bytes());
    char *text = nullptr;
    ASSERT_EQ(wsq_read_comment_text(&c, &text), 0);
    EXPECT_STREQ(text, "");
    std::free(text);

    for (unsigned bad : {0u, 1u}) {
        CodestreamWriter b;
        b.u16(bad).u8('x');
        ByteCursor d = cursor_over(b.bytes());
        EXPECT_EQ(wsq_read_comment_text(&d, &text), WSQ_E_SEGMENT) << bad;
    }
    CodestreamWriter longer;
    longer.u16(10).u8('a').u8('b');
    ByteCursor e = cursor_over(longer.bytes());
    EXPECT_EQ(wsq_read_comment_text(&e, &text), WSQ_E_SHORT_DATA);
}

TEST(Segments, HuffmanSlotRules)
{
    HuffmanTableDef t0{0, {}, {}}, t1{1, {}, {}}, t2{2, {}, {}};
    t0.counts[0] = 1;
    t0.values = {7};
    t1.counts[1] = 2;
    t1.values = {8, 9};
    t2.counts[0] = 1;
    t2.values = {5};
    auto segment = [](const std::vector<HuffmanTableDef> &tables, int length = -1) {
        CodestreamWriter w;
        w.huffman(tables, length);
        return Bytes(w.bytes().begin() + 2, w.bytes().end());
    };
    WsqHuffmanTable slots[WSQ_HUFFMAN_SLOTS] = {};

    Bytes two = segment({t0, t1});
    ByteCursor c = cursor_over(two);
    ASSERT_EQ(wsq_read_huffman_segment(slots, &c), 0);
    EXPECT_EQ(slots[0].defined, 1);
    EXPECT_EQ(slots[1].defined, 1);
    EXPECT_EQ(slots[1].values[1], 9);
    EXPECT_EQ(slots[1].values[2], 0);
    EXPECT_EQ(slots[1].code_counts[1], 2);
    EXPECT_EQ(c.pos, c.end);

    // A later segment's first entry may redefine a slot.
    HuffmanTableDef again = t0;
    again.values = {42};
    Bytes redefine = segment({again});
    c = cursor_over(redefine);
    EXPECT_EQ(wsq_read_huffman_segment(slots, &c), 0);
    EXPECT_EQ(slots[0].values[0], 42);

    // Its later entries must fill empty slots.
    Bytes late = segment({t2, t0});
    c = cursor_over(late);
    EXPECT_EQ(wsq_read_huffman_segment(slots, &c), WSQ_E_SEGMENT);
    EXPECT_EQ(slots[2].defined, 1);
    EXPECT_EQ(slots[0].values[0], 42) << "the refused entry leaves the slot alone";

    WsqHuffmanTable fresh[WSQ_HUFFMAN_SLOTS] = {};
    Bytes twice = segment({t0, t0});
    c = cursor_over(twice);
    EXPECT_EQ(wsq_read_huffman_segment(fresh, &c), WSQ_E_SEGMENT);

    // A length shorter than the entries: the next entry read fails.
    Bytes shortlen = segment({t0, t1}, 2 + 18 + 5);
    c = cursor_over(shortlen);
    WsqHuffmanTable s2[WSQ_HUFFMAN_SLOTS] = {};
    EXPECT_EQ(wsq_read_huffman_segment(s2, &c), WSQ_E_SEGMENT);
    Bytes tiny = segment({t0}, 2);
    c = cursor_over(tiny);
    EXPECT_EQ(wsq_read_huffman_segment(s2, &c), WSQ_E_SEGMENT);

    // Ids beyond the eight slots are refused, whatever follows.
    HuffmanTableDef t8 = t0;
    t8.id = 8;
    for (uint8_t id : {uint8_t{8}, uint8_t{255}}) {
        t8.id = id;
        Bytes bad = segment({t8});
        c = cursor_over(bad);
        WsqHuffmanTable s3[WSQ_HUFFMAN_SLOTS] = {};
        EXPECT_EQ(wsq_read_huffman_segment(s3, &c), WSQ_E_BAD_TABLE);
        for (const auto &s : s3)
            EXPECT_EQ(s.defined, 0);
    }
}

TEST(Segments, HuffmanCountLimit)
{
    for (int total : {257, 258}) {
        HuffmanTableDef t{0, {}, {}};
        t.counts[15] = 255;
        t.counts[14] = static_cast<uint8_t>(total - 255);
        t.values.assign(static_cast<size_t>(total), 1);
        CodestreamWriter w;
        w.huffman({t});
        ByteCursor c = wsq_cursor(w.bytes().data() + 2, w.size() - 2);
        WsqHuffmanTable slots[WSQ_HUFFMAN_SLOTS] = {};
        EXPECT_EQ(wsq_read_huffman_segment(slots, &c), total == 257 ? 0 : WSQ_E_OPEN_OR_COUNTS);
    }
}

TEST(Segments, TableDispatch)
{
    Tables t;
    CodestreamWriter w;
    w.u16(5).u8('a').u8('b').u8('c');
    ByteCursor c = cursor_over(w.bytes());
    EXPECT_EQ(wsq_read_table_segment(WSQ_MARKER_COMMENT, &t.t.transform, &t.t.quant, t.t.huffman, &c), 0);
    EXPECT_EQ(c.pos, c.end);
    for (uint16_t m : {uint16_t{0xFFA0}, uint16_t{0xFFA2}, uint16_t{0xFFA3}, uint16_t{0xFFA7}}) {
        c = cursor_over(w.bytes());
        EXPECT_EQ(wsq_read_table_segment(m, &t.t.transform, &t.t.quant, t.t.huffman, &c),
                  WSQ_E_MARKER_UNKNOWN);
    }
}
