/*
 * memory.h - internal: allocation of the decoder's large buffers.
 */
#ifndef WSQ_MEMORY_H
#define WSQ_MEMORY_H

#include <cstddef>

/* A buffer of size bytes (null when memory runs out), released with
 * free() or wsq_free_large(). Very large ones (above what malloc keeps in
 * its heap) are aligned to 2 MB and, where the system has them, asked to
 * be backed by huge pages: a decode touches every byte of its fresh
 * buffers once, and with 4 KB pages the page faults alone cost more than
 * a third of the decode of a big image. */
void *wsq_alloc_large(size_t size);

/* The same, or else a very large buffer that an earlier decode released
 * (see wsq_free_large), whose pages are already mapped; its contents are
 * then undefined, as with malloc. For the float image only: see there. */
void *wsq_alloc_reusable(size_t size);

/* A cleared buffer, released with free() or wsq_free_large(). Never a
 * kept one: the kernel's fresh pages are zero already, and clearing a
 * kept buffer would cost as much as the faults it saves. */
void *wsq_calloc_large(size_t count, size_t size);

/* Releases a buffer of any of the three (null is allowed), keeping a very large one for the next decode, which then finds
 * its pages mapped instead of having the kernel clear them again: at most
 * two buffers and kWsqKeptBytes in all, the oldest released first. Where
 * the system can, a kept buffer's pages are handed back lazily, so the
 * kernel may still take them when memory runs short.
 * A kept buffer still counts as memory in use, so this is for the float
 * image only (allocated with wsq_alloc_reusable), which lives to the end
 * of a decode and is what the next decode of the same size asks for: the
 * decode's peak stays what it is without keeping. Only the float image
 * may take a kept buffer: the coefficients, asked for first, would
 * otherwise take it and leave the image to fresh pages. Other buffers
 * are released with free(). */
void wsq_free_large(void *p);

/* A buffer of size bytes on a 64-byte boundary, for rows that vectors go
 * over, from one of the three above: null when memory runs out. Released
 * with wsq_free_lines only (null is allowed), which hands the block to
 * wsq_free_large. */
enum WsqLinesKind { WSQ_LINES_PLAIN, WSQ_LINES_REUSABLE, WSQ_LINES_CLEARED };
void *wsq_alloc_lines(size_t size, WsqLinesKind kind = WSQ_LINES_PLAIN);
void wsq_free_lines(void *p);

/* Releases every kept buffer. */
void wsq_release_kept_buffers();

/* Bytes in kept buffers now. */
size_t wsq_kept_bytes();

/* From this size up a buffer is a mapping of its own (see wsq_alloc_large),
 * and a cleared one costs no clearing beyond the kernel's. */
constexpr size_t kWsqLargeBytes = static_cast<size_t>(32) << 20;

constexpr size_t kWsqKeptBytes = static_cast<size_t>(512) << 20;

#endif /* WSQ_MEMORY_H */
