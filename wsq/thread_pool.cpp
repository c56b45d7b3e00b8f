/*
 * thread_pool.cpp - the decode worker pool. Workers are started on first
 * use, as many as a job asks for, and then wait for the next job; they are
 * stopped and joined when the process exits.
 *
 * A decode runs many short jobs back to back, and waking a sleeping thread
 * costs tens of microseconds. So workers, and a caller waiting for its
 * helpers, first spin for a short while (kSpin) before they sleep on the
 * condition variables.
 */
#include "thread_pool.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

constexpr std::chrono::microseconds kSpin{200};

inline void cpu_relax()
{
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    __builtin_ia32_pause();
#elif defined(__GNUC__) && defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
}

/* Spins until done() or kSpin has passed; returns done(). */
template <class Done>
bool spin_until(Done &&done)
{
    const auto until = std::chrono::steady_clock::now() + kSpin;
    for (;;) {
        for (int i = 0; i < 64; ++i) {
            if (done())
                return true;
            cpu_relax();
        }
        if (std::chrono::steady_clock::now() >= until)
            return done();
    }
}

class WorkerPool {
public:
    ~WorkerPool()
    {
        {
            std::lock_guard<std::mutex> lock(m_state);
            m_stop = true;
        }
        m_wake.notify_all();
        for (std::thread &t : m_threads)
            t.join();
    }

    void run(int threads, int tasks, void (*body)(void *, int, int), void *context, bool split)
    {
        std::unique_lock<std::mutex> job(m_job, std::try_to_lock);
        const int helpers = job.owns_lock() ? start(threads - 1) : 0;
        if (helpers == 0) {
            for (int task = 0; task < tasks; ++task)
                body(context, task, 0);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(m_state);
            m_body = body;
            m_context = context;
            m_tasks = tasks;
            m_split = split;
            m_next.store(0, std::memory_order_relaxed);
            m_back.store(0, std::memory_order_relaxed);
            m_left.store(tasks, std::memory_order_relaxed);
            m_helpers = helpers;
            m_finished.store(0, std::memory_order_relaxed);
            m_generation.store(m_generation.load(std::memory_order_relaxed) + 1, std::memory_order_release);
        }
        m_wake.notify_all();
        work(0);
        if (!spin_until([&] { return m_finished.load(std::memory_order_acquire) == helpers; })) {
            std::unique_lock<std::mutex> lock(m_state);
            m_done.wait(lock, [&] { return m_finished.load(std::memory_order_acquire) == helpers; });
        }
        std::lock_guard<std::mutex> lock(m_state);
        m_body = nullptr;
    }

private:
    /* Starts workers until `wanted` exist (or starting fails); returns how
     * many can help. Called with m_job held. */
    int start(int wanted)
    {
        while (static_cast<int>(m_threads.size()) < wanted) {
            const int index = static_cast<int>(m_threads.size());
            try {
                m_threads.emplace_back([this, index] { loop(index); });
            } catch (const std::system_error &) {
                break;
            }
        }
        const int available = static_cast<int>(m_threads.size());
        return wanted < available ? (wanted > 0 ? wanted : 0) : available;
    }

    void work(int worker)
    {
        if (m_split) {
            /* The caller from the front, the helpers from the back, until
             * they meet. */
            while (m_left.fetch_sub(1, std::memory_order_relaxed) > 0) {
                const int task = worker == 0 ? m_next.fetch_add(1, std::memory_order_relaxed)
                                             : m_tasks - 1 - m_back.fetch_add(1, std::memory_order_relaxed);
                m_body(m_context, task, worker);
            }
            return;
        }
        for (;;) {
            const int task = m_next.fetch_add(1, std::memory_order_relaxed);
            if (task >= m_tasks)
                return;
            m_body(m_context, task, worker);
        }
    }

    void loop(int index)
    {
        uint64_t seen = 0;
        int helpers = 0;
        for (;;) {
            spin_until([&] {
                return m_generation.load(std::memory_order_acquire) != seen || m_stop.load(std::memory_order_relaxed);
            });
            {
                std::unique_lock<std::mutex> lock(m_state);
                m_wake.wait(lock, [&] {
                    return m_stop.load(std::memory_order_relaxed) ||
                           m_generation.load(std::memory_order_relaxed) != seen;
                });
                if (m_stop.load(std::memory_order_relaxed))
                    return;
                seen = m_generation.load(std::memory_order_relaxed);
                if (index >= m_helpers)
                    continue;
                helpers = m_helpers;
            }
            work(index + 1);
            if (m_finished.fetch_add(1, std::memory_order_acq_rel) + 1 == helpers) {
                std::lock_guard<std::mutex> lock(m_state);
                m_done.notify_one();
            }
        }
    }

    std::mutex m_job;   /* one job at a time */
    std::mutex m_state; /* guards everything below except m_next */
    std::condition_variable m_wake, m_done;
    std::vector<std::thread> m_threads;
    void (*m_body)(void *, int, int) = nullptr;
    void *m_context = nullptr;
    int m_tasks = 0;
    bool m_split = false;
    std::atomic<int> m_next{0};
    std::atomic<int> m_back{0}, m_left{0}; /* for a split job */
    int m_helpers = 0;
    std::atomic<int> m_finished{0};
    std::atomic<uint64_t> m_generation{0};
    std::atomic<bool> m_stop{false};
};

WorkerPool &pool()
{
    static WorkerPool instance;
    return instance;
}

} // namespace

namespace {

void parallel_for(int threads, int tasks, void (*body)(void *, int, int), void *context, bool split)
{
    if (tasks <= 0)
        return;
    if (threads > tasks)
        threads = tasks;
    if (threads <= 1) {
        for (int task = 0; task < tasks; ++task)
            body(context, task, 0);
        return;
    }
    pool().run(threads, tasks, body, context, split);
}

} // namespace

void wsq_parallel_for(int threads, int tasks, void (*body)(void *, int, int), void *context)
{
    parallel_for(threads, tasks, body, context, false);
}

void wsq_parallel_for_split(int threads, int tasks, void (*body)(void *, int, int), void *context)
{
    parallel_for(threads, tasks, body, context, true);
}
