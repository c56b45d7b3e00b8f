// wsq_encode's interface: the codestream layout, the comments and header
// numbers the decoder's queries see, and refusal of bad arguments.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "synthprint.h"
#include "wsq.h"
#include "wsq_encoder.h"

namespace {

std::vector<uint8_t> EncodeOk(const std::vector<uint8_t> &pixels, int w, int h, const WsqEncodeParams &p) {
    unsigned char *out = nullptr;
    int length = 0;
    EXPECT_EQ(0, wsq_encode(pixels.data(), w, h, &p, &out, &length, nullptr));
    std::vector<uint8_t> bytes(out, out + length);
    std::free(out);
    return bytes;
}

// The marker sequence of a codestream, stepping over segments by their
// lengths and over entropy-coded data byte by byte.
std::vector<uint16_t> Markers(const std::vector<uint8_t> &s) {
    std::vector<uint16_t> markers;
    size_t i = 0;
    while (i + 1 < s.size()) {
        const uint16_t m = static_cast<uint16_t>(s[i] << 8 | s[i + 1]);
        markers.push_back(m);
        i += 2;
        if (m == 0xFFA0 || m == 0xFFA1) continue;
        i += static_cast<size_t>(s[i] << 8 | s[i + 1]);
        if (m == 0xFFA3) {  // coded data up to the next marker
            while (i + 1 < s.size() && !(s[i] == 0xFF && s[i + 1] != 0x00)) i += s[i] == 0xFF ? 2 : 1;
        }
    }
    return markers;
}

TEST(EncodeApi, SegmentOrderCommentsAndHeaderNumbers) {
    const std::vector<uint8_t> pixels = vellumo::synth::MakeFingerprint(300, 200, 1, vellumo::synth::Pattern::Loop);
    WsqEncodeParams p;
    wsq_encode_default_params(&p);
    EXPECT_EQ(0.75f, p.bitrate);
    EXPECT_EQ(-1, p.ppi);
    EXPECT_EQ(2, p.encoder);
    p.ppi = 500;
    p.bitrate = 1.5f;
    p.comment = "scanned at the front desk";
    p.encoder = 7;
    p.implementation = 4242;
    const std::vector<uint8_t> s = EncodeOk(pixels, 300, 200, p);
    const std::vector<uint16_t> expected = {0xFFA0, 0xFFA8, 0xFFA8, 0xFFA4, 0xFFA5, 0xFFA2, 0xFFA6,
                                            0xFFA3, 0xFFA6, 0xFFA3, 0xFFA3, 0xFFA1};
    EXPECT_EQ(expected, Markers(s));

    // The NIST comment comes first, exactly so.
    const std::string nist =
        "NIST_COM 9\nPIX_WIDTH 300\nPIX_HEIGHT 200\nPIX_DEPTH 8\nPPI 500\nLOSSY 1\n"
        "COLORSPACE GRAY\nCOMPRESSION WSQ\nWSQ_BITRATE 1.500000";
    ASSERT_GT(s.size(), 6 + nist.size());
    EXPECT_EQ(nist.size() + 2, static_cast<size_t>(s[4] << 8 | s[5]));
    EXPECT_EQ(nist, std::string(reinterpret_cast<const char *>(&s[6]), nist.size()));

    const int length = static_cast<int>(s.size());
    char text[255];
    int size = sizeof text;
    ASSERT_EQ(0, wsq_query_comment(s.data(), length, text, &size));
    EXPECT_STREQ("scanned at the front desk", text);  // the last comment is the caller's
    int w = 0, h = 0, encoder = 0, implementation = 0;
    ASSERT_EQ(0, wsq_query_header(s.data(), length, &w, &h, &encoder, &implementation));
    EXPECT_EQ(300, w);
    EXPECT_EQ(200, h);
    EXPECT_EQ(7, encoder);
    EXPECT_EQ(4242, implementation);
    int ppi = 0;
    ASSERT_EQ(0, wsq_ppi_from_comment(s.data(), length, &ppi));
    EXPECT_EQ(500, ppi);
}

TEST(EncodeApi, NullParamsMeanDefaultsAndUnknownResolution) {
    const std::vector<uint8_t> pixels(120 * 90, 128);
    unsigned char *out = nullptr;
    int length = 0;
    ASSERT_EQ(0, wsq_encode(pixels.data(), 120, 90, nullptr, &out, &length, nullptr));
    int ppi = 0;
    EXPECT_EQ(0, wsq_ppi_from_comment(out, length, &ppi));
    EXPECT_EQ(-1, ppi);
    std::free(out);
}

TEST(EncodeApi, BadArgumentsAreRefusedAndOutputsLeftAlone) {
    const std::vector<uint8_t> pixels(64 * 64, 100);
    WsqEncodeParams good;
    wsq_encode_default_params(&good);
    unsigned char sentinel = 0;
    unsigned char *out = &sentinel;
    int length = -7;
    float rate = -3.0f;
    auto check = [&](int expected, const unsigned char *px, int w, int h, const WsqEncodeParams &p) {
        EXPECT_EQ(expected, wsq_encode(px, w, h, &p, &out, &length, &rate)) << w << " x " << h;
        EXPECT_EQ(&sentinel, out);
        EXPECT_EQ(-7, length);
        EXPECT_EQ(-3.0f, rate);
    };
    check(WSQ_E_NO_DATA, nullptr, 64, 64, good);
    check(WSQ_E_ENCODE_SIZE, pixels.data(), 0, 64, good);
    check(WSQ_E_ENCODE_SIZE, pixels.data(), 64, -1, good);
    check(WSQ_E_ENCODE_SIZE, pixels.data(), 65536, 1, good);
    check(WSQ_E_ENCODE_SIZE, pixels.data(), 65535, 65535, good);  // above the pixel limit
    WsqEncodeParams p = good;
    p.bitrate = 9.0f;
    check(WSQ_E_ENCODE_PARAMS, pixels.data(), 64, 64, p);
    p.bitrate = std::nanf("");
    check(WSQ_E_ENCODE_PARAMS, pixels.data(), 64, 64, p);
    p = good;
    p.ppi = 0;
    check(WSQ_E_ENCODE_PARAMS, pixels.data(), 64, 64, p);
    p = good;
    p.encoder = 256;
    check(WSQ_E_ENCODE_PARAMS, pixels.data(), 64, 64, p);
    p = good;
    p.implementation = 65536;
    check(WSQ_E_ENCODE_PARAMS, pixels.data(), 64, 64, p);
    p = good;
    const std::string long_comment(65534, 'x');
    p.comment = long_comment.c_str();
    check(WSQ_E_ENCODE_PARAMS, pixels.data(), 64, 64, p);
    EXPECT_EQ(WSQ_E_NO_DATA, wsq_encode(pixels.data(), 64, 64, &good, nullptr, &length, nullptr));
}

TEST(EncodeApi, LongestCommentFits) {
    const std::vector<uint8_t> pixels(100 * 100, 40);
    WsqEncodeParams p;
    wsq_encode_default_params(&p);
    const std::string comment(65533, 'c');
    p.comment = comment.c_str();
    const std::vector<uint8_t> s = EncodeOk(pixels, 100, 100, p);
    int size = 0;
    ASSERT_EQ(0, wsq_query_comment(s.data(), static_cast<int>(s.size()), nullptr, &size));
    EXPECT_EQ(65534, size);
}

}  // namespace
