/*
 * alloc_count.h - heap accounting for the codec benchmark.
 *
 * alloc_count.c replaces malloc, calloc, realloc, free and the aligned
 * allocators of the whole benchmark process (glibc's documented way to put
 * another allocator in place) and forwards every call to glibc's own
 * implementation, counting the usable size of each live block. The counts
 * cover every thread. Blocks the kernel maps directly (thread stacks) are
 * not heap blocks and are not counted.
 */
#ifndef VELLUMO_BENCH_ALLOC_COUNT_H
#define VELLUMO_BENCH_ALLOC_COUNT_H

#ifdef __cplusplus
extern "C" {
#endif

/* 1 when the counting allocator is linked in (it is left out of sanitizer
 * builds, whose runtime owns malloc); then the figures below are real. */
int alloc_count_enabled(void);

/* Bytes in live heap blocks now. */
long long alloc_count_current(void);

/* Sets the peak to the current figure and returns it: the baseline of a
 * measurement. */
long long alloc_count_reset_peak(void);

/* The highest figure reached since the last reset. */
long long alloc_count_peak(void);

#ifdef __cplusplus
}
#endif

#endif
