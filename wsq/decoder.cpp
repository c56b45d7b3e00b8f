/*
 * decoder.cpp - file measure and load, the decode pipeline, the current
 * image slot and status texts.
 */
#include <fcntl.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#endif

// The C runtime of Windows has fstat and fileno but not S_ISREG.
#ifndef S_ISREG
#define S_ISREG(mode) (((mode) & S_IFMT) == S_IFREG)
#endif

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>

#include "codestream.h"
#include "dequantize.h"
#include "huffman.h"
#include "memory.h"
#include "reconstruct.h"
#include "synth_kernels.h"
#include "thread_pool.h"
#include "trees.h"
#include "wsq.h"

namespace {

GrayImage g_current{nullptr, 0, 0, 0, 0, 0};

/* Below this many coefficients the blocks are decoded one after the other:
 * handing them out would cost more than it saves. */
constexpr long long kSideBySideCoefficients = 1LL << 16;

/* Opens path for binary reading if it names a regular file. The type is
 * checked on the open descriptor, and the open itself never waits: a FIFO
 * or a device is refused instead of blocking until a writer appears. */
FILE *open_regular(const char *path)
{
    if (!path)
        return nullptr;
#if defined(O_NONBLOCK) && !defined(_WIN32)
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    FILE *file = fdopen(fd, "rb");
    if (!file)
        ::close(fd);
    return file;
#else
    FILE *file = std::fopen(path, "rb");
    if (!file)
        return nullptr;
    struct stat info;
    if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) {
        std::fclose(file);
        return nullptr;
    }
    return file;
#endif
}

/* Owns the working state of one decode; everything is released on every
 * path out of wsq_decode_image. */
struct DecodeState {
    WsqTables tables;
    int16_t *coefficients = nullptr;
    float *image = nullptr;
    unsigned char *pixels = nullptr;

    DecodeState() { wsq_tables_init(&tables); }
    ~DecodeState()
    {
        wsq_transform_table_release(&tables.transform);
        std::free(coefficients);
        wsq_free_lines(image);
        std::free(pixels);
    }
    DecodeState(const DecodeState &) = delete;
    DecodeState &operator=(const DecodeState &) = delete;
};

/* A cleared array of count coefficients, large ones cleared over the
 * decode threads. */
int16_t *cleared_coefficients(size_t count, int threads)
{
    constexpr size_t kParts = 16;
    /* Huge arrays come as fresh pages, which are zero without clearing. */
    if (threads <= 1 || count < (static_cast<size_t>(1) << 18) || count * sizeof(int16_t) >= kWsqLargeBytes)
        return static_cast<int16_t *>(wsq_calloc_large(count, sizeof(int16_t)));
    auto *p = static_cast<int16_t *>(wsq_alloc_large(count * sizeof(int16_t)));
    if (p)
        wsq_parallel_for_split(threads, static_cast<int>(kParts), [&](int part, int) {
            const size_t begin = count * static_cast<size_t>(part) / kParts;
            const size_t end = count * static_cast<size_t>(part + 1) / kParts;
            std::memset(p + begin, 0, (end - begin) * sizeof(int16_t));
        });
    return p;
}

/* What runs beside the block decode: the subbands of each block
 * dequantized as soon as the block is done, and, once the first two are
 * (subbands 0 to 51) while the third, which holds only nodes 2 and 3's
 * subbands, is still decoding, the subtrees below node 1 synthesised. */
constexpr int kEarlySubbands = kWsqBlockFirstSubband[2]; /* subbands 0 to 51: the first two blocks */

struct EarlyWork {
    const WsqQuantTree *quant_tree;
    const WsqWaveletTree *wavelet_tree;
    const WsqTransformTable *transform;
    const int16_t *coefficients;
    float *image;
    WsqZeroRows *zero_rows;
    int width, height;
    uint64_t lazy; /* subbands the synthesis dequantizes itself: only scanned here */
    uint64_t dequantized = 0; /* bit i: subband i is done */
    unsigned done_groups = 0;

