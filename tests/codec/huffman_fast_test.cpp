// The table-driven block decoder against the bit-serial one: the same
// status, the same coefficients (whole buffers, untouched entries included),
// the same tables and the same cursor position, on valid and broken input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "codestream.h"
#include "codestream_writer.h"
#include "huffman.h"
#include "synthprint.h"
#include "trees.h"
#include "wsq.h"
#include "wsq_encoder.h"

using namespace wsqtest;

namespace {

constexpr int16_t kPreset = 0x5A5A;

struct Outcome {
    int status = 0;
    std::vector<int16_t> coef;
    ptrdiff_t consumed = -1; /* cursor position afterwards, from the start of the input */
    bool stood = false;      /* decoded side by side, and that stood */
    WsqQuantTable quant{};
    WsqHuffmanTable huffman[WSQ_HUFFMAN_SLOTS]{};
};

using BlocksFn = int (*)(int16_t *, WsqTransformTable *, WsqQuantTable *, WsqHuffmanTable *,
                         ByteCursor *, const WsqQuantTree *, int, int);

/* Runs one decoder over `bytes`. A whole file is read up to its frame
 * header first (false when that fails); otherwise the bytes are what
 * follows a frame header of a width x height image. */
bool run(BlocksFn fn, const Bytes &bytes, bool whole_file, int width, int height, Outcome *out,
         int16_t preset = kPreset, int cleared_threads = 0)
{
    WsqTables tables;
    wsq_tables_init(&tables);
    ByteCursor c = wsq_cursor(bytes.data(), bytes.size());
    if (whole_file) {
        WsqFrameHeader header;
        if (wsq_read_up_to_frame(&c, &tables, &header) != 0) {
            wsq_transform_table_release(&tables.transform);
            return false;
        }
        width = header.width;
        height = header.height;
    }
    WsqWaveletTree w;
    WsqQuantTree q;
    wsq_build_trees(&w, &q, width, height);
    out->coef.assign(static_cast<size_t>(width) * static_cast<size_t>(height), preset);
    if (cleared_threads > 0) {
        /* Work beside the blocks that does nothing, to learn whether the
         * side-by-side decode stood. */
        WsqBesideBlocks beside{[](void *, const WsqQuantTable *, const std::atomic<int> *) {}, nullptr, false};
        out->status = wsq_decode_blocks_cleared(out->coef.data(), &tables.transform, &tables.quant, tables.huffman,
                                                &c, &q, width, height, cleared_threads, &beside);
        out->stood = beside.ran;
    } else
        out->status = fn(out->coef.data(), &tables.transform, &tables.quant, tables.huffman, &c, &q,
                         width, height);
    out->consumed = c.pos - bytes.data();
    out->quant = tables.quant;
    std::memcpy(out->huffman, tables.huffman, sizeof out->huffman);
    wsq_transform_table_release(&tables.transform);
    return true;
}

/* Decodes with both and expects the same outcome; returns the fast one. */
Outcome same_outcome(const Bytes &bytes, bool whole_file, int width, int height,
                     const std::string &what)
{
    Outcome fast, serial;
    bool ok_fast = run(wsq_decode_blocks, bytes, whole_file, width, height, &fast);
    bool ok_serial = run(wsq_decode_blocks_reference, bytes, whole_file, width, height, &serial);
    EXPECT_EQ(ok_fast, ok_serial) << what;
    if (!ok_fast || !ok_serial)
        return fast;
    EXPECT_EQ(fast.status, serial.status) << what;
    EXPECT_EQ(fast.consumed, serial.consumed) << what;
    EXPECT_TRUE(fast.coef == serial.coef) << what;
    EXPECT_EQ(std::memcmp(&fast.quant, &serial.quant, sizeof fast.quant), 0) << what;
    EXPECT_EQ(std::memcmp(fast.huffman, serial.huffman, sizeof fast.huffman), 0) << what;
    if (!whole_file)
        return fast;
    /* Into cleared coefficients, one block after the other and side by
     * side: the same again. */
    Outcome zeroed;
    run(wsq_decode_blocks_reference, bytes, whole_file, width, height, &zeroed, 0);
    for (int threads : {1, 2, 3}) {
        Outcome cleared;
        run(nullptr, bytes, whole_file, width, height, &cleared, 0, threads);
        EXPECT_EQ(cleared.status, zeroed.status) << what << " threads=" << threads;
        EXPECT_EQ(cleared.consumed, zeroed.consumed) << what << " threads=" << threads;
        EXPECT_TRUE(cleared.coef == zeroed.coef) << what << " threads=" << threads;
        EXPECT_EQ(std::memcmp(&cleared.quant, &zeroed.quant, sizeof cleared.quant), 0) << what;
        EXPECT_EQ(std::memcmp(cleared.huffman, zeroed.huffman, sizeof cleared.huffman), 0) << what;
    }
    return fast;
}

Outcome same_blocks(const Bytes &after_frame, int width, int height, const std::string &what)
{
    return same_outcome(after_frame, false, width, height, what);
}

/* 16 four-bit codes: every bit string decodes; nibble k gives symbol
 * 172 + k, a coefficient k - 8. */
HuffmanTableDef nibble_table(uint8_t id = 0)
{
    HuffmanTableDef t;
    t.id = id;
    t.counts[3] = 16;
    for (int k = 0; k < 16; ++k)
        t.values.push_back(static_cast<uint8_t>(172 + k));
    return t;
}

/* One code of each length 1..15 and two of 16 (a complete code): the
 * alphabet's interesting symbols spread over every length. */
HuffmanTableDef ladder_table(uint8_t id = 0)
{
    HuffmanTableDef t;
    t.id = id;
    for (int l = 0; l < 15; ++l)
        t.counts[static_cast<size_t>(l)] = 1;
    t.counts[15] = 2;
    t.values = {180, 181, 179, 1, 101, 102, 103, 104, 105, 106, 254, 107, 100, 2, 3, 190, 170};
    return t;
}

/* Short codes only, some escapes among them, and an incomplete code: the
 * strings 1111... match nothing. */
HuffmanTableDef short_table(uint8_t id = 0)
{
    HuffmanTableDef t;
    t.id = id;
    t.counts[1] = 2; /* 00 01 */
    t.counts[2] = 2; /* 100 101 */
    t.counts[3] = 2; /* 1100 1101 */
    t.counts[4] = 1; /* 11100 */
    t.values = {180, 181, 101, 3, 103, 105, 179};
    return t;
}

Bytes block_stream(const HuffmanTableDef &table, const Bytes &data, bool end = true)
{
    CodestreamWriter w;
    w.huffman({table}).block(table.id).raw(data);
    if (end)
        w.end();
    return w.bytes();
}

Bytes stuff(const Bytes &plain)
{
    Bytes out;
    for (uint8_t b : plain) {
        out.push_back(b);
        if (b == 0xFF)
            out.push_back(0x00);
    }
    return out;
}

Bytes encode_print(int width, int height, float bitrate, uint32_t seed,
                   vellumo::synth::Pattern pattern)
{
    std::vector<uint8_t> pixels = vellumo::synth::MakeFingerprint(width, height, seed, pattern);
    WsqEncodeParams params;
    wsq_encode_default_params(&params);
    params.bitrate = bitrate;
    unsigned char *out = nullptr;
    int length = 0;
    if (wsq_encode(pixels.data(), width, height, &params, &out, &length, nullptr) != 0)
        return {};
    Bytes b(out, out + length);
    std::free(out);
    return b;
}

/* Where the entropy-coded part of a whole file starts: just after the
 * frame header. */
size_t frame_end(const Bytes &file)
{
    WsqTables tables;
    wsq_tables_init(&tables);
    ByteCursor c = wsq_cursor(file.data(), file.size());
    WsqFrameHeader header;
    int status = wsq_read_up_to_frame(&c, &tables, &header);
    wsq_transform_table_release(&tables.transform);
    return status == 0 ? static_cast<size_t>(c.pos - file.data()) : 0;
}


/* Random symbols of a table with raw bits after escapes, and the
 * coefficients they stand for; stops short of `limit` coefficients. */
struct Sequence {
    Bytes plain; /* coded bits, padded with 1 bits, not stuffed */
    std::vector<int16_t> coef;
};

Bytes unstuff(const Bytes &stuffed)
{
    Bytes out;
    for (size_t i = 0; i < stuffed.size(); ++i) {
        out.push_back(stuffed[i]);
        if (stuffed[i] == 0xFF)
            ++i;
    }
    return out;
}

Sequence random_sequence(const HuffmanTableDef &t, std::mt19937 &rng, int symbols, size_t limit)
{
    HuffmanCoder coder(t);
    Sequence seq;
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    const uint32_t edges16[] = {0, 1, 0x7FFF, 0x8000, 0xFFFF, 0xFF00, 0x00FF};
    for (int i = 0; i < symbols; ++i) {
        int s = t.values[pick(static_cast<uint32_t>(t.values.size()))];
        uint32_t raw = 0;
        int n = 0;
        if (s == 101 || s == 102 || s == 105) {
            n = 8;
            raw = pick(4) == 0 ? 0xFF : pick(256);
        } else if (s == 103 || s == 104) {
            n = 16;
            raw = pick(3) == 0 ? edges16[pick(7)] : pick(65536);
        } else if (s == 106) {
            n = 16;
            raw = pick(3) == 0 ? 0 : pick(300);
        }
        size_t run = s >= 1 && s <= 100 ? static_cast<size_t>(s) : (s == 105 || s == 106) ? raw : 0;
        if (seq.coef.size() + run + 1 > limit)
            break;
        coder.symbol(s);
        if (n)
            coder.bits(raw, n);
        if (s >= 1 && s <= 100)
            seq.coef.insert(seq.coef.end(), run, 0);
        else if (s == 105 || s == 106)
            seq.coef.insert(seq.coef.end(), run, 0);
        else if (s == 101)
            seq.coef.push_back(static_cast<int16_t>(raw));
        else if (s == 102)
            seq.coef.push_back(static_cast<int16_t>(-static_cast<int>(raw)));
        else if (s == 103)
            seq.coef.push_back(static_cast<int16_t>(static_cast<uint16_t>(raw)));
        else if (s == 104)
            seq.coef.push_back(static_cast<int16_t>(static_cast<uint16_t>(0u - raw)));
        else
            seq.coef.push_back(static_cast<int16_t>(s - 180));
    }
    seq.plain = unstuff(coder.finish());
    return seq;
}

void expect_coefficients(const Outcome &o, const std::vector<int16_t> &coef, const std::string &what)
{
    ASSERT_GE(o.coef.size(), coef.size()) << what;
    EXPECT_TRUE(std::equal(coef.begin(), coef.end(), o.coef.begin())) << what;
    if (o.coef.size() > coef.size()) {
        EXPECT_EQ(o.coef[coef.size()], kPreset) << what << ": nothing written past the data";
    }
}

} // namespace

