// Huffman tables, the bit reader and the block loop.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "codestream.h"
#include "codestream_writer.h"
#include "huffman.h"
#include "trees.h"
#include "wsq.h"

using namespace wsqtest;

namespace {

/* Four 4-bit codes (180, 103, 101, 1) and ten 8-bit ones (105, 106, 104,
 * 102, 0, 255, 107, 100, 254, 2): codes of mixed length put escapes and
 * codes off byte boundaries. */
HuffmanTableDef mixed_table(uint8_t id = 0)
{
    HuffmanTableDef t;
    t.id = id;
    t.counts[3] = 4;
    t.counts[7] = 10;
    t.values = {180, 103, 101, 1, 105, 106, 104, 102, 0, 255, 107, 100, 254, 2};
    return t;
}

/* Decodes a single-table stream of a width x height image: tables, then
 * block 0 holding data, then whatever tail follows. */
struct BlockRun {
    int status = 0;
    std::vector<int16_t> coef;
};

BlockRun run_blocks(const Bytes &after_frame, int width, int height, int preset = 0x5A5A)
{
    WsqTables tables;
    wsq_tables_init(&tables);
    WsqWaveletTree w;
    WsqQuantTree q;
    wsq_build_trees(&w, &q, width, height);
    BlockRun r;
    r.coef.assign(static_cast<size_t>(width * height), static_cast<int16_t>(preset));
    ByteCursor c = wsq_cursor(after_frame.data(), after_frame.size());
    r.status = wsq_decode_blocks(r.coef.data(), &tables.transform, &tables.quant, tables.huffman, &c, &q,
                                 width, height);
    wsq_transform_table_release(&tables.transform);
    return r;
}

Bytes one_block(const HuffmanTableDef &table, const Bytes &data, bool end = true)
{
    CodestreamWriter w;
    w.huffman({table}).block(table.id).raw(data);
    if (end)
        w.end();
    return w.bytes();
}

} // namespace

TEST(HuffmanTables, CanonicalCodesAndDecoderArrays)
{
    HuffmanTableDef t = mixed_table();
    std::array<uint8_t, 16> counts = t.counts;
    WsqHuffmanSize *sizes = nullptr;
    int n = 0;
    ASSERT_EQ(wsq_huffman_build_sizes(counts.data(), &sizes, &n), 0);
    EXPECT_EQ(n, 14);
    ASSERT_EQ(wsq_huffman_build_codes(sizes), 0);
    EXPECT_EQ(sizes[0].code, 0);
    EXPECT_EQ(sizes[3].code, 3);
    EXPECT_EQ(sizes[4].code, 0x40);
    EXPECT_EQ(sizes[13].code, 0x49);
    EXPECT_EQ(sizes[14].length, 0);
    WsqHuffmanDecoder d;
    wsq_huffman_build_decoder(sizes, counts.data(), &d);
    EXPECT_EQ(d.max_code[4], 3);
    EXPECT_EQ(d.min_code[8], 0x40);
    EXPECT_EQ(d.first_index[8], 4);
    EXPECT_EQ(d.max_code[1], -1);
    EXPECT_EQ(d.max_code[16], -1);
    std::free(sizes);

    // Three 1-bit codes overfill the code space.
    std::array<uint8_t, 16> over{};
    over[0] = 3;
    ASSERT_EQ(wsq_huffman_build_sizes(over.data(), &sizes, &n), 0);
    EXPECT_EQ(wsq_huffman_build_codes(sizes), WSQ_E_BAD_TABLE);
    std::free(sizes);
    // All zero: no codes, nothing built past the list.
    std::array<uint8_t, 16> none{};
    ASSERT_EQ(wsq_huffman_build_sizes(none.data(), &sizes, &n), 0);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(wsq_huffman_build_codes(sizes), 0);
    std::free(sizes);
}

