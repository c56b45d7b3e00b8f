// Tests of the counting allocator: the benchmark's memory figures are only
// as good as its bookkeeping.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <malloc.h>
#include <initializer_list>
#include <thread>
#include <vector>

#include "alloc_count.h"

namespace {

// The compiler may drop a malloc/free pair it can see through; storing the
// pointer to a volatile sink makes it escape, so every call really happens.
// The sink is per thread: with one shared sink, reading it back could hand a
// thread the block another thread had just stored there, and both would then
// free it.
thread_local void *volatile g_sink;

void *Keep(void *p)
{
    g_sink = p;
    return p;
}

// The figure is exactly the usable size of the live blocks.
long long Usable(std::initializer_list<void *> blocks)
{
    long long sum = 0;
    for (void *b : blocks) {
        sum += (long long)malloc_usable_size(b);
    }
    return sum;
}

TEST(AllocCount, EveryAllocatorIsCountedAndReturnsToTheBaseline)
{
    ASSERT_EQ(alloc_count_enabled(), 1);
    const long long base = alloc_count_current();

    void *m = Keep(std::malloc(1000));
    void *c = Keep(std::calloc(10, 300));
    void *a = Keep(aligned_alloc(64, 4096));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 64, 0u);
    void *p = nullptr;
    ASSERT_EQ(posix_memalign(&p, 256, 5000), 0);
    Keep(p);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 256, 0u);
    void *v = Keep(memalign(128, 300));
    double *n = new double[2000];
    Keep(n);
    EXPECT_EQ(alloc_count_current() - base, Usable({m, c, a, p, v, n}));
    EXPECT_GE(alloc_count_current() - base, 1000 + 3000 + 4096 + 5000 + 300 + 16000);

    // Growing (which may move the block) and shrinking keep the figure exact,
    // also for a block the kernel maps.
    m = Keep(std::realloc(m, 50000));
    EXPECT_EQ(alloc_count_current() - base, Usable({m, c, a, p, v, n}));
    m = Keep(std::realloc(m, 10));
    EXPECT_EQ(alloc_count_current() - base, Usable({m, c, a, p, v, n}));
    m = Keep(std::realloc(m, 4 << 20));
    EXPECT_EQ(alloc_count_current() - base, Usable({m, c, a, p, v, n}));
    EXPECT_GE(alloc_count_current() - base, 4 << 20);

    std::free(m);
    std::free(c);
    std::free(a);
    std::free(p);
    std::free(v);
    delete[] n;
    std::free(nullptr);
    EXPECT_EQ(alloc_count_current(), base);

    void *r = Keep(std::realloc(nullptr, 500));  // realloc(NULL, n) is malloc
    EXPECT_EQ(alloc_count_current() - base, Usable({r}));
    std::free(r);
    EXPECT_EQ(alloc_count_current(), base);
}

TEST(AllocCount, PeakHoldsTheHighestFigureSinceTheReset)
{
    const long long base = alloc_count_reset_peak();
    EXPECT_EQ(alloc_count_peak(), base);
    void *big = Keep(std::malloc(8 << 20));  // mapped by the kernel, still a heap block
    std::free(big);
    void *small = Keep(std::malloc(100));
    EXPECT_GE(alloc_count_peak() - base, 8 << 20);
    EXPECT_LT(alloc_count_current() - base, 1 << 10);

    // A reset starts from the present, forgetting the earlier peak.
    EXPECT_EQ(alloc_count_reset_peak(), alloc_count_current());
    EXPECT_LT(alloc_count_peak() - base, 1 << 10);
    std::free(small);
}

TEST(AllocCount, ThreadsAllocatingAtOnceLeaveNoDrift)
{
    long long base = 0;
    constexpr int kThreads = 4;
    constexpr int kBlocks = 64;
    constexpr size_t kSize = 4096;
    std::atomic<int> holding{0};
    auto work = [&] {
        std::vector<void *> blocks;
        for (int round = 0; round < 200; ++round) {
            for (int i = 0; i < kBlocks; ++i) {
                blocks.push_back(Keep(std::malloc(kSize)));
            }
            if (round == 0) {
                // Every thread holds its blocks at once at least here.
                holding.fetch_add(1);
                while (holding.load() < kThreads) {
                    std::this_thread::yield();
                }
            }
            for (void *b : blocks) {
                std::free(b);
            }
            blocks.clear();
        }
    };
    {
        std::vector<std::thread> threads;
        threads.reserve(kThreads);
        // glibc keeps an exited thread's stack, and the TLS vector it
        // allocated, for the next thread: start and end a set first so the
        // measured set finds them ready.
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([] { g_sink = nullptr; });
        }
        for (std::thread &t : threads) {
            t.join();
        }
        threads.clear();
        base = alloc_count_reset_peak();  // the vector's storage is in the baseline
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back(work);
        }
        for (std::thread &t : threads) {
            t.join();
        }
        EXPECT_EQ(alloc_count_current(), base);
    }
    EXPECT_GE(alloc_count_peak() - base, (long long)(kThreads * kBlocks * kSize));
}

}  // namespace