    /* One subband at a time, the lowest block first, and only while some
     * block is still decoding: after that, the rest is better split over
     * all threads. Each subband is written as the pass after the decode
     * would write it. */
    static void run(void *context, const WsqQuantTable *quant, const std::atomic<int> *outcome)
    {
        EarlyWork &e = *static_cast<EarlyWork *>(context);
        int next[WSQ_SIDE_BLOCKS];
        for (int b = 0; b < WSQ_SIDE_BLOCKS; ++b)
            next[b] = kWsqBlockFirstSubband[b];
        const auto block_left = [&](int b) { return next[b] < kWsqBlockFirstSubband[b + 1]; };
        for (;;) {
            int state[WSQ_SIDE_BLOCKS];
            bool decoding = false;
            for (int b = 0; b < WSQ_SIDE_BLOCKS; ++b) {
                state[b] = outcome[b].load(std::memory_order_acquire);
                if (state[b] == 2)
                    return; /* the whole will not stand */
                decoding = decoding || state[b] == 0;
            }
            if (!decoding)
                return;
            int b = 0;
            while (b < WSQ_SIDE_BLOCKS && (state[b] != 1 || !block_left(b)))
                ++b;
            if (b < WSQ_SIDE_BLOCKS) {
                const int i = next[b]++;
                wsq_dequantize_subbands(quant, e.quant_tree, e.coefficients, e.width, e.height, e.image, i, i + 1,
                                        1, e.zero_rows, true, kEarlySubbands, 0, e.lazy);
                e.dequantized |= uint64_t{1} << i;
                continue;
            }
            if (!block_left(0) && !block_left(1)) {
                /* Only the third is still decoding. */
                e.done_groups =
                    wsq_synthesize_early(e.image, e.width, e.height, e.wavelet_tree, e.transform, &outcome[2]);
                return;
            }
            std::this_thread::yield();
        }
    }
};

} // namespace

