// Quantizer, scaled numbers, Huffman codes and the bit writer, checked
// against the decoder's own Huffman and bit reading.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "codestream.h"
#include "encoder.h"
#include "huffman.h"

namespace {

TEST(Quantizer, ZeroBinAndStepsFollowTheBinEdges) {
    const float q = 2.0f, z = 2.4f;  // zero bin -1.2 .. 1.2
    EXPECT_EQ(0, wsq_quantize(0.0f, q, z));
    EXPECT_EQ(0, wsq_quantize(1.2f, q, z));
    EXPECT_EQ(0, wsq_quantize(-1.2f, q, z));
    EXPECT_EQ(1, wsq_quantize(1.21f, q, z));
    EXPECT_EQ(1, wsq_quantize(3.19f, q, z));
    EXPECT_EQ(2, wsq_quantize(3.2f, q, z));
    EXPECT_EQ(-1, wsq_quantize(-3.19f, q, z));
    EXPECT_EQ(-2, wsq_quantize(-3.2f, q, z));
    EXPECT_EQ(32767, wsq_quantize(1e9f, q, z));
    EXPECT_EQ(-32767, wsq_quantize(-1e9f, q, z));
}

TEST(ScaledNumbers, MostPreciseFormThatFitsAndReadsBackClose) {
    for (double x : {0.44, 1.0, 127.5, 255.0, 0.0123456, 3.3e-5, 65535.0, 0.852698679009}) {
        const WsqScaled s = wsq_to_scaled(x, 0xFFFF);
        EXPECT_LE(s.value, 0xFFFFu);
        if (s.scale < 20) {
            EXPECT_GT(std::round(x * std::pow(10.0, s.scale + 1)), 0xFFFF) << x;  // one more digit would not fit
        }
        EXPECT_NEAR(x, wsq_scaled_value(s.value, s.scale), x * 8e-5) << x;  // half a unit in 6553
    }
    const WsqScaled wide = wsq_to_scaled(0.037828455507, 0xFFFFFFFFu);
    EXPECT_EQ(11, wide.scale);
    EXPECT_EQ(3782845551u, wide.value);
    EXPECT_EQ(0u, wsq_to_scaled(0.0, 0xFFFF).value);
    EXPECT_EQ(0xFFFFu, wsq_to_scaled(1e6, 0xFFFF).value);  // saturates
}

// Frequency sets that stress the code builder.
std::vector<std::vector<uint32_t>> FrequencySets() {
    std::vector<std::vector<uint32_t>> sets;
    std::vector<uint32_t> fib(256, 0);  // unlimited lengths would reach ~40 bits
    uint32_t a = 1, b = 1;
    for (int s = 1; s <= 45; ++s) {
        fib[static_cast<size_t>(s)] = a;
        uint32_t c = a + b;
        a = b;
        b = c;
    }
    sets.push_back(fib);
    std::vector<uint32_t> one(256, 0);
    one[180 + 3] = 1000;
    sets.push_back(one);
    std::vector<uint32_t> flat(256, 0);
    for (int s = 1; s <= 254; ++s) flat[static_cast<size_t>(s)] = 7;
    sets.push_back(flat);
    std::mt19937 rng(5);
    for (int i = 0; i < 4; ++i) {
        std::vector<uint32_t> r(256, 0);
        for (int s = 1; s <= 254; ++s)
            if (rng() % 3 == 0) r[static_cast<size_t>(s)] = 1 + rng() % (1u << (rng() % 20));
        sets.push_back(r);
    }
    return sets;
}

TEST(HuffmanCode, LengthsWithinSixteenPrefixFreeAndNoAllOnesCode) {
    for (const auto &freq : FrequencySets()) {
        WsqHuffmanCode code;
        wsq_build_huffman_code(freq.data(), &code);
        double kraft = 0.0;
        int total = 0;
        for (int l = 0; l < 16; ++l) {
            total += code.code_counts[l];
            kraft += code.code_counts[l] / std::pow(2.0, l + 1);
        }
        EXPECT_EQ(total, code.value_count);
        EXPECT_LT(kraft, 1.0);  // strictly: one code space stays free, the all-ones one
        for (int s = 0; s < 256; ++s) {
            if (freq[static_cast<size_t>(s)] == 0) {
                EXPECT_EQ(0, code.length[s]);
                continue;
            }
            ASSERT_GE(code.length[s], 1);
            ASSERT_LE(code.length[s], 16);
            EXPECT_NE((1u << code.length[s]) - 1u, code.code[s]) << "all-ones code for " << s;
        }
    }
}

TEST(HuffmanCode, WithinTheHuffmanBoundsOfTheEntropy) {
    std::vector<uint32_t> freq(256, 0);
    freq[1] = 500; freq[181] = 300; freq[179] = 300; freq[182] = 100; freq[178] = 100; freq[2] = 60;
    WsqHuffmanCode code;
    wsq_build_huffman_code(freq.data(), &code);
    WsqSymbolCounts counts{};
    for (int s = 0; s < 256; ++s) counts.freq[s] = freq[static_cast<size_t>(s)];
    double n = 0, entropy = 0;
    for (uint32_t f : freq) n += f;
    for (uint32_t f : freq)
        if (f) entropy -= f * std::log2(f / n);
    const double bits = static_cast<double>(wsq_coded_bits(&counts, &code));
    EXPECT_GE(bits, entropy);
    EXPECT_LT(bits, entropy + n);
}

// Decodes count symbols with the decoder's tables and bit reader.
std::vector<int> DecodeWithDecoder(const std::vector<uint8_t> &data, const WsqHuffmanCode &code, size_t count,
                                   uint16_t *marker_after) {
    WsqHuffmanSize *sizes = nullptr;
    int n = 0;
    EXPECT_EQ(0, wsq_huffman_build_sizes(code.code_counts, &sizes, &n));
    EXPECT_EQ(0, wsq_huffman_build_codes(sizes));
    WsqHuffmanDecoder decoder;
    wsq_huffman_build_decoder(sizes, code.code_counts, &decoder);
    std::free(sizes);
    ByteCursor cursor = wsq_cursor(data.data(), data.size());
    WsqBitReader reader{&cursor, 0, 0, 0, 0};
    std::vector<int> out;
    for (size_t i = 0; i <= count; ++i) {
        int symbol = 0;
        if (wsq_decode_symbol(&decoder, code.values, &reader, &symbol) != 0) break;
        if (symbol < 0) {
            *marker_after = reader.marker;
            break;
        }
        out.push_back(symbol);
    }
    return out;
}

TEST(HuffmanCode, DecoderReadsBackSymbolsThroughStuffingAndPadding) {
    for (const auto &freq : FrequencySets()) {
        // A symbol sequence drawn from the frequencies (at least one each).
        std::vector<int> symbols;
        for (int s = 0; s < 256; ++s)
            for (uint32_t i = 0; i < std::min<uint32_t>(freq[static_cast<size_t>(s)], 40); ++i) symbols.push_back(s);
        std::shuffle(symbols.begin(), symbols.end(), std::mt19937(9));
        WsqHuffmanCode code;
        wsq_build_huffman_code(freq.data(), &code);
        std::vector<uint8_t> data;
        WsqBitWriter writer{&data, 0, 0};
        for (int s : symbols) wsq_bits_put(&writer, code.code[s], code.length[s]);
        wsq_bits_flush(&writer);
        for (size_t i = 0; i + 1 < data.size(); ++i) {
            if (data[i] == 0xFF) {
                EXPECT_EQ(0x00, data[i + 1]) << "unstuffed 0xFF at " << i;
            }
        }
        data.push_back(0xFF);
        data.push_back(0xA1);
        uint16_t marker = 0;
        EXPECT_EQ(symbols, DecodeWithDecoder(data, code, symbols.size(), &marker));
        EXPECT_EQ(0xFFA1, marker);  // the padding never completed a code
    }
}

TEST(Symbols, RunsEscapesAndSmallValuesAsTheAlphabetSays) {
    std::vector<int16_t> c;
    auto zeros = [&c](size_t n) {
        for (size_t i = 0; i < n; ++i) c.push_back(0);
    };
    zeros(100);                     // run 100
    c.push_back(74);                // 254
    c.push_back(-73);               // 107
    zeros(101);                     // 105 + 8 bits
    c.push_back(75);                // 101 + 8
    c.push_back(-300);              // 104 + 16
    c.push_back(300);               // 103 + 16
    c.push_back(-74);               // 102 + 8
    zeros(65535 + 300);             // 106 (65535), then 106 (300)
    WsqSymbolCounts counts{};
    wsq_count_symbols(c.data(), c.size(), &counts);
    EXPECT_EQ(1u, counts.freq[100]);
    EXPECT_EQ(1u, counts.freq[254]);
    EXPECT_EQ(1u, counts.freq[107]);
    EXPECT_EQ(1u, counts.freq[105]);
    EXPECT_EQ(1u, counts.freq[101]);
    EXPECT_EQ(1u, counts.freq[104]);
    EXPECT_EQ(1u, counts.freq[103]);
    EXPECT_EQ(1u, counts.freq[102]);
    EXPECT_EQ(2u, counts.freq[106]);
    EXPECT_EQ(0u, counts.freq[180]);
    EXPECT_EQ(8u + 8 + 16 + 16 + 8 + 16 + 16, counts.raw_bits);
}

}  // namespace
