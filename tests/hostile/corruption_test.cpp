// Damaged codestreams: every single-byte corruption of the segments of a
// small print (decode and queries), of the bundled samples' segments
// (queries), and seeded random damage to
// the coded data. Every call must return 0 or a negative code in time.
#include <gtest/gtest.h>

#include <algorithm>

#include "hostile_support.h"
#include "wsq.h"

using namespace hostile;

namespace {

/* The replacement values tried at each position. */
std::vector<uint8_t> replacements(uint8_t original, Random &random)
{
    std::vector<uint8_t> values = {0x00, 0xFF, static_cast<uint8_t>(original ^ 0x01),
                                   static_cast<uint8_t>(original ^ 0x80), random.byte()};
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    values.erase(std::remove(values.begin(), values.end(), original), values.end());
    return values;
}

/* Every byte outside the coded data, each replaced by every value; returns
 * how many of the damaged files still decoded. */
int corrupt_segments(const Bytes &file, uint64_t seed, long long max_pixels, size_t *tried)
{
    const Layout layout = layout_of(file);
    EXPECT_FALSE(layout.segments.empty());
    Random random(seed);
    Bytes damaged = file;
    int decoded = 0;
    *tried = 0;
    for (size_t i = 0; i < file.size(); ++i) {
        if (layout.in_coded(i))
            continue;
        for (uint8_t v : replacements(file[i], random)) {
            damaged[i] = v;
            SCOPED_TRACE("byte " + std::to_string(i) + " set to " + std::to_string(v));
            const Probe p = probe(damaged, max_pixels);
            decoded += p.decode == 0;
            ++*tried;
            if (::testing::Test::HasFailure())
                return decoded;
        }
        damaged[i] = file[i];
    }
    return decoded;
}

} // namespace

TEST(Corruption, EverySegmentByteOfASmallPrint)
{
    size_t tried = 0;
    const int decoded = corrupt_segments(small_print(), 0x5EED0001, kProbeMaxPixels, &tried);
    EXPECT_GT(tried, 2000u);
    /* Damage to values (quantizer steps, filter taps, comment text) still
     * decodes; damage to structure does not. Both kinds must occur. */
    EXPECT_GT(decoded, 0);
    EXPECT_LT(static_cast<size_t>(decoded), tried);
}

TEST(Corruption, EverySegmentByteOfTheBundledSamples)
{
    /* The queries only: one decode of a sample costs more than all the
     * queries on it, and the small print covers the decode. */
    for (const Sample &s : bundled_samples()) {
        SCOPED_TRACE(s.name);
        size_t tried = 0;
        corrupt_segments(s.bytes, 0x5EED0002, 0, &tried);
        EXPECT_GT(tried, 2000u);
        if (HasFailure())
            return;
    }
}

TEST(Corruption, SeededRandomDamageToCodedData)
{
    const Bytes &file = small_print();
    const Layout layout = layout_of(file);
    std::vector<size_t> coded;
    for (const Range &r : layout.coded)
        for (size_t i = r.begin; i < r.end; ++i)
            coded.push_back(i);
    ASSERT_GT(coded.size(), 400u);

    Random random(0x5EED0003);
    int decoded = 0, failed = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes damaged = file;
        /* One to four bytes; a quarter of them 0xFF, which starts a
         * marker or a stuffed pair. */
        const size_t flips = 1 + random.below(4);
        for (size_t k = 0; k < flips; ++k) {
            const size_t at = coded[random.below(coded.size())];
            damaged[at] = random.below(4) == 0 ? 0xFF : random.byte();
        }
        SCOPED_TRACE("round " + std::to_string(round));
        const Probe p = probe(damaged);
        decoded += p.decode == 0;
        failed += p.decode < 0;
        /* The segments before the first block are intact. */
        EXPECT_EQ(p.header, 0);
        EXPECT_EQ(p.width, 72);
        EXPECT_EQ(p.ppi, 500);
        if (HasFailure())
            return;
    }
    EXPECT_GT(decoded, 0);
    EXPECT_GT(failed, 0);
}

TEST(Corruption, SeededRandomDamageToASampleDecodes)
{
    /* Fewer rounds on a real-size print: the decoder's later stages see
     * damaged coefficients of a whole image. */
    const std::vector<Sample> samples = bundled_samples();
    auto it = std::find_if(samples.begin(), samples.end(),
                           [](const Sample &s) { return s.name == "loop-500x500.wsq"; });
    ASSERT_NE(it, samples.end());
    const Layout layout = layout_of(it->bytes);
    ASSERT_FALSE(layout.coded.empty());
    Random random(0x5EED0004);
#ifdef VELLUMO_HOSTILE_SLOW_BUILD
    const int rounds = 12;
#else
    const int rounds = 40;
#endif
    for (int round = 0; round < rounds; ++round) {
        Bytes damaged = it->bytes;
        for (int k = 0; k < 8; ++k) {
            const Range &r = layout.coded[random.below(layout.coded.size())];
            if (r.end > r.begin)
                damaged[r.begin + random.below(r.end - r.begin)] = random.byte();
        }
        SCOPED_TRACE("round " + std::to_string(round));
        probe(damaged);
        if (HasFailure())
            return;
    }
}
