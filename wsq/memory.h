/*
 * memory.h - internal: allocation of the decoder's large buffers.
 */
#ifndef WSQ_MEMORY_H
#define WSQ_MEMORY_H

#include <cstddef>

/* A buffer of size bytes (null when memory runs out), released with
 * free(). Very large ones (above what malloc keeps in its heap) are aligned
 * to 2 MB and, where the system has them, asked to be backed by huge pages:
 * a decode touches every byte of its fresh buffers once, and with 4 KB
 * pages the page faults alone cost more than a third of the decode of a
 * big image. */
void *wsq_alloc_large(size_t size);

/* The same, cleared. */
void *wsq_calloc_large(size_t count, size_t size);

#endif /* WSQ_MEMORY_H */
