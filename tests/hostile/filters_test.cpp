// Transform tables of unusual lengths: filters from 1 to 255 taps, odd and
// even, on frames down to a single pixel, where the filters are far longer
// than the lines they extend. Each decode returns 0 or a negative code;
// unequal parities are refused; the output does not depend on the number
// of decode threads.
#include <gtest/gtest.h>

#include <cstring>

#include "codestream_writer.h"
#include "hostile_support.h"
#include "wsq.h"

using namespace hostile;
using wsqtest::byte_table;
using wsqtest::CodestreamWriter;
using wsqtest::Coefficient;
using wsqtest::HuffmanCoder;

namespace {

/* Half of a filter of `taps` taps: ceil(taps / 2) records of moderate,
 * seeded values (some negative), so that sums stay finite. */
std::vector<Coefficient> half_filter(int taps, Random &random)
{
    std::vector<Coefficient> half(static_cast<size_t>((taps + 1) / 2));
    for (Coefficient &c : half) {
        c.sign = static_cast<uint8_t>(random.below(2));
        c.scale = static_cast<uint8_t>(2 + random.below(3));
        c.value = static_cast<uint32_t>(random.below(120));
    }
    return half;
}

Bytes file_with_filters(int width, int height, int hsz, int lsz, Random &random)
{
    CodestreamWriter w;
    w.start()
        .transform(hsz, lsz, half_filter(hsz, random), half_filter(lsz, random))
        .uniform_quant()
        .frame(width, height)
        .huffman({byte_table(0)});
    std::vector<int> coefficients(static_cast<size_t>(width) * static_cast<size_t>(height) / 2 + 1);
    for (int &c : coefficients)
        c = static_cast<int>(random.below(41)) - 20;
    w.block(0).raw(HuffmanCoder(byte_table(0)).coefficients(coefficients).finish()).end();
    return w.bytes();
}

int decode(const Bytes &b, GrayImage *image)
{
    return wsq_decode_image(b.data(), static_cast<int>(b.size()), image);
}

const int kLengths[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 16, 17, 32, 33, 254, 255};

} // namespace

TEST(Filters, EveryLengthPairOnTinyAndOddFrames)
{
    const struct {
        int width, height;
    } frames[] = {{1, 1}, {1, 2}, {2, 1}, {3, 5}, {7, 1}, {1, 7}, {9, 9}, {17, 4}, {31, 33}};
    Random random(0xF11735);
    int decoded = 0, refused = 0;
    for (const auto &f : frames) {
        for (int hsz : kLengths) {
            for (int lsz : kLengths) {
                SCOPED_TRACE(std::to_string(f.width) + "x" + std::to_string(f.height) + " filters " +
                             std::to_string(hsz) + "/" + std::to_string(lsz));
                const Bytes file = file_with_filters(f.width, f.height, hsz, lsz, random);
                const Probe p = probe(file);
                if (hsz % 2 != lsz % 2) {
                    EXPECT_EQ(p.decode, WSQ_E_BAD_TABLE);
                    ++refused;
                } else {
                    EXPECT_LE(p.decode, 0);
                    decoded += p.decode == 0;
                }
                if (HasFailure())
                    return;
            }
        }
    }
    /* Equal parities decode (the coefficients always fit the frame). */
    EXPECT_GT(decoded, 1000);
    EXPECT_GT(refused, 1000);
}

TEST(Filters, OutputDoesNotDependOnDecodeThreads)
{
    /* Large enough for the work to be split; filters of both parities. */
    Random random(0xF11736);
    const int pairs[][2] = {{9, 7}, {7, 9}, {1, 1}, {2, 2}, {6, 4}, {33, 17}, {255, 255}};
    for (const auto &pair : pairs) {
        SCOPED_TRACE("filters " + std::to_string(pair[0]) + "/" + std::to_string(pair[1]));
        const Bytes file = file_with_filters(301, 203, pair[0], pair[1], random);
        GrayImage one{nullptr, 0, 0, 0, 0, 0}, many{nullptr, 0, 0, 0, 0, 0};
        const int previous = wsq_set_decode_threads(1);
        ASSERT_EQ(decode(file, &one), 0);
        wsq_set_decode_threads(4);
        const int status = decode(file, &many);
        wsq_set_decode_threads(previous);
        ASSERT_EQ(status, 0);
        ASSERT_EQ(many.width, one.width);
        ASSERT_EQ(many.height, one.height);
        EXPECT_EQ(std::memcmp(one.pixels, many.pixels, static_cast<size_t>(one.width) * one.height), 0);
        wsq_free_image(&one);
        wsq_free_image(&many);
    }
}