TEST(FastBlocks, RealAndEncodedFilesMatchTheSerialDecoder)
{
    int files = 0;
    for (const auto &entry :
         std::filesystem::directory_iterator(std::string(VELLUMO_SOURCE_DIR) + "/samples")) {
        if (entry.path().extension() != ".wsq")
            continue;
        Outcome o = same_outcome(read_file(entry.path().string()), true, 0, 0, entry.path().string());
        EXPECT_EQ(o.status, 0) << entry.path();
        ++files;
    }
    EXPECT_GE(files, 3);
    for (int bits : {75, 225}) {
        float rate = static_cast<float>(bits) / 100.0f;
        Bytes file = encode_print(300, 360, rate, 11u + static_cast<uint32_t>(bits),
                                  vellumo::synth::Pattern::Whorl);
        ASSERT_FALSE(file.empty());
        Outcome o = same_outcome(file, true, 0, 0, "encoded at " + std::to_string(rate));
        EXPECT_EQ(o.status, 0);
    }
}

/* Files as our encoder writes them take the side-by-side path on any
 * number of threads (one thread interleaves the blocks) and it stands:
 * a fault there would only show as the slower fallback. */
TEST(FastBlocks, StandardFilesStandSideBySide)
{
    struct Case {
        int width, height, bits;
    };
    for (const Case &k : {Case{512, 512, 75}, Case{640, 480, 225}, Case{300, 900, 75}}) {
        const float rate = static_cast<float>(k.bits) / 100.0f;
        const Bytes file = encode_print(k.width, k.height, rate, 5u + static_cast<uint32_t>(k.width),
                                        vellumo::synth::Pattern::Loop);
        ASSERT_FALSE(file.empty());
        Outcome reference;
        ASSERT_TRUE(run(wsq_decode_blocks_reference, file, true, 0, 0, &reference, 0));
        ASSERT_EQ(reference.status, 0);
        for (int threads : {1, 2, 3}) {
            Outcome o;
            ASSERT_TRUE(run(nullptr, file, true, 0, 0, &o, 0, threads));
            const std::string what = std::to_string(k.width) + "x" + std::to_string(k.height) + " at " +
                                     std::to_string(rate) + ", threads=" + std::to_string(threads);
            EXPECT_EQ(o.status, 0) << what;
            EXPECT_TRUE(o.stood) << what;
            EXPECT_TRUE(o.coef == reference.coef) << what;
            EXPECT_EQ(o.consumed, reference.consumed) << what;
        }
    }
}

