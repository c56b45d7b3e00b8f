/*
 * alloc_count_off.c - stands in for the counting allocator in sanitizer
 * builds, whose runtime replaces malloc itself: no figures.
 */
#include "alloc_count.h"

int alloc_count_enabled(void) { return 0; }
long long alloc_count_current(void) { return 0; }
long long alloc_count_reset_peak(void) { return 0; }
long long alloc_count_peak(void) { return 0; }
