// Forward transform against the decoder's reconstruction: analysis then
// synthesis, with no quantization between, must give the image back.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "codestream.h"
#include "encoder.h"
#include "reconstruct.h"
#include "trees.h"
#include "wsq_encoder.h"

namespace {

// The synthesis filters exactly as the decoder reads them from the
// transform table our encoder writes.
class DecoderFilters {
public:
    DecoderFilters() {
        wsq_transform_table_init(&table_);
        unsigned char pixel = 128;
        unsigned char *stream = nullptr;
        int length = 0;
        EXPECT_EQ(0, wsq_encode(&pixel, 1, 1, nullptr, &stream, &length, nullptr));
        for (int i = 0; i + 1 < length; ++i) {
            if (stream[i] == 0xFF && stream[i + 1] == 0xA4) {
                ByteCursor cursor = wsq_cursor(stream + i + 2, static_cast<size_t>(length - i - 2));
                EXPECT_EQ(0, wsq_read_transform_table(&table_, &cursor));
                break;
            }
        }
        std::free(stream);
    }
    ~DecoderFilters() { wsq_transform_table_release(&table_); }
    const WsqTransformTable &table() const { return table_; }

private:
    WsqTransformTable table_;
};

double MaxRoundTripError(int width, int height, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-128.0f, 128.0f);
    std::vector<float> source(static_cast<size_t>(width) * height);
    for (float &v : source) v = dist(rng);
    std::vector<float> work = source;
    WsqWaveletTree wavelet;
    WsqQuantTree quant;
    wsq_build_trees(&wavelet, &quant, width, height);
    wsq_forward_transform(work.data(), width, height, &wavelet);
    static const DecoderFilters filters;
    EXPECT_EQ(0, wsq_reconstruct(work.data(), width, height, &wavelet, &filters.table()));
    double worst = 0.0;
    for (size_t i = 0; i < source.size(); ++i)
        worst = std::max(worst, static_cast<double>(std::fabs(work[i] - source[i])));
    return worst;
}

TEST(ForwardTransform, TableHoldsThe97PairAsTheDecoderExpects) {
    static const DecoderFilters filters;
    const WsqTransformTable &t = filters.table();
    ASSERT_EQ(9, t.high_pass_length);
    ASSERT_EQ(7, t.low_pass_length);
    // Alternating signs from the centre; values to the stored precision.
    EXPECT_NEAR(0.852698679009, t.high_pass[4], 1e-7);
    EXPECT_NEAR(-0.377402855613, t.high_pass[3], 1e-7);
    EXPECT_NEAR(0.037828455507, t.high_pass[0], 1e-7);
    EXPECT_NEAR(0.788485616406, t.low_pass[3], 1e-7);
    EXPECT_NEAR(0.418092273222, t.low_pass[2], 1e-7);
    EXPECT_NEAR(-0.064538882629, t.low_pass[0], 1e-7);
}

TEST(ForwardTransform, SynthesisInvertsAnalysisOfSingleLines) {
    static const DecoderFilters filters;
    const WsqTransformTable &t = filters.table();
    for (int n = 1; n <= 40; ++n) {
        for (int invert = 0; invert < 2; ++invert) {
            std::vector<float> x(static_cast<size_t>(n)), bands(x.size()), y(x.size());
            for (int i = 0; i < n; ++i) x[static_cast<size_t>(i)] = static_cast<float>((i * 37) % 23) - 11.0f;
            wsq_analyze_lines(bands.data(), x.data(), 1, n, n, 1, invert);
            wsq_synthesize_lines(y.data(), bands.data(), 1, n, n, 1, t.high_pass, t.high_pass_length,
                                 t.low_pass, t.low_pass_length, invert);
            for (int i = 0; i < n; ++i)
                EXPECT_NEAR(x[static_cast<size_t>(i)], y[static_cast<size_t>(i)], 1e-4)
                    << "n=" << n << " invert=" << invert << " i=" << i;
        }
    }
}

TEST(ForwardTransform, RowsAndColumnsTogetherGiveTheSameBandsAsLineByLine) {
    // The column pass works on many adjacent lines at once; it must agree
    // with the plain one-line path.
    const int lines = 5, n = 19;
    std::vector<float> src(static_cast<size_t>(lines * n));
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<float>((i * 7919) % 101);
    std::vector<float> together(src.size()), single(src.size());
    wsq_analyze_lines(together.data(), src.data(), lines, n, 1, lines, 1);
    for (int l = 0; l < lines; ++l)
        wsq_analyze_lines(single.data() + l, src.data() + l, 1, n, 1, lines, 1);
    EXPECT_EQ(together, single);
}

TEST(ForwardTransform, ImageRoundTripWithinOneThousandth) {
    const int sizes[][2] = {{1, 1},     {2, 2},     {3, 5},     {8, 8},     {13, 7},   {31, 33},
                            {64, 64},   {81, 81},   {96, 97},   {97, 96},   {128, 128}, {255, 257},
                            {256, 256}, {333, 517}, {500, 500}, {545, 622}, {900, 1250}};
    uint32_t seed = 1;
    for (const auto &s : sizes)
        EXPECT_LT(MaxRoundTripError(s[0], s[1], seed++), 1e-3) << s[0] << " x " << s[1];
}

}  // namespace