TEST(FastBlocks, SharedFilesMatchTheSerialDecoder)
{
    std::string dir = shared_data_dir();
    if (dir.empty() || !std::filesystem::is_directory(dir))
        GTEST_SKIP() << "no shared sample folder";
    int files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".wsq")
            continue;
        Outcome o = same_outcome(read_file(entry.path().string()), true, 0, 0, entry.path().string());
        EXPECT_EQ(o.status, 0) << entry.path();
        ++files;
    }
    if (files == 0)
        GTEST_SKIP() << "no .wsq files in " << dir;
}

TEST(FastBlocks, LongCodesEscapesAndShortTables)
{
    // Codes of every length from 1 to 16, short codes only, and 8-bit codes,
    // with every escape and its raw bits at every alignment the codes give.
    std::mt19937 rng(5);
    const int width = 128, height = 128;
    for (const HuffmanTableDef &t : {ladder_table(), short_table(), byte_table(), nibble_table()}) {
        for (int seed = 0; seed < 25; ++seed) {
            Sequence seq = random_sequence(t, rng, 400, static_cast<size_t>(width * height));
            std::string what = "table of " + std::to_string(t.values.size()) + " symbols, run " +
                               std::to_string(seed);
            Outcome o = same_blocks(block_stream(t, stuff(seq.plain)), width, height, what);
            // The 1-bit padding may decode as more symbols only with the
            // nibble and byte tables, where every string is a code.
            if (t.values.size() == 16 || t.values.size() == 254)
                continue;
            EXPECT_EQ(o.status, 0) << what;
            expect_coefficients(o, seq.coef, what);
        }
    }
}

