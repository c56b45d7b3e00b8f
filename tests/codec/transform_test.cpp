// Subband trees, dequantization, synthesis and conversion to bytes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

#include "codestream.h"
#include "dequantize.h"
#include "memory.h"
#include "reconstruct.h"
#include "trees.h"
#include "wsq.h"

namespace {

struct Rect {
    int x, y, lenx, leny;
};

void expect_node(const WsqWaveletNode &n, Rect r, const char *what)
{
    EXPECT_EQ(n.x, r.x) << what;
    EXPECT_EQ(n.y, r.y) << what;
    EXPECT_EQ(n.lenx, r.lenx) << what;
    EXPECT_EQ(n.leny, r.leny) << what;
}

void expect_band(const WsqQuantNode &n, Rect r, const char *what)
{
    EXPECT_EQ(n.x, r.x) << what;
    EXPECT_EQ(n.y, r.y) << what;
    EXPECT_EQ(n.lenx, r.lenx) << what;
    EXPECT_EQ(n.leny, r.leny) << what;
}

} // namespace

TEST(Trees, Square512)
{
    WsqWaveletTree w;
    WsqQuantTree q;
    wsq_build_trees(&w, &q, 512, 512);
    expect_node(w.nodes[1], {0, 0, 256, 256}, "node 1");
    expect_node(w.nodes[19], {0, 0, 32, 32}, "node 19");
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(q.nodes[i].lenx, 16);
        EXPECT_EQ(q.nodes[i].leny, 16);
    }
    expect_band(q.nodes[51], {128, 128, 128, 128}, "subband 51");
    expect_band(q.nodes[60], {256, 256, 128, 128}, "subband 60");
    expect_band(q.nodes[63], {384, 384, 128, 128}, "subband 63");
    EXPECT_EQ(w.nodes[9].invert_rows, 1);
    EXPECT_EQ(w.nodes[9].invert_columns, 1);
    EXPECT_EQ(w.nodes[2].invert_rows, 1);
    EXPECT_EQ(w.nodes[2].invert_columns, 0);
    EXPECT_EQ(w.nodes[3].invert_columns, 1);
    EXPECT_EQ(w.nodes[3].invert_rows, 0);
    EXPECT_EQ(w.nodes[0].invert_rows + w.nodes[0].invert_columns + w.nodes[19].invert_rows, 0);
}

TEST(Trees, OddWidth545x622)
{
    WsqWaveletTree w;
    WsqQuantTree q;
    wsq_build_trees(&w, &q, 545, 622);
    expect_node(w.nodes[1], {0, 0, 273, 311}, "node 1");
    expect_node(w.nodes[2], {273, 0, 272, 311}, "node 2");
    expect_node(w.nodes[3], {0, 311, 273, 311}, "node 3");
    expect_node(w.nodes[4], {137, 0, 136, 156}, "node 4");
    expect_node(w.nodes[5], {0, 156, 137, 155}, "node 5");
    EXPECT_EQ(w.nodes[19].lenx, 35);
    EXPECT_EQ(w.nodes[19].leny, 39);
    expect_band(q.nodes[0], {0, 0, 18, 20}, "subband 0");
    expect_band(q.nodes[1], {18, 0, 17, 20}, "subband 1");
    expect_band(q.nodes[37], {0, 195, 35, 38}, "subband 37");
    expect_band(q.nodes[51], {137, 156, 136, 155}, "subband 51");
    // Node 4 (odd width 137 -> its children): left children the smaller half.
    WsqWaveletTree v;
    wsq_build_trees(&v, &q, 548, 620);
    EXPECT_EQ(v.nodes[4].lenx, 137);
    EXPECT_EQ(v.nodes[6].lenx, 68);
    EXPECT_EQ(v.nodes[7].lenx, 69);
}

