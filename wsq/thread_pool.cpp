/*
 * thread_pool.cpp - the decode worker pool. Workers are started on first
 * use, as many as a job asks for, and then wait for the next job; they are
 * stopped and joined when the process exits.
 */
#include "thread_pool.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

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

    void run(int threads, int tasks, void (*body)(void *, int, int), void *context)
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
            m_next.store(0, std::memory_order_relaxed);
            m_helpers = helpers;
            m_finished = 0;
            ++m_generation;
        }
        m_wake.notify_all();
        work(0);
        std::unique_lock<std::mutex> lock(m_state);
        m_done.wait(lock, [&] { return m_finished == m_helpers; });
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
        std::unique_lock<std::mutex> lock(m_state);
        for (;;) {
            m_wake.wait(lock, [&] { return m_stop || m_generation != seen; });
            if (m_stop)
                return;
            seen = m_generation;
            if (index >= m_helpers)
                continue;
            lock.unlock();
            work(index + 1);
            lock.lock();
            if (++m_finished == m_helpers)
                m_done.notify_one();
        }
    }

    std::mutex m_job;   /* one job at a time */
    std::mutex m_state; /* guards everything below except m_next */
    std::condition_variable m_wake, m_done;
    std::vector<std::thread> m_threads;
    void (*m_body)(void *, int, int) = nullptr;
    void *m_context = nullptr;
    int m_tasks = 0;
    std::atomic<int> m_next{0};
    int m_helpers = 0;
    int m_finished = 0;
    uint64_t m_generation = 0;
    bool m_stop = false;
};

WorkerPool &pool()
{
    static WorkerPool instance;
    return instance;
}

} // namespace

void wsq_parallel_for(int threads, int tasks, void (*body)(void *, int, int), void *context)
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
    pool().run(threads, tasks, body, context);
}