TEST(FastBlocks, StuffedBytesAtEveryOffset)
{
    // 0xFF data bytes at every position relative to the accumulator's
    // refills, alone, in pairs and last before the marker; each byte is two
    // nibble coefficients, so the result is known exactly.
    HuffmanTableDef t = nibble_table();
    std::mt19937 rng(17);
    for (int prefix = 0; prefix < 24; ++prefix) {
        for (int gap : {-1, 0, 1, 3, 7, 8, 9}) {
            for (int suffix : {0, 1, 2, 5, 8, 13}) {
                Bytes plain;
                for (int i = 0; i < prefix; ++i)
                    plain.push_back(static_cast<uint8_t>(rng() % 255));
                plain.push_back(0xFF);
                if (gap >= 0) {
                    for (int i = 0; i < gap; ++i)
                        plain.push_back(static_cast<uint8_t>(rng() % 255));
                    plain.push_back(0xFF);
                }
                for (int i = 0; i < suffix; ++i)
                    plain.push_back(static_cast<uint8_t>(rng() % 255));
                std::vector<int16_t> coef;
                for (uint8_t b : plain) {
                    coef.push_back(static_cast<int16_t>((b >> 4) - 8));
                    coef.push_back(static_cast<int16_t>((b & 15) - 8));
                }
                std::string what = "prefix " + std::to_string(prefix) + " gap " + std::to_string(gap) +
                                   " suffix " + std::to_string(suffix);
                Outcome o = same_blocks(block_stream(t, stuff(plain)), 64, 64, what);
                EXPECT_EQ(o.status, 0) << what;
                expect_coefficients(o, coef, what);
                // The same data with nothing after it, and cut after the 0xFF
                // of its last stuffed pair: the end of the data.
                Bytes open = block_stream(t, stuff(plain), false);
                EXPECT_EQ(same_blocks(open, 64, 64, what + " open").status, WSQ_E_BYTE_AT_END);
                open.pop_back();
                if (plain.back() == 0xFF) {
                    EXPECT_EQ(same_blocks(open, 64, 64, what + " cut").status, WSQ_E_BYTE_AT_END);
                }
            }
        }
    }
}

