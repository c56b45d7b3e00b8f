/*
 * threads.cpp - the process-wide decode thread setting.
 */
#include <atomic>
#include <thread>

#include "wsq.h"

namespace {
constexpr int kMaxThreads = 64;
std::atomic<int> g_setting{1};
} // namespace

extern "C" {

int wsq_set_decode_threads(int threads)
{
    if (threads < 0)
        threads = 1;
    if (threads > kMaxThreads)
        threads = kMaxThreads;
    return g_setting.exchange(threads);
}

int wsq_decode_threads(void)
{
    int n = g_setting.load();
    if (n == 0) {
        const unsigned cores = std::thread::hardware_concurrency();
        n = cores == 0 ? 1 : static_cast<int>(cores);
    }
    return n < 1 ? 1 : (n > kMaxThreads ? kMaxThreads : n);
}

} // extern "C"
