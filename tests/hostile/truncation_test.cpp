// Truncated codestreams: every prefix of a small print, the header and
// table region of every sample plus a stride through its coded data.
#include <gtest/gtest.h>

#include "hostile_support.h"
#include "wsq.h"

using namespace hostile;

namespace {

constexpr long long kWholeFile = 1LL << 23;

/* What the queries must say about the prefix of `length` bytes, given the
 * full file's answers: the header query needs the whole frame header, the
 * comment query the first block marker, the NIST search the NIST comment. */
void check_prefix(const Bytes &file, const Layout &layout, const Probe &full, size_t length)
{
    SCOPED_TRACE("prefix of " + std::to_string(length) + " bytes");
    /* The frame header is intact here, so any size it claims is real. */
    const Probe p = probe(file.data(), length, kWholeFile);
    /* Without its end marker no codestream decodes. */
    if (p.decode != 1) {
        EXPECT_LT(p.decode, 0);
    }
    if (length >= layout.frame_end) {
        EXPECT_EQ(p.header, 0);
        EXPECT_EQ(p.width, full.width);
        EXPECT_EQ(p.height, full.height);
    } else {
        EXPECT_LT(p.header, 0);
    }
    if (length >= layout.first_block) {
        EXPECT_EQ(p.comment, 0);
        EXPECT_EQ(p.comment_text, full.comment_text);
    } else {
        EXPECT_LT(p.comment, 0);
    }
    if (layout.nist_end != 0 && length >= layout.nist_end) {
        EXPECT_EQ(p.nist, 0);
        EXPECT_EQ(p.ppi, full.ppi);
    } else if (length == 0) {
        EXPECT_EQ(p.nist, WSQ_E_NO_DATA);
    }
}

/* Prefix lengths: every one inside a segment, every `stride`-th inside
 * coded data (and the last byte of each block's data). */
std::vector<size_t> prefix_lengths(const Bytes &file, const Layout &layout, size_t stride)
{
    std::vector<size_t> lengths;
    for (size_t n = 0; n < file.size(); ++n) {
        if (!layout.in_coded(n))
            lengths.push_back(n);
    }
    for (const Range &r : layout.coded) {
        for (size_t n = r.begin; n < r.end; n += stride)
            lengths.push_back(n);
        if (r.end > r.begin)
            lengths.push_back(r.end - 1);
    }
    return lengths;
}

void check_truncations(const Bytes &file, size_t stride)
{
    const Layout layout = layout_of(file);
    ASSERT_FALSE(layout.segments.empty());
    ASSERT_GT(layout.frame_end, 0u);
    const Probe full = probe(file, kWholeFile);
    ASSERT_EQ(full.header, 0);
    ASSERT_EQ(full.comment, 0);
    if (full.decode != 1) {
        ASSERT_EQ(full.decode, 0);
    }
    for (size_t n : prefix_lengths(file, layout, stride)) {
        check_prefix(file, layout, full, n);
        if (::testing::Test::HasFailure())
            return; /* one broken prefix is enough to read */
    }
}

} // namespace

TEST(Truncation, EveryPrefixOfASmallPrint)
{
    const Bytes &file = small_print();
    ASSERT_GT(file.size(), 1000u);
    const Layout layout = layout_of(file);
    ASSERT_EQ(layout.coded.size(), 3u) << "encoder writes three blocks";
    const Probe full = probe(file);
    ASSERT_EQ(full.decode, 0);
    EXPECT_EQ(full.ppi, 500);
    EXPECT_EQ(full.comment_text, "small hostile-test print");
    for (size_t n = 0; n < file.size(); ++n) {
        check_prefix(file, layout, full, n);
        if (HasFailure())
            return;
    }
}

TEST(Truncation, HeaderRegionAndStrideOfTheBundledSamples)
{
    const std::vector<Sample> samples = bundled_samples();
    ASSERT_FALSE(samples.empty());
    for (const Sample &s : samples) {
        SCOPED_TRACE(s.name);
        /* About 40 cuts through each sample's coded data. */
        check_truncations(s.bytes, s.bytes.size() / 40 + 1);
    }
}

TEST(Truncation, HeaderRegionAndStrideOfThirdPartyFiles)
{
    const std::vector<Sample> samples = shared_samples();
    if (samples.empty())
        GTEST_SKIP() << "no third-party sample files";
    for (const Sample &s : samples) {
        SCOPED_TRACE(s.name);
        check_truncations(s.bytes, s.bytes.size() / 16 + 1);
    }
}