TEST(Trees, SubbandsTileEveryImageExactly)
{
    const int sizes[][2] = {{1, 1}, {1, 7}, {2, 3}, {5, 5}, {17, 9}, {64, 64}, {97, 81},
                            {256, 256}, {545, 622}, {1001, 333}};
    for (const auto &s : sizes) {
        int width = s[0], height = s[1];
        WsqWaveletTree w;
        WsqQuantTree q;
        wsq_build_trees(&w, &q, width, height);
        std::vector<int> cover(static_cast<size_t>(width * height), 0);
        for (const WsqQuantNode &n : q.nodes) {
            ASSERT_GE(n.lenx, 0);
            ASSERT_GE(n.leny, 0);
            ASSERT_LE(n.x + n.lenx, width);
            ASSERT_LE(n.y + n.leny, height);
            for (int r = 0; r < n.leny; ++r)
                for (int c = 0; c < n.lenx; ++c)
                    ++cover[static_cast<size_t>((n.y + r) * width + n.x + c)];
        }
        for (int v : cover)
            ASSERT_EQ(v, 1) << width << "x" << height;
        for (const WsqWaveletNode &n : w.nodes) {
            ASSERT_LE(n.x + n.lenx, width);
            ASSERT_LE(n.y + n.leny, height);
        }
    }
    // Widths above 32767 fit the widened fields.
    WsqWaveletTree w;
    WsqQuantTree q;
    wsq_build_trees(&w, &q, 65535, 3);
    EXPECT_EQ(q.nodes[63].x + q.nodes[63].lenx, 65535);
}

TEST(Dequantize, ValuesAndPlacement)
{
    // P = 0.44, Q = 10, Z = 12.
    const float p = wsq_scaled_value(44, 2);
    EXPECT_EQ(wsq_dequantize_value(1, p, 10.0f, 12.0f), 11.6f);
    EXPECT_EQ(wsq_dequantize_value(-1, p, 10.0f, 12.0f), -11.6f);
    EXPECT_EQ(wsq_dequantize_value(0, p, 10.0f, 12.0f), 0.0f);

    const int width = 64, height = 64;
    WsqWaveletTree w;
    WsqQuantTree q;
    wsq_build_trees(&w, &q, width, height);
    WsqQuantTable t{};
    t.bin_center = 0.0f;
    for (int k = 0; k < 64; ++k) {
        t.bin_width[k] = 1.0f;
        t.zero_bin_width[k] = 0.0f;
    }
    t.bin_width[1] = 0.0f; // subband 1 takes no coefficient
    t.defined = 1;
    std::vector<int16_t> coef(width * height, 0);
    for (size_t i = 0; i < coef.size(); ++i)
        coef[i] = static_cast<int16_t>(1 + i % 1000);
    float *image = nullptr;
    ASSERT_EQ(wsq_dequantize(&t, &q, coef.data(), width, height, &image), 0);
    const WsqQuantNode &s0 = q.nodes[0], &s1 = q.nodes[1], &s2 = q.nodes[2];
    int area0 = s0.lenx * s0.leny;
    EXPECT_EQ(image[0], 1.0f);
    EXPECT_EQ(image[s1.y * width + s1.x], 0.0f) << "skipped subband stays 0";
    EXPECT_EQ(image[s2.y * width + s2.x], static_cast<float>(1 + area0))
        << "subband 2 starts with the coefficient after subband 0's";
    // Subbands 60..63 are never read.
    for (int i = 60; i < 64; ++i)
        EXPECT_EQ(image[q.nodes[i].y * width + q.nodes[i].x], 0.0f);
    wsq_free_lines(image);

    t.defined = 0;
    image = nullptr;
    EXPECT_EQ(wsq_dequantize(&t, &q, coef.data(), width, height, &image), WSQ_E_MARKER_RANGE);
    EXPECT_EQ(image, nullptr);
}

namespace {

/* Filters and bands with distinct, inexact values, so that a wrong index
 * or a different order of additions changes the result. */
std::vector<float> taps(int n, float base, float step)
{
    std::vector<float> f;
    for (int k = 0; k < n; ++k)
        f.push_back(base + step * static_cast<float>(k * k + 1) / 7.0f);
    return f;
}

struct Line {
    std::vector<float> samples; // low band then high band
    int nl, nh;
    explicit Line(int n) : nl((n + 1) / 2), nh(n / 2)
    {
        for (int i = 0; i < nl; ++i)
            samples.push_back(1.1f + 0.37f * static_cast<float>(i * (i + 3)) / 3.0f);
        for (int i = 0; i < nh; ++i)
            samples.push_back(-0.53f + 0.29f * static_cast<float>(i * (2 * i + 1)) / 5.0f);
    }
    float L(int i) const { return samples[static_cast<size_t>(i)]; }
    float H(int i) const { return samples[static_cast<size_t>(nl + i)]; }
};

std::vector<float> synthesize(const Line &line, const std::vector<float> &hi, const std::vector<float> &lo,
                              bool invert = false)
{
    const int n = static_cast<int>(line.samples.size());
    std::vector<float> src(line.samples);
    if (invert) {
        src.assign(line.samples.begin() + line.nl, line.samples.end());
        src.insert(src.end(), line.samples.begin(), line.samples.begin() + line.nl);
    }
    std::vector<float> out(static_cast<size_t>(n), std::nanf(""));
    wsq_synthesize_lines(out.data(), src.data(), 1, n, 1, 1, hi.data(), static_cast<int>(hi.size()),
                         lo.data(), static_cast<int>(lo.size()), invert ? 1 : 0);
    return out;
}

/* Low terms first (the first one starting the sum), then high terms, all
 * in float, as the reconstruction prescribes. */
float ordered_sum(const std::vector<std::pair<float, float>> &low,
                  const std::vector<std::pair<float, float>> &high)
{
    float sum = low[0].first * low[0].second;
    for (size_t i = 1; i < low.size(); ++i)
        sum += low[i].first * low[i].second;
    for (const auto &h : high)
        sum += h.first * h.second;
    return sum;
}

} // namespace