TEST(FastBlocks, DataCutAtEveryByteBeforeAMarkerOrTheEnd)
{
    // The coded bytes cut after every byte and followed by: end of image,
    // nothing, a lone 0xFF, a frame marker (refused between blocks), a
    // comment or a block marker with its header. Cuts fall inside codes,
    // inside the raw bits of escapes and between stuffed pairs.
    std::mt19937 rng(23);
    const Bytes tails[] = {{0xFF, 0xA1},
                           {},
                           {0xFF},
                           {0xFF, 0xA2, 0x00, 0x04, 0x00, 0x00},
                           {0xFF, 0xA8, 0x00, 0x04, 'h', 'i', 0xFF, 0xA1},
                           {0xFF, 0xA3, 0x00, 0x03, 0x00, 0x12, 0x34, 0xFF, 0xA1}};
    int cut_ok = 0;
    for (const HuffmanTableDef &t : {ladder_table(), short_table(), byte_table()}) {
        for (int seed = 0; seed < 3; ++seed) {
            Sequence seq = random_sequence(t, rng, 60, 4096);
            for (size_t cut = 0; cut <= seq.plain.size(); ++cut) {
                Bytes data = stuff(Bytes(seq.plain.begin(), seq.plain.begin() + static_cast<ptrdiff_t>(cut)));
                for (size_t k = 0; k < std::size(tails); ++k) {
                    Bytes stream = block_stream(t, data, false);
                    stream.insert(stream.end(), tails[k].begin(), tails[k].end());
                    Outcome o = same_blocks(stream, 64, 64,
                                            "cut " + std::to_string(cut) + " tail " + std::to_string(k));
                    if (k == 0 && o.status == 0)
                        ++cut_ok;
                }
            }
            Bytes whole = block_stream(t, stuff(seq.plain));
            Outcome o = same_blocks(whole, 64, 64, "whole");
            if (t.values.size() != 254) {
                EXPECT_EQ(o.status, 0);
                expect_coefficients(o, seq.coef, "whole");
            }
        }
    }
    EXPECT_GT(cut_ok, 50) << "markers inside codes end the block cleanly";
}