TEST(BitReader, StuffingMarkersAndSpans)
{
    // 0xFF 0x00 is one data byte 0xFF; a 16-bit read starting mid-byte spans
    // three bytes.
    Bytes b{0x0F, 0xFF, 0x00, 0xF0, 0xFF, 0xA1};
    ByteCursor c = wsq_cursor(b.data(), b.size());
    WsqBitReader r{&c, 0, 0, 0, 0};
    uint16_t marker = 0, bits = 0;
    ASSERT_EQ(wsq_read_bits(&r, 4, &marker, &bits), 0);
    EXPECT_EQ(bits, 0x0);
    ASSERT_EQ(wsq_read_bits(&r, 16, &marker, &bits), 0);
    EXPECT_EQ(bits, 0xFFFF);
    ASSERT_EQ(wsq_read_bits(&r, 4, &marker, &bits), 0);
    EXPECT_EQ(bits, 0x0);
    // A marker on a 1-bit read is stored; on a wider read it fails.
    ByteCursor c2 = c;
    WsqBitReader r2 = r;
    r2.cursor = &c2;
    ASSERT_EQ(wsq_read_bits(&r, 1, &marker, &bits), 0);
    EXPECT_EQ(marker, 0xFFA1);
    marker = 0;
    EXPECT_EQ(wsq_read_bits(&r2, 8, &marker, &bits), WSQ_E_MARKER_IN_BITS);
    // Out of data.
    Bytes empty{0x00};
    ByteCursor e = wsq_cursor(empty.data(), 0);
    WsqBitReader re{&e, 0, 0, 0, 0};
    EXPECT_EQ(wsq_read_bits(&re, 1, &marker, &bits), WSQ_E_BYTE_AT_END);
}

TEST(BlockLoop, AlphabetAndEscapesAcrossStuffedBytes)
{
    HuffmanTableDef t = mixed_table();
    HuffmanCoder coder(t);
    coder.symbol(103).bits(0xFFFF, 16);   // 16-bit escape, mid-byte, over two stuffed bytes: -1
    coder.symbol(104).bits(1, 16);        // -1
    coder.symbol(101).bits(0xFF, 8);      // +255
    coder.symbol(102).bits(7, 8);         // -7
    coder.symbol(105).bits(0, 8);         // empty run
    coder.symbol(106).bits(0, 16);        // empty run
    coder.symbol(180);                    // 0
    coder.symbol(254).symbol(107);        // 74, -73
    coder.symbol(2);                      // two zeros
    coder.symbol(105).bits(3, 8);         // three zeros
    coder.symbol(1);
    Bytes data = coder.finish();
    auto r = run_blocks(one_block(t, data), 16, 16);
    ASSERT_EQ(r.status, 0);
    const int16_t expected[] = {-1, -1, 255, -7, 0, 74, -73, 0, 0, 0, 0, 0, 0};
    for (size_t i = 0; i < sizeof expected / sizeof expected[0]; ++i)
        EXPECT_EQ(r.coef[i], expected[i]) << i;
    EXPECT_EQ(r.coef[13], 0x5A5A) << "nothing written past the decoded coefficients";
}

TEST(BlockLoop, MarkerInsideACodeEndsTheBlock)
{
    // Two 16-bit codes; the data stops 8 bits into the second code.
    HuffmanTableDef t;
    t.counts[15] = 2;
    t.values = {181, 1};
    CodestreamWriter w;
    w.huffman({t}).block(0).u8(0x00).u8(0x00).u8(0x00).end();
    auto r = run_blocks(w.bytes(), 8, 8);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.coef[0], 1);
}

TEST(BlockLoop, InvalidSymbolsAndCodes)
{
    HuffmanTableDef t = mixed_table();
    for (int s : {0, 255}) {
        HuffmanCoder coder(t);
        coder.symbol(s);
        EXPECT_EQ(run_blocks(one_block(t, coder.finish()), 8, 8).status, WSQ_E_SYMBOL) << s;
    }
    // No code within 16 bits: a table without codes.
    HuffmanTableDef empty;
    EXPECT_EQ(run_blocks(one_block(empty, {0x12, 0x34, 0x56}), 8, 8).status, WSQ_E_SYMBOL);
    // Overfilled counts are refused at block start.
    HuffmanTableDef over;
    over.counts[0] = 3;
    over.values = {1, 2, 3};
    EXPECT_EQ(run_blocks(one_block(over, {0x00}), 8, 8).status, WSQ_E_BAD_TABLE);
    // Escape whose raw bits meet a marker.
    HuffmanCoder coder(t);
    coder.symbol(101);
    Bytes data = coder.finish(); // 4 code bits + 4 pad bits
    CodestreamWriter w;
    w.huffman({t}).block(0).raw(data).end();
    // The pad bits 1111 are read as raw bits, then the marker: -41.
    EXPECT_EQ(run_blocks(w.bytes(), 8, 8).status, WSQ_E_MARKER_IN_BITS);
    // Data that just stops.
    CodestreamWriter cut;
    cut.huffman({t}).block(0).u8(0x00);
    EXPECT_EQ(run_blocks(cut.bytes(), 8, 8).status, WSQ_E_BYTE_AT_END);
}