extern "C" {

int wsq_measure_file(const char *path)
{
    FILE *file = open_regular(path);
    if (!file)
        return 0;
    long long size = 0;
    off_t start = ftello(file);
    if (start >= 0 && fseeko(file, 0, SEEK_END) == 0) {
        off_t finish = ftello(file);
        if (finish >= start)
            size = static_cast<long long>(finish - start);
    }
    std::fclose(file);
    /* An int cannot hold the size: refuse rather than cut it. */
    if (size > INT_MAX)
        return WSQ_E_FILE_TOO_LARGE;
    return static_cast<int>(size);
}

int wsq_load_file(const char *path, unsigned char **buffer, int *length)
{
    int size = wsq_measure_file(path);
    if (size < 0)
        return size;
    FILE *file = open_regular(path);
    if (!file)
        return WSQ_E_OPEN_OR_COUNTS;
    /* An empty file still gives a buffer the caller can free. */
    unsigned char *bytes = static_cast<unsigned char *>(std::malloc(size > 0 ? static_cast<size_t>(size) : 1));
    if (!bytes) {
        std::fclose(file);
        return WSQ_E_READ_OR_NOMEM;
    }
    size_t got = size > 0 ? std::fread(bytes, 1, static_cast<size_t>(size), file) : 0;
    std::fclose(file);
    if (got != static_cast<size_t>(size)) {
        std::free(bytes);
        return WSQ_E_READ_OR_NOMEM;
    }
    *buffer = bytes;
    *length = size;
    return 0;
}

int wsq_decode_image(const unsigned char *data, int length, GrayImage *image)
{
    DecodeState state;
    /* A null or empty buffer decodes like data that ends at once. */
    if (!data || length <= 0)
        return WSQ_E_SHORT_DATA;
    ByteCursor cursor = wsq_cursor(data, static_cast<size_t>(length));
    WsqFrameHeader header{};
    int status = wsq_read_up_to_frame(&cursor, &state.tables, &header);
    if (status)
        return status;

    const int width = header.width, height = header.height;
    if (width == 0 || height == 0)
        return WSQ_E_BAD_FRAME;
    const long long total = static_cast<long long>(width) * height;
    if (total > INT_MAX)
        return WSQ_E_IMAGE_ALLOC;

    int ppi = -1;
    if ((status = wsq_ppi_from_comment(data, length, &ppi)) != 0)
        return status;

    WsqWaveletTree wavelet_tree;
    WsqQuantTree quant_tree;
    wsq_build_trees(&wavelet_tree, &quant_tree, width, height);

    /* Cleared, so that data ending early leaves defined zeros. */
    state.coefficients = cleared_coefficients(static_cast<size_t>(total), wsq_decode_threads());
    if (!state.coefficients)
        return WSQ_E_IMAGE_ALLOC;
    const int threads = total >= kSideBySideCoefficients ? wsq_decode_threads() : 1;
    /* When the subbands tile the image, the float image is allocated up
     * front: with blocks side by side, work that needs only the first two
     * starts in it as soon as they are done (without the image the decode
     * goes on as it would anyway). */
    const bool tiles = wsq_synth_level() != WSQ_SYNTH_REFERENCE && wsq_subbands_tile(&quant_tree, width, height);
    if (tiles)
        state.image = static_cast<float *>(wsq_alloc_lines(static_cast<size_t>(total) * sizeof(float), WSQ_LINES_REUSABLE));
    WsqZeroRows zero_rows(&quant_tree);
    /* Nodes 2 and 3 read the third block's subbands (52 to 59) straight
     * from the coefficients, when the layout lets them: the float image's
     * copy would be written only to be read once. */
    uint64_t lazy_subbands = 0;
    for (int i = kWsqBlockFirstSubband[2]; i < WSQ_CODED_SUBBANDS; ++i)
        lazy_subbands |= uint64_t{1} << i;
    if (!state.image || !zero_rows.rows || static_cast<size_t>(total) < wsq_lazy_pixels() ||
        !wsq_synth_reads_lazily(&wavelet_tree, &quant_tree, lazy_subbands))
        lazy_subbands = 0;
    EarlyWork early{&quant_tree, &wavelet_tree, &state.tables.transform, state.coefficients,
                    threads > 1 ? state.image : nullptr, &zero_rows, width, height, lazy_subbands};
    WsqBesideBlocks beside{&EarlyWork::run, &early, false};
    status = wsq_decode_blocks_cleared(state.coefficients, &state.tables.transform, &state.tables.quant,
                                       state.tables.huffman, &cursor, &quant_tree, width, height, threads,
                                       early.image ? &beside : nullptr);
    if (status)
        return status;
    unsigned done_groups = 0;
    bool zero_rows_known = false;
    int fourth = WSQ_FOURTH_ZERO;
    std::optional<WsqLazySubbands> lazy;
    if (state.image && state.tables.quant.defined == 1) {
        const bool ran = early.image && beside.ran;
        /* The synthesis clears the uncoded quadrant and the zero rows of
         * the third block's subbands (those of nodes 2 and 3) only where
         * it reads them, which at low rates is hardly anywhere. */
        wsq_dequantize_subbands(&state.tables.quant, &quant_tree, state.coefficients, width, height, state.image, 0,
                                WSQ_SUBBANDS, total >= (1LL << 18) ? wsq_decode_threads() : 1, &zero_rows, true,
                                kEarlySubbands, ran ? early.dequantized : 0, lazy_subbands);
        fourth = WSQ_FOURTH_UNWRITTEN;
        done_groups = ran ? early.done_groups : 0;
        zero_rows_known = zero_rows.rows != nullptr;
        if (lazy_subbands) {
            /* The synthesis frees the coefficients once nodes 2 and 3 are
             * done, before the bytes are allocated. */
            lazy.emplace(&state.tables.quant, &quant_tree, state.coefficients, static_cast<size_t>(total),
                         lazy_subbands);
            lazy->owned = state.coefficients;
            state.coefficients = nullptr;
        }
    } else {
        wsq_free_lines(state.image);
        state.image = nullptr;
        if ((status = wsq_dequantize(&state.tables.quant, &quant_tree, state.coefficients, width, height,
                                     &state.image)) != 0)
            return status;
    }
    std::free(state.coefficients);
    state.coefficients = nullptr;

    /* The synthesis runs in the float image and writes the bytes of the
     * last node straight out, so no second full-size image is needed. The
     * dequantization left the uncoded quadrant (subbands 60 to 63) zero,
     * or else unwritten, for the synthesis to clear only if it reads it. */
    if ((status = wsq_reconstruct_to_bytes(state.image, width, height, &wavelet_tree, &state.tables.transform,
                                           header.shift, header.scale, &state.pixels, fourth, done_groups,
                                           zero_rows_known ? &zero_rows : nullptr, lazy ? &*lazy : nullptr)) != 0)
        return status;
    wsq_free_lines(state.image);
    state.image = nullptr;

    image->pixels = state.pixels;
    state.pixels = nullptr;
    image->width = width;
    image->height = height;
    image->depth = 8;
    image->ppi = ppi;
    image->lossy = 1;
    return 0;
}

void wsq_free_image(GrayImage *image)
{
    if (!image)
        return;
    std::free(image->pixels);
    *image = GrayImage{nullptr, 0, 0, 0, 0, 0};
}

int wsq_decode_buffer(int *width, int *height, int *depth, int *ppi, int *lossy,
                      const unsigned char *data, int length)
{
    GrayImage decoded{nullptr, 0, 0, 0, 0, 0};
    int status = wsq_decode_image(data, length, &decoded);
    if (status)
        return status;
    /* Pixels a caller left in the slot are released, not leaked. */
    std::free(g_current.pixels);
    g_current.pixels = decoded.pixels;
    g_current.width = decoded.width;
    g_current.height = decoded.height;
    g_current.depth = decoded.depth;
    g_current.ppi = decoded.ppi;
    g_current.lossy = decoded.lossy;
    *width = decoded.width;
    *height = decoded.height;
    *depth = decoded.depth;
    *ppi = decoded.ppi;
    *lossy = decoded.lossy;
    return 0;
}

GrayImage *wsq_current_image(void)
{
    return &g_current;
}

void wsq_release_current_image(void)
{
    wsq_free_image(&g_current);
}

const char *wsq_status_text(int status)
{
    switch (status) {
    case WSQ_OK: return "success";
    case WSQ_E_SEGMENT: return "malformed segment or comment (segment length, Huffman table slot, missing PPI, or no memory)";
    case WSQ_E_NOMEM_3: return "out of memory";
    case WSQ_E_OPEN_OR_COUNTS: return "file cannot be opened, or Huffman code counts above 257";
    case WSQ_E_READ_OR_NOMEM: return "file cannot be read in full, or out of memory";
    case WSQ_E_WRITE: return "output file cannot be written";
    case WSQ_E_EMPTY_IMAGE: return "image has width or height 0";
    case WSQ_E_IMAGE_ALLOC: return "image too large or out of memory";
    case WSQ_E_BYTE_AT_END: return "data ends unexpectedly";
    case WSQ_E_SHORT_DATA: return "data ends unexpectedly";
    case WSQ_E_MARKER_IN_BITS: return "marker inside coded data";
    case WSQ_E_BLOCK: return "undefined Huffman table or too many coefficients";
    case WSQ_E_SYMBOL: return "invalid Huffman code or symbol";
    case WSQ_E_NOT_START: return "not a WSQ file (no start marker)";
    case WSQ_E_EXPECT_TABLE_FRAME: return "unexpected marker before the frame header";
    case WSQ_E_EXPECT_TABLE_BLOCK: return "unexpected marker before a block";
    case WSQ_E_NOT_MARKER: return "marker expected";
    case WSQ_E_MARKER_RANGE: return "unknown marker, or no quantization table";
    case WSQ_E_MARKER_UNKNOWN: return "unexpected marker";
    case WSQ_E_LOWPASS: return "out of memory (low-pass filter)";
    case WSQ_E_HIGHPASS: return "no transform table";
    case WSQ_E_HIGHHALF: return "high-pass filter not defined";
    case WSQ_E_LOWHALF: return "out of memory (transform)";
    case WSQ_E_NO_DATA: return "no data";
    case WSQ_E_DEST_SMALL: return "destination too small";
    case WSQ_E_PNG: return "PNG encoding failed";
    case WSQ_E_FILE_TOO_LARGE: return "file too large (2 GiB or more)";
    case WSQ_E_BAD_TABLE: return "malformed or unsupported table";
    case WSQ_E_BAD_FRAME: return "frame header with width or height 0";
    case WSQ_E_TOO_MANY_PIXELS: return "image has too many pixels";
    default: return status < 0 ? "unknown error" : "success";
    }
}

} // extern "C"