TEST(FastBlocks, CodeErrorsCountLimitsAndSegmentsBetweenBlocks)
{
    const int width = 32, height = 32;
    // No code within 16 bits: incomplete short codes, a table without codes.
    HuffmanTableDef shorts = short_table();
    for (const Bytes &data : {Bytes{0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00}, Bytes{0x00, 0x3F, 0xFF, 0x00, 0xF0}}) {
        EXPECT_EQ(same_blocks(block_stream(shorts, data), width, height, "incomplete").status,
                  WSQ_E_SYMBOL);
    }
    // A marker 9 bits into such a string still ends the block first.
    EXPECT_EQ(same_blocks(block_stream(shorts, {0xFF, 0x00}), width, height, "marker").status, 0);
    EXPECT_EQ(same_blocks(block_stream(HuffmanTableDef{}, {0x12, 0x34, 0x56}), width, height, "empty")
                  .status,
              WSQ_E_SYMBOL);
    // Symbols 0 and 255, and runs and coefficients past the buffer.
    HuffmanTableDef bad;
    bad.counts[3] = 6;
    bad.values = {0, 255, 100, 106, 190, 103};
    for (int s : {0, 255}) {
        HuffmanCoder c(bad);
        c.symbol(190).symbol(s).symbol(190);
        EXPECT_EQ(same_blocks(block_stream(bad, c.finish()), width, height, "symbol").status,
                  WSQ_E_SYMBOL);
    }
    {
        HuffmanCoder c(bad);
        for (int i = 0; i < 11; ++i)
            c.symbol(100);
        c.symbol(190);
        EXPECT_EQ(same_blocks(block_stream(bad, c.finish()), width, height, "run past N").status,
                  WSQ_E_BLOCK);
        HuffmanCoder c2(bad);
        c2.symbol(106).bits(width * height - 1, 16).symbol(190).symbol(103).bits(5, 16).symbol(190);
        EXPECT_EQ(same_blocks(block_stream(bad, c2.finish()), width, height, "single past N").status,
                  WSQ_E_BLOCK);
    }
    // Three blocks, a table redefined between them, comments after the
    // third; and the same comment after the first block (refused).
    HuffmanTableDef a = ladder_table(0), b = short_table(1), n = nibble_table(0);
    std::mt19937 rng(3);
    Sequence s1 = random_sequence(a, rng, 50, 300), s2 = random_sequence(b, rng, 50, 300),
             s3 = random_sequence(n, rng, 50, 300);
    CodestreamWriter w;
    w.huffman({a, b}).block(0).raw(stuff(s1.plain)).block(1).raw(stuff(s2.plain));
    w.huffman({n}).block(0).raw(stuff(s3.plain)).comment("one").comment("two").end();
    Outcome o = same_blocks(w.bytes(), width, height, "three blocks");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.consumed, w.length());
    CodestreamWriter early;
    early.huffman({a}).block(0).raw(stuff(s1.plain)).comment("one").end();
    EXPECT_EQ(same_blocks(early.bytes(), width, height, "comment after block 1").status,
              WSQ_E_EXPECT_TABLE_BLOCK);
}

TEST(FastBlocks, RandomMutationsOfSmallFiles)
{
    // Byte flips, 0xFF bytes written or inserted, deletions and truncations
    // in the entropy-coded part of small encoded prints.
    std::vector<Bytes> bases = {
        encode_print(64, 80, 0.75f, 1, vellumo::synth::Pattern::Loop),
        encode_print(64, 80, 2.25f, 2, vellumo::synth::Pattern::Arch),
        encode_print(97, 61, 2.25f, 3, vellumo::synth::Pattern::Whorl),
    };
    std::mt19937 rng(20240601);
    std::vector<int> statuses;
    for (int round = 0; round < 4500; ++round) {
        const Bytes &base = bases[static_cast<size_t>(round) % bases.size()];
        size_t from = frame_end(base);
        ASSERT_GT(from, 0u);
        Bytes m = base;
        int edits = 1 + static_cast<int>(rng() % 3);
        for (int e = 0; e < edits && m.size() > from + 1; ++e) {
            size_t at = from + rng() % (m.size() - from);
            auto it = m.begin() + static_cast<ptrdiff_t>(at);
            switch (rng() % 7) {
            case 0: m[at] = static_cast<uint8_t>(m[at] ^ (1u + rng() % 255)); break;
            case 1: m[at] = static_cast<uint8_t>(m[at] ^ (1u << (rng() % 8))); break;
            case 2: m[at] = 0xFF; break;
            case 3: m.insert(it, 0xFF); break;
            case 4: m.insert(it, {0xFF, static_cast<uint8_t>(rng())}); break;
            case 5: m.erase(it); break;
            default: m.resize(at); break;
            }
        }
        Outcome o = same_outcome(m, true, 0, 0, "round " + std::to_string(round));
        statuses.push_back(o.status);
        if (HasFailure())
            break;
    }
    std::sort(statuses.begin(), statuses.end());
    statuses.erase(std::unique(statuses.begin(), statuses.end()), statuses.end());
    for (int expected : std::vector<int>{0, WSQ_E_BYTE_AT_END, WSQ_E_MARKER_IN_BITS, WSQ_E_BLOCK, WSQ_E_SYMBOL})
        EXPECT_TRUE(std::binary_search(statuses.begin(), statuses.end(), expected)) << expected;
}