TEST(BlockLoop, TableIdsOfBlocks)
{
    HuffmanTableDef t = mixed_table(0);
    for (unsigned id : {1u, 8u, 255u}) {
        CodestreamWriter w;
        w.huffman({t}).block(id).u8(0x00).end();
        EXPECT_EQ(run_blocks(w.bytes(), 8, 8).status, WSQ_E_BLOCK) << id;
    }
}

TEST(BlockLoop, CommentsBetweenBlocks)
{
    HuffmanTableDef t = byte_table(0);
    HuffmanCoder coder(t);
    Bytes data = coder.symbol(1).finish();
    for (int blocks = 1; blocks <= 3; ++blocks) {
        CodestreamWriter w;
        w.huffman({t});
        for (int b = 0; b < blocks; ++b)
            w.block(0).raw(data);
        w.comment("late").comment("later").end();
        EXPECT_EQ(run_blocks(w.bytes(), 8, 8).status, blocks == 3 ? 0 : WSQ_E_EXPECT_TABLE_BLOCK) << blocks;
    }
    // After the third block a comment may be followed by tables and blocks.
    CodestreamWriter w;
    w.huffman({t});
    for (int b = 0; b < 3; ++b)
        w.block(0).raw(data);
    w.comment("c").huffman({t}).block(0).raw(data).end();
    auto r = run_blocks(w.bytes(), 8, 8);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.coef[3], 0);
    // ... but not by a non-marker or a marker above 0xFFA8.
    CodestreamWriter bad;
    bad.huffman({t});
    for (int b = 0; b < 3; ++b)
        bad.block(0).raw(data);
    bad.comment("c").u16(0x1234);
    EXPECT_EQ(run_blocks(bad.bytes(), 8, 8).status, WSQ_E_NOT_MARKER);
    // A frame marker inside the entropy data.
    CodestreamWriter frame;
    frame.huffman({t}).block(0).raw(data).marker(0xFFA2).end();
    EXPECT_EQ(run_blocks(frame.bytes(), 8, 8).status, WSQ_E_MARKER_UNKNOWN);
    // End of image right after the frame header.
    CodestreamWriter eoi;
    eoi.end();
    EXPECT_EQ(run_blocks(eoi.bytes(), 8, 8).status, WSQ_E_EXPECT_TABLE_BLOCK);
}

TEST(BlockLoop, ZeroBinWidthsReduceTheExpectedCount)
{
    const int width = 64, height = 64;
    WsqWaveletTree w;
    WsqQuantTree q;
    wsq_build_trees(&w, &q, width, height);
    std::array<Scaled, 64> bins, zeros;
    bins.fill({0, 10});
    zeros.fill({0, 12});
    bins[0] = {0, 0};
    bins[61] = {0, 0};
    const int n = width * height - q.nodes[0].lenx * q.nodes[0].leny - q.nodes[61].lenx * q.nodes[61].leny;
    HuffmanTableDef t = byte_table(0);
    for (int run : {n, n + 1}) {
        HuffmanCoder coder(t);
        coder.symbol(106).bits(static_cast<uint32_t>(run), 16);
        CodestreamWriter s;
        s.quant({0, 0}, bins, zeros).huffman({t}).block(0).raw(coder.finish()).end();
        EXPECT_EQ(run_blocks(s.bytes(), width, height).status, run == n ? 0 : WSQ_E_BLOCK) << run;
    }
    // Without any zero bin width a run of the whole image passes, one more fails.
    for (int run : {width * height, width * height + 1}) {
        HuffmanCoder coder(t);
        coder.symbol(106).bits(static_cast<uint32_t>(run), 16);
        CodestreamWriter s;
        s.huffman({t}).block(0).raw(coder.finish()).end();
        EXPECT_EQ(run_blocks(s.bytes(), width, height).status, run == width * height ? 0 : WSQ_E_BLOCK);
    }
    // Single coefficients past the buffer fail.
    HuffmanCoder coder(t);
    std::vector<int> many(static_cast<size_t>(2 * 2 + 1), 5);
    coder.coefficients(many);
    CodestreamWriter s;
    s.huffman({t}).block(0).raw(coder.finish()).end();
    EXPECT_EQ(run_blocks(s.bytes(), 2, 2).status, WSQ_E_BLOCK);
}
