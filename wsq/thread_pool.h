/*
 * thread_pool.h - internal: a small persistent pool of worker threads for
 * splitting one decode stage across cores.
 */
#ifndef WSQ_THREAD_POOL_H
#define WSQ_THREAD_POOL_H

#include <type_traits>

/* Runs body(context, task, worker) for every task in 0..tasks-1 on at most
 * `threads` threads, the calling thread included, and returns when all
 * tasks are done. Worker numbers run from 0 (the caller) to threads - 1;
 * no two tasks run at once on the same worker number. Tasks are handed out
 * in increasing order. When the pool is busy with another caller, or
 * threads cannot be started, the caller runs every task itself as worker 0.
 * The body must not throw. */
void wsq_parallel_for(int threads, int tasks, void (*body)(void *context, int task, int worker),
                      void *context);

/* The same, except that the caller takes tasks from the first on and the
 * helpers from the last one back, until they meet: for tasks over parts of
 * an image in order, so that each thread works on a part of its own, next
 * to what it worked on in the job before. */
void wsq_parallel_for_split(int threads, int tasks, void (*body)(void *context, int task, int worker),
                            void *context);

/* The same with any callable taking (int task, int worker). */
template <class Body>
void wsq_call_body(void *context, int task, int worker)
{
    (*static_cast<std::remove_reference_t<Body> *>(context))(task, worker);
}

template <class Body>
void wsq_parallel_for(int threads, int tasks, Body &&body)
{
    wsq_parallel_for(threads, tasks, &wsq_call_body<Body>, const_cast<void *>(static_cast<const void *>(&body)));
}

template <class Body>
void wsq_parallel_for_split(int threads, int tasks, Body &&body)
{
    wsq_parallel_for_split(threads, tasks, &wsq_call_body<Body>,
                           const_cast<void *>(static_cast<const void *>(&body)));
}

#endif /* WSQ_THREAD_POOL_H */
