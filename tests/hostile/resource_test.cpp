// Resource bounds: frames too large for the library's 2^31 limit are
// refused at once, and crafted files cannot make a decode or a query
// run longer than linear in the file size and the pixel count.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>

#include "codestream_writer.h"
#include "hostile_support.h"
#include "wsq.h"

using namespace hostile;
using wsqtest::byte_table;
using wsqtest::CodestreamWriter;
using wsqtest::HuffmanCoder;

namespace {

double seconds_of(const std::function<void()> &work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

/* Best of three, so a busy machine does not pass for a slow decoder. */
double best_seconds(const std::function<void()> &work)
{
    double best = seconds_of(work);
    for (int i = 0; i < 2; ++i)
        best = std::min(best, seconds_of(work));
    return best;
}

/* Every entry point on the file: statuses 0 or negative, nothing slower
 * than the call bound. Returns the decode's status. */
int run_all(const Bytes &file)
{
    return probe(file, 1LL << 22).decode;
}

/* The file made for size n and for 4n (more bytes, more pixels or both):
 * the second must not cost more than ten times the first (linear work
 * gives four, quadratic sixteen). */
void expect_linear(const std::function<Bytes(int)> &make, int n)
{
    const Bytes small = make(n), large = make(4 * n);
    ASSERT_GE(large.size(), small.size());
    /* The files are well formed, so the work is done in full, not cut
     * short by an early refusal. */
    ASSERT_EQ(run_all(small), 0);
    ASSERT_EQ(run_all(large), 0);
    const double t_small = best_seconds([&] { run_all(small); });
    const double t_large = best_seconds([&] { run_all(large); });
    EXPECT_LT(t_large, 10.0 * t_small + 0.05)
        << small.size() << " bytes: " << t_small << " s, " << large.size() << " bytes: " << t_large << " s";
}

/* Start, the usual tables, a frame, Huffman table 0: a file ready for its
 * blocks. */
CodestreamWriter header(int width, int height)
{
    CodestreamWriter w;
    w.start().standard_transform().uniform_quant().frame(width, height).huffman({byte_table(0)});
    return w;
}

int decode(const Bytes &b)
{
    GrayImage image{nullptr, 0, 0, 0, 0, 0};
    const int status = wsq_decode_image(b.data(), static_cast<int>(b.size()), &image);
    wsq_free_image(&image);
    return status;
}

} // namespace

TEST(ResourceBounds, FramesOfTwoToTheThirtyOnePixelsAreRefusedAtOnce)
{
    const struct {
        int width, height;
    } frames[] = {{65535, 65535}, {46341, 46341}, {65535, 32769}, {32769, 65535}};
    for (const auto &f : frames) {
        SCOPED_TRACE(std::to_string(f.width) + " x " + std::to_string(f.height));
        ASSERT_GE(static_cast<long long>(f.width) * f.height, 1LL << 31);
        CodestreamWriter w = header(f.width, f.height);
        w.block(0).raw(HuffmanCoder(byte_table(0)).coefficients({1, 2, 3}).finish()).end();
        ASSERT_LT(w.size(), 1000u);

        int width = 0, height = 0, encoder = 0, implementation = 0;
        EXPECT_EQ(wsq_query_header(w.bytes().data(), w.length(), &width, &height, &encoder, &implementation), 0);
        EXPECT_EQ(width, f.width);
        EXPECT_EQ(height, f.height);

        /* Refused before any image buffer exists: a gigabyte calloc would
         * take far longer than this (and fail under the sanitizer). */
        int status = 0;
        const double t = seconds_of([&] { status = decode(w.bytes()); });
        EXPECT_EQ(status, WSQ_E_IMAGE_ALLOC);
        EXPECT_LT(t, 0.25);

        int out[5] = {-7, -7, -7, -7, -7};
        wsq_release_current_image();
        EXPECT_EQ(wsq_decode_buffer(&out[0], &out[1], &out[2], &out[3], &out[4], w.bytes().data(), w.length()),
                  WSQ_E_IMAGE_ALLOC);
        EXPECT_EQ(out[0], -7);
        EXPECT_EQ(wsq_current_image()->pixels, nullptr);
    }
}

TEST(ResourceBounds, ZeroSizedFramesAreRefused)
{
    for (int zero_width = 0; zero_width < 2; ++zero_width) {
        CodestreamWriter w = header(zero_width ? 0 : 64, zero_width ? 64 : 0);
        w.block(0).end();
        EXPECT_EQ(decode(w.bytes()), WSQ_E_BAD_FRAME);
    }
}

TEST(ResourceBounds, ZeroLengthRunsCostLinearTime)
{
    /* Symbol 106 with a run of 0 codes nothing and never fills the image:
     * only the data's end stops it. */
    expect_linear(
        [](int n) {
            CodestreamWriter w = header(64, 64);
            HuffmanCoder coder(byte_table(0));
            for (int i = 0; i < n; ++i)
                coder.symbol(106).bits(0, 16);
            w.block(0).raw(coder.finish()).end();
            return w.bytes();
        },
        20000);
}

TEST(ResourceBounds, LongZeroRunsCostLinearTime)
{
    /* Maximal runs (65535 zeros for 3 bytes) into a frame large enough to
     * take them all: the work is the pixel count. */
    expect_linear(
        [](int n) {
            CodestreamWriter w = header(256, n);
            HuffmanCoder coder(byte_table(0));
            const long long zeros = 256LL * n;
            for (long long done = 0; done + 65535 <= zeros; done += 65535)
                coder.symbol(106).bits(65535, 16);
            w.block(0).raw(coder.finish()).end();
            return w.bytes();
        },
        256);
}

TEST(ResourceBounds, EscapesEverywhereCostLinearTime)
{
    /* Every coefficient a 16-bit escape, in a frame that grows with n. */
    expect_linear(
        [](int n) {
            CodestreamWriter w = header(128, n);
            HuffmanCoder coder(byte_table(0));
            for (int i = 0; i < 128 * n; ++i)
                coder.symbol(i % 2 ? 103 : 104).bits(static_cast<uint32_t>(i * 40503u) & 0xFFFF, 16);
            w.block(0).raw(coder.finish()).end();
            return w.bytes();
        },
        32);
}

TEST(ResourceBounds, RepeatedTableSegmentsCostLinearTime)
{
    /* Each table kind again and again, before the frame and between
     * blocks: every one is read, replaced and freed. */
    expect_linear(
        [](int n) {
            CodestreamWriter w;
            w.start();
            for (int i = 0; i < n; ++i)
                w.standard_transform().uniform_quant().huffman({byte_table(0)});
            w.frame(32, 32).huffman({byte_table(0)});
            for (int i = 0; i < n; ++i) {
                w.huffman({byte_table(0)}).standard_transform().uniform_quant();
                w.block(0).raw(HuffmanCoder(byte_table(0)).coefficients({1}).finish());
            }
            w.end();
            return w.bytes();
        },
        100);
}

TEST(ResourceBounds, ManyEmptyBlocksCostLinearTime)
{
    /* A block header followed at once by the next one: each block builds
     * its decoding table afresh. */
    expect_linear(
        [](int n) {
            CodestreamWriter w = header(64, 64);
            for (int i = 0; i < n; ++i)
                w.block(0);
            w.end();
            return w.bytes();
        },
        2000);
}

TEST(ResourceBounds, ManyCommentsCostLinearTime)
{
    /* Comments before the frame (read and dropped by the decode, each kept
     * in turn by the comment query), NIST-looking ones among them, and
     * more after the third block. */
    expect_linear(
        [](int n) {
            CodestreamWriter w;
            w.start().comment(wsqtest::nist_comment({"PPI 500"}));
            const std::string text(1000, 'c');
            for (int i = 0; i < n; ++i)
                w.comment(i % 3 ? text : wsqtest::nist_comment({"PPI 1"}));
            w.standard_transform().uniform_quant().frame(16, 16).huffman({byte_table(0)});
            for (int b = 0; b < 3; ++b)
                w.block(0).raw(HuffmanCoder(byte_table(0)).coefficients({1}).finish());
            for (int i = 0; i < n; ++i)
                w.comment(text);
            w.end();
            return w.bytes();
        },
        60);
}

TEST(ResourceBounds, PixelCountCostsLinearTime)
{
    /* A tiny file claiming a growing frame: the work is reconstructing the
     * flat image. */
    expect_linear(
        [](int n) {
            CodestreamWriter w = header(256, n);
            w.block(0).end();
            return w.bytes();
        },
        256);
}
