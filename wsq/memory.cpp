/*
 * memory.cpp - the decoder's large buffers.
 */
#include "memory.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace {

constexpr size_t kHugePage = static_cast<size_t>(2) << 20;
/* Below this the buffer is left to malloc as it is. glibc serves blocks of
 * up to 32 MB from its heap once a block that size has been freed, so a
 * program decoding one file after another reuses pages that are already
 * mapped. Bigger blocks always get a fresh mapping, which the kernel fills
 * page by page on first touch: for those, huge pages cut the faults by a
 * factor of 512. */
constexpr size_t kLarge = 16 * kHugePage;

} // namespace

void *wsq_alloc_large(size_t size)
{
    if (size == 0)
        size = 1;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (size >= kLarge) {
        void *p = nullptr;
        if (posix_memalign(&p, kHugePage, size) != 0)
            return nullptr;
        /* Only advice: without huge pages the buffer works all the same. */
        madvise(p, size & ~(kHugePage - 1), MADV_HUGEPAGE);
        return p;
    }
#endif
    return std::malloc(size);
}

void *wsq_calloc_large(size_t count, size_t size)
{
    if (size != 0 && count > SIZE_MAX / size)
        return nullptr;
    const size_t bytes = count * size;
    if (bytes < kLarge)
        return std::calloc(count ? count : 1, size ? size : 1);
    void *p = wsq_alloc_large(bytes);
    if (p)
        std::memset(p, 0, bytes);
    return p;
}
