// The large-buffer allocator: what it keeps for the next decode, and that
// keeping never grows past its bounds or hands out a buffer too small.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "memory.h"
#include "wsq.h"

namespace {

constexpr size_t kMB = static_cast<size_t>(1) << 20;

class KeptBuffers : public ::testing::Test {
protected:
    void SetUp() override
    {
        wsq_release_kept_buffers();
        void *probe = wsq_alloc_reusable(40 * kMB);
        ASSERT_NE(probe, nullptr);
        wsq_free_large(probe);
        if (wsq_kept_bytes() == 0)
            GTEST_SKIP() << "this system's allocator gives no way to keep buffers";
        wsq_release_kept_buffers();
    }
    void TearDown() override { wsq_release_kept_buffers(); }
};

// Line-aligned buffers sit on a cache line whatever the block under them,
// the cleared kind is zero, and a large float image still goes back to
// the kept buffers through its block.
TEST_F(KeptBuffers, LineBuffersAreAlignedAndKeptThroughTheirBlock)
{
    for (size_t size : {size_t{1}, size_t{100}, 3 * kMB + 5})
        for (WsqLinesKind kind : {WSQ_LINES_PLAIN, WSQ_LINES_REUSABLE, WSQ_LINES_CLEARED}) {
            auto *p = static_cast<unsigned char *>(wsq_alloc_lines(size, kind));
            ASSERT_NE(p, nullptr);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u) << size;
            if (kind == WSQ_LINES_CLEARED) {
                for (size_t i = 0; i < size; i += 997)
                    ASSERT_EQ(p[i], 0) << i;
            }
            std::memset(p, 0x5a, size);
            wsq_free_lines(p);
        }
    wsq_free_lines(nullptr);

    void *image = wsq_alloc_lines(48 * kMB, WSQ_LINES_REUSABLE);
    ASSERT_NE(image, nullptr);
    wsq_free_lines(image);
    EXPECT_GE(wsq_kept_bytes(), 48 * kMB);
    EXPECT_EQ(wsq_alloc_lines(48 * kMB, WSQ_LINES_REUSABLE), image);
    EXPECT_EQ(wsq_kept_bytes(), 0u);
    wsq_free_lines(image);
}

TEST_F(KeptBuffers, NextRequestOfTheSameSizeGetsTheSameBuffer)
{
    auto *a = static_cast<unsigned char *>(wsq_alloc_reusable(48 * kMB));
    ASSERT_NE(a, nullptr);
    std::memset(a, 0x5a, 48 * kMB);
    wsq_free_large(a);
    EXPECT_GE(wsq_kept_bytes(), 48 * kMB);
    auto *b = static_cast<unsigned char *>(wsq_alloc_reusable(48 * kMB));
    EXPECT_EQ(b, a);
    EXPECT_EQ(wsq_kept_bytes(), 0u);
    // Writable to the end, whatever the kernel did with the pages meanwhile.
    std::memset(b, 1, 48 * kMB);
    wsq_free_large(b);

    // Neither a cleared request nor a plain one for some other buffer
    // takes the kept one: it stays for the next float image, and what they
    // get is zero (cleared) or at least theirs.
    auto *c = static_cast<unsigned char *>(wsq_alloc_reusable(48 * kMB));
    std::memset(c, 0xff, 48 * kMB);
    wsq_free_large(c);
    auto *d = static_cast<unsigned char *>(wsq_calloc_large(48 * kMB, 1));
    ASSERT_NE(d, nullptr);
    EXPECT_NE(d, c);
    for (size_t i = 0; i < 48 * kMB; i += 4093)
        ASSERT_EQ(d[i], 0) << i;
    auto *e = static_cast<unsigned char *>(wsq_alloc_large(48 * kMB));
    ASSERT_NE(e, nullptr);
    EXPECT_NE(e, c);
    EXPECT_GE(wsq_kept_bytes(), 48 * kMB);
    EXPECT_EQ(wsq_alloc_reusable(48 * kMB), c);
    wsq_free_large(d);
    wsq_free_large(e);
    wsq_free_large(c);
}

TEST_F(KeptBuffers, NeverTooSmallNorMuchTooBig)
{
    void *a = wsq_alloc_reusable(40 * kMB);
    wsq_free_large(a);
    void *bigger = wsq_alloc_reusable(60 * kMB); // does not fit in the kept one
    EXPECT_NE(bigger, a);
    std::memset(bigger, 0, 60 * kMB);
    void *a_again = wsq_alloc_reusable(40 * kMB);
    EXPECT_EQ(a_again, a);
    wsq_free_large(a_again);
    wsq_free_large(bigger);

    // 33 MB out of a kept 60 MB would leave almost half of it idle while
    // counting as used; 20 MB is not a kept size at all.
    wsq_release_kept_buffers();
    void *big = wsq_alloc_reusable(80 * kMB);
    wsq_free_large(big);
    void *small = wsq_alloc_reusable(33 * kMB);
    EXPECT_NE(small, big);
    void *tiny = wsq_alloc_reusable(20 * kMB);
    EXPECT_NE(tiny, big);
    std::free(tiny);
    wsq_free_large(small);
}

TEST_F(KeptBuffers, BoundedInCountAndBytes)
{
    std::vector<void *> blocks;
    for (int i = 0; i < 5; ++i)
        blocks.push_back(wsq_alloc_reusable((40 + 10 * static_cast<size_t>(i)) * kMB));
    for (void *p : blocks)
        wsq_free_large(p);
    // Only the two released last stay (a buffer may hold a little more
    // than was asked for, never 10 MB more).
    EXPECT_LT(wsq_kept_bytes(), (70 + 80 + 10) * kMB);
    EXPECT_GE(wsq_kept_bytes(), (70 + 80) * kMB);
    EXPECT_EQ(wsq_alloc_reusable(80 * kMB), blocks[4]);
    EXPECT_EQ(wsq_alloc_reusable(70 * kMB), blocks[3]);
    wsq_free_large(blocks[3]);
    wsq_free_large(blocks[4]);

    // Beyond the byte limit, the oldest go first, and a buffer bigger than
    // the whole limit is never kept.
    wsq_release_kept_buffers();
    void *half = wsq_alloc_reusable(kWsqKeptBytes / 2 + kMB);
    void *other = wsq_alloc_reusable(kWsqKeptBytes / 2 + kMB);
    void *huge = wsq_alloc_reusable(kWsqKeptBytes + kMB);
    ASSERT_TRUE(half && other && huge);
    wsq_free_large(half);
    wsq_free_large(other);
    EXPECT_LE(wsq_kept_bytes(), kWsqKeptBytes);
    EXPECT_EQ(wsq_alloc_reusable(kWsqKeptBytes / 2 + kMB), other);
    wsq_free_large(huge);
    EXPECT_LE(wsq_kept_bytes(), kWsqKeptBytes);
    wsq_free_large(other);
    wsq_release_kept_buffers();
    EXPECT_EQ(wsq_kept_bytes(), 0u);
}

TEST_F(KeptBuffers, ThreadsTakeAndReleaseAtOnce)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 20; ++i) {
                const size_t size = (36 + static_cast<size_t>((t + i) % 3)) * kMB;
                auto *p = static_cast<unsigned char *>(wsq_alloc_reusable(size));
                ASSERT_NE(p, nullptr);
                p[0] = p[size - 1] = static_cast<unsigned char>(t);
                wsq_free_large(p);
            }
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_LE(wsq_kept_bytes(), 2 * (38 + 4) * kMB);
}

} // namespace
