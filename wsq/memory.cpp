/*
 * memory.cpp - the decoder's large buffers.
 */
#include "memory.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#if defined(__linux__)
#include <sys/mman.h>
#endif
#if defined(__GLIBC__)
#include <malloc.h>
#define WSQ_KEEPS_BUFFERS 1
#endif

namespace {

constexpr size_t kHugePage = static_cast<size_t>(2) << 20;
constexpr size_t kCacheLine = 64;
/* Below this the buffer is left to malloc as it is. glibc serves blocks of
 * up to 32 MB from its heap once a block that size has been freed, so a
 * program decoding one file after another reuses pages that are already
 * mapped. Bigger blocks always get a fresh mapping, which the kernel fills
 * page by page on first touch: for those, huge pages cut the faults by a
 * factor of 512, and keeping them for the next decode saves the clearing
 * of every page. */
constexpr size_t kLarge = kWsqLargeBytes;
static_assert(kLarge % kHugePage == 0);

#if defined(WSQ_KEEPS_BUFFERS)

/* Released very large buffers, oldest first. */
struct Kept {
    static constexpr int kSlots = 2;
    std::mutex mutex;
    void *block[kSlots] = {};
    size_t capacity[kSlots] = {};
    int count = 0;
    size_t bytes = 0;

    ~Kept() { release_all(); }

    /* The smallest kept buffer that holds size bytes without wasting more
     * than half of itself; null when there is none. */
    void *take(size_t size)
    {
        std::lock_guard<std::mutex> lock(mutex);
        int best = -1;
        for (int i = 0; i < count; ++i)
            if (capacity[i] >= size && capacity[i] - size <= capacity[i] / 2 &&
                (best < 0 || capacity[i] < capacity[best]))
                best = i;
        if (best < 0)
            return nullptr;
        void *p = block[best];
        remove(best);
        return p;
    }

    /* Keeps p unless it is bigger than all that may be kept; evicts the
     * oldest to make room. */
    bool keep(void *p, size_t size)
    {
        if (size > kWsqKeptBytes)
            return false;
        void *evicted[kSlots];
        int evictions = 0;
        {
            std::lock_guard<std::mutex> lock(mutex);
            while (count == kSlots || bytes + size > kWsqKeptBytes) {
                evicted[evictions++] = block[0];
                remove(0);
            }
            block[count] = p;
            capacity[count] = size;
            ++count;
            bytes += size;
        }
        for (int i = 0; i < evictions; ++i)
            std::free(evicted[i]);
        return true;
    }

    void release_all()
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (int i = 0; i < count; ++i)
            std::free(block[i]);
        count = 0;
        bytes = 0;
    }

    void remove(int i)
    {
        bytes -= capacity[i];
        for (; i + 1 < count; ++i) {
            block[i] = block[i + 1];
            capacity[i] = capacity[i + 1];
        }
        --count;
    }
};

Kept &kept()
{
    static Kept instance;
    return instance;
}

#endif

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

void *wsq_alloc_lines(size_t size, WsqLinesKind kind)
{
    /* malloc's own alignment, 16 bytes, puts a buffer wherever the rest
     * of the heap leaves room, and rows whose vectors then split cache
     * lines run several per cent slower. The block starts up to a line
     * ahead, its address stored just before the buffer. */
    if (size > SIZE_MAX - kCacheLine)
        return nullptr;
    const size_t bytes = size + kCacheLine;
    void *block = kind == WSQ_LINES_REUSABLE ? wsq_alloc_reusable(bytes)
                  : kind == WSQ_LINES_CLEARED ? wsq_calloc_large(bytes, 1)
                                              : wsq_alloc_large(bytes);
    if (!block)
        return nullptr;
    const uintptr_t start = (reinterpret_cast<uintptr_t>(block) + kCacheLine) & ~(uintptr_t{kCacheLine} - 1);
    void *p = reinterpret_cast<void *>(start);
    static_cast<void **>(p)[-1] = block;
    return p;
}

void wsq_free_lines(void *p)
{
    if (p)
        wsq_free_large(static_cast<void **>(p)[-1]);
}

void *wsq_alloc_reusable(size_t size)
{
#if defined(WSQ_KEEPS_BUFFERS) && defined(MADV_HUGEPAGE)
    if (size >= kLarge)
        if (void *p = kept().take(size))
            return p;
#endif
    return wsq_alloc_large(size);
}

void *wsq_calloc_large(size_t count, size_t size)
{
    if (size != 0 && count > SIZE_MAX / size)
        return nullptr;
    const size_t bytes = count * size;
    void *p = std::calloc(bytes ? bytes : 1, 1);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    /* A block this big is a fresh mapping that the kernel clears page by
     * page as it is first written (calloc knows, and does not clear it
     * again); the advice asks for huge pages from the first aligned one. */
    if (p && bytes >= kLarge) {
        const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + kHugePage - 1) & ~(kHugePage - 1);
        const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(kHugePage - 1);
        if (end > begin)
            madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
    }
#endif
    return p;
}

void wsq_free_large(void *p)
{
#if defined(WSQ_KEEPS_BUFFERS) && defined(MADV_HUGEPAGE)
    if (p) {
        const size_t size = malloc_usable_size(p);
        if (size >= kLarge && reinterpret_cast<uintptr_t>(p) % kHugePage == 0) {
#if defined(MADV_FREE)
            /* The contents are not needed any more: the kernel may take
             * the pages back under memory pressure instead of swapping. */
            madvise(p, size & ~(kHugePage - 1), MADV_FREE);
#endif
            if (kept().keep(p, size))
                return;
        }
    }
#endif
    std::free(p);
}

void wsq_release_kept_buffers()
{
#if defined(WSQ_KEEPS_BUFFERS)
    kept().release_all();
#endif
}

size_t wsq_kept_bytes()
{
#if defined(WSQ_KEEPS_BUFFERS)
    Kept &k = kept();
    std::lock_guard<std::mutex> lock(k.mutex);
    return k.bytes;
#else
    return 0;
#endif
}