TEST(Synthesis, OddFilters9And7)
{
    auto lo = taps(9, 0.31f, 0.05f), hi = taps(7, -0.23f, 0.11f);
    Line a(12);
    auto out = synthesize(a, hi, lo);
    EXPECT_EQ(out[0], ordered_sum({{lo[0], a.L(2)}, {lo[2], a.L(1)}, {lo[4], a.L(0)}, {lo[6], a.L(1)}, {lo[8], a.L(2)}},
                                  {{hi[0], a.H(1)}, {hi[2], a.H(0)}, {hi[4], a.H(0)}, {hi[6], a.H(1)}}));
    EXPECT_EQ(out[11], ordered_sum({{lo[1], a.L(4)}, {lo[3], a.L(5)}, {lo[5], a.L(5)}, {lo[7], a.L(4)}},
                                   {{hi[1], a.H(4)}, {hi[3], a.H(5)}, {hi[5], a.H(4)}}));
    // An interior odd output: lo odd taps on L[2..5]... hi odd taps.
    EXPECT_EQ(out[5], ordered_sum({{lo[1], a.L(1)}, {lo[3], a.L(2)}, {lo[5], a.L(3)}, {lo[7], a.L(4)}},
                                  {{hi[1], a.H(1)}, {hi[3], a.H(2)}, {hi[5], a.H(3)}}));

    Line b(13);
    out = synthesize(b, hi, lo);
    EXPECT_EQ(out[12], ordered_sum({{lo[0], b.L(4)}, {lo[2], b.L(5)}, {lo[4], b.L(6)}, {lo[6], b.L(5)}, {lo[8], b.L(4)}},
                                   {{hi[0], b.H(4)}, {hi[2], b.H(5)}, {hi[4], b.H(5)}, {hi[6], b.H(4)}}));
}

TEST(Synthesis, EvenFilters8And8)
{
    auto lo = taps(8, 0.27f, 0.04f), hi = taps(8, -0.19f, 0.09f);
    Line a(12);
    auto out = synthesize(a, hi, lo);
    EXPECT_EQ(out[0], ordered_sum({{lo[0], a.L(1)}, {lo[2], a.L(0)}, {lo[4], a.L(0)}, {lo[6], a.L(1)}},
                                  {{-hi[0], -a.H(1)}, {-hi[2], -a.H(0)}, {-hi[4], a.H(0)}, {-hi[6], a.H(1)}}));
    Line b(13);
    out = synthesize(b, hi, lo);
    EXPECT_EQ(out[12], ordered_sum({{lo[0], b.L(4)}, {lo[2], b.L(5)}, {lo[4], b.L(6)}, {lo[6], b.L(5)}},
                                   {{-hi[0], b.H(4)}, {-hi[2], b.H(5)}, {-hi[4], 0.0f}, {-hi[6], -b.H(5)}}));
}

TEST(Synthesis, InvertedLineMatchesNormalOrder)
{
    const std::pair<int, int> pairs[] = {{9, 7}, {7, 9}, {8, 8}};
    for (auto [lsz, hsz] : pairs) {
        auto lo = taps(lsz, 0.3f, 0.05f), hi = taps(hsz, -0.2f, 0.07f);
        for (int n : {1, 2, 5, 12, 13, 30}) {
            Line line(n);
            auto normal = synthesize(line, hi, lo, false);
            auto inverted = synthesize(line, hi, lo, true);
            for (int t = 0; t < n; ++t)
                ASSERT_EQ(normal[static_cast<size_t>(t)], inverted[static_cast<size_t>(t)]) << lsz << "/" << hsz << " n=" << n;
        }
    }
}

