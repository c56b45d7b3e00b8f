/*
 * alloc_count.c - the counting allocator (see alloc_count.h).
 *
 * Every allocation goes to glibc's __libc_* entry points; the bookkeeping is
 * two relaxed atomics, so it costs every timed decoder the same few
 * nanoseconds per call. Sizes are malloc_usable_size, i.e. what the block
 * really holds, rounding included.
 */
#include "alloc_count.h"

#include <errno.h>
#include <malloc.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdint.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t count, size_t size);
extern void *__libc_realloc(void *block, size_t size);
extern void *__libc_memalign(size_t alignment, size_t size);
extern void __libc_free(void *block);

static atomic_llong current_bytes;
static atomic_llong peak_bytes;

static void count_added(void *block)
{
    if (block == NULL) {
        return;
    }
    long long now = atomic_fetch_add_explicit(&current_bytes, (long long)malloc_usable_size(block),
                                              memory_order_relaxed) +
                    (long long)malloc_usable_size(block);
    long long peak = atomic_load_explicit(&peak_bytes, memory_order_relaxed);
    while (now > peak &&
           !atomic_compare_exchange_weak_explicit(&peak_bytes, &peak, now, memory_order_relaxed,
                                                  memory_order_relaxed)) {
    }
}

static void count_removed(void *block)
{
    if (block != NULL) {
        atomic_fetch_sub_explicit(&current_bytes, (long long)malloc_usable_size(block),
                                  memory_order_relaxed);
    }
}

void *malloc(size_t size)
{
    void *block = __libc_malloc(size);
    count_added(block);
    return block;
}

void *calloc(size_t count, size_t size)
{
    void *block = __libc_calloc(count, size);
    count_added(block);
    return block;
}

void *realloc(void *block, size_t size)
{
    if (block == NULL) {
        return malloc(size);
    }
    size_t old_size = malloc_usable_size(block);
    void *moved = __libc_realloc(block, size);
    if (moved == NULL) {
        if (size == 0) { /* glibc frees the block for realloc(p, 0) */
            atomic_fetch_sub_explicit(&current_bytes, (long long)old_size, memory_order_relaxed);
        }
        return NULL;
    }
    atomic_fetch_sub_explicit(&current_bytes, (long long)old_size, memory_order_relaxed);
    count_added(moved);
    return moved;
}

void free(void *block)
{
    count_removed(block);
    __libc_free(block);
}

void *memalign(size_t alignment, size_t size)
{
    void *block = __libc_memalign(alignment, size);
    count_added(block);
    return block;
}

void *aligned_alloc(size_t alignment, size_t size)
{
    return memalign(alignment, size);
}

int posix_memalign(void **out, size_t alignment, size_t size)
{
    if (alignment % sizeof(void *) != 0 || (alignment & (alignment - 1)) != 0) {
        return EINVAL;
    }
    void *block = memalign(alignment, size);
    if (block == NULL) {
        return ENOMEM;
    }
    *out = block;
    return 0;
}

void *valloc(size_t size)
{
    return memalign(4096, size);
}

void *pvalloc(size_t size)
{
    return memalign(4096, (size + 4095) & ~(size_t)4095);
}

int alloc_count_enabled(void)
{
    return 1;
}

long long alloc_count_current(void)
{
    return atomic_load_explicit(&current_bytes, memory_order_relaxed);
}

long long alloc_count_reset_peak(void)
{
    long long now = atomic_load_explicit(&current_bytes, memory_order_relaxed);
    atomic_store_explicit(&peak_bytes, now, memory_order_relaxed);
    return now;
}

long long alloc_count_peak(void)
{
    return atomic_load_explicit(&peak_bytes, memory_order_relaxed);
}