TEST(Synthesis, EqualOddLengthsGetFullSums)
{
    // With 9 and 9 taps every output, odd positions included, sums both bands.
    auto lo = taps(9, 0.3f, 0.05f), hi = taps(9, -0.2f, 0.07f);
    Line a(20);
    auto out = synthesize(a, hi, lo);
    // t = 7, a = b = 4: low taps k odd (t + k - 4 even), high taps k even.
    EXPECT_EQ(out[7], ordered_sum({{lo[1], a.L(2)}, {lo[3], a.L(3)}, {lo[5], a.L(4)}, {lo[7], a.L(5)}},
                                  {{hi[0], a.H(1)}, {hi[2], a.H(2)}, {hi[4], a.H(3)}, {hi[6], a.H(4)}, {hi[8], a.H(5)}}));
}

TEST(Synthesis, ShortLinesStayInsideTheLine)
{
    // Lines shorter than the filters (down to one sample) with guard zones:
    // nothing outside the line is read or written, outputs are finite.
    const std::pair<int, int> pairs[] = {{9, 7}, {7, 9}, {8, 8}, {2, 2}, {1, 1}, {4, 6}, {255, 255}};
    for (auto [lsz, hsz] : pairs) {
        auto lo = taps(lsz, 0.3f, 0.01f), hi = taps(hsz, -0.2f, 0.01f);
        for (int n = 1; n <= 9; ++n) {
            const int guard = 8;
            std::vector<float> src(static_cast<size_t>(n + 2 * guard), std::nanf(""));
            std::vector<float> dst(src.size(), 12345.0f);
            for (int i = 0; i < n; ++i)
                src[static_cast<size_t>(guard + i)] = static_cast<float>(i + 1);
            wsq_synthesize_lines(dst.data() + guard, src.data() + guard, 1, n, 1, 1, hi.data(), hsz,
                                 lo.data(), lsz, 0);
            for (int i = 0; i < guard; ++i) {
                ASSERT_EQ(dst[static_cast<size_t>(i)], 12345.0f);
                ASSERT_EQ(dst[static_cast<size_t>(guard + n + i)], 12345.0f);
            }
            for (int i = 0; i < n; ++i)
                ASSERT_TRUE(std::isfinite(dst[static_cast<size_t>(guard + i)])) << lsz << "/" << hsz << " n=" << n;
        }
    }
}

TEST(Reconstruct, RefusesMissingOrMismatchedFilters)
{
    WsqWaveletTree w;
    WsqQuantTree q;
    wsq_build_trees(&w, &q, 8, 8);
    std::vector<float> image(64, 1.0f);
    WsqTransformTable t;
    wsq_transform_table_init(&t);
    EXPECT_EQ(wsq_reconstruct(image.data(), 8, 8, &w, &t), WSQ_E_HIGHPASS);
    float lo[8] = {1, 1, 1, 1, 1, 1, 1, 1}, hi[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    t.low_pass = lo;
    t.low_pass_length = 7;
    t.low_pass_defined = 1;
    EXPECT_EQ(wsq_reconstruct(image.data(), 8, 8, &w, &t), WSQ_E_HIGHHALF);
    t.high_pass = hi;
    t.high_pass_length = 8;
    t.high_pass_defined = 1;
    EXPECT_EQ(wsq_reconstruct(image.data(), 8, 8, &w, &t), WSQ_E_BAD_TABLE);
    t.high_pass_length = 7;
    EXPECT_EQ(wsq_reconstruct(image.data(), 8, 8, &w, &t), 0);
}

TEST(Conversion, RoundingAndClamping)
{
    const float in[] = {-0.5f, 0.49f, 0.5f, 254.4f, 254.5f, 300.0f, -3.0f,
                        std::numeric_limits<float>::quiet_NaN(), 127.0f};
    const unsigned char expected[] = {0, 0, 1, 254, 255, 255, 0, 0, 127};
    unsigned char out[9];
    wsq_float_to_bytes(out, in, 9, 1, 0.0f, 1.0f);
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(out[i], expected[i]) << in[i];
    // scale then shift: 2 * 10 + 100.4 -> 120.4 -> 120.
    const float v = 10.0f;
    wsq_float_to_bytes(out, &v, 1, 1, 100.4f, 2.0f);
    EXPECT_EQ(out[0], 120);
}
