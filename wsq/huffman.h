/*
 * huffman.h - internal: canonical Huffman decoding of WSQ entropy-coded
 * data (JPEG-style code construction, as the FBI WSQ standard uses),
 * the bit reader with byte stuffing, and the block loop.
 */
#ifndef WSQ_HUFFMAN_H
#define WSQ_HUFFMAN_H

#include <atomic>
#include <cstdint>

#include "codestream.h"
#include "trees.h"

/* One code of a table: its length in bits and its value. A list ends with
 * an entry of length 0. */
struct WsqHuffmanSize {
    uint16_t length;
    uint16_t code;
};

/* Canonical decoding arrays, indexed by code length 1..16 (entry 0 unused). */
struct WsqHuffmanDecoder {
    int32_t max_code[17];    /* largest code of the length, -1 when none */
    int32_t min_code[17];    /* smallest code of the length */
    int32_t first_index[17]; /* position in values of its first symbol */
};

struct WsqBitReader {
    ByteCursor *cursor;
    int bits_left;    /* 0..8 unread bits of current */
    uint8_t current;  /* byte being read, only its unread low bits kept */
    uint8_t after_ff; /* the byte read after an 0xFF */
    uint16_t marker;  /* marker met in the data, 0 when none */
};

/* Size list for the 16 counts: malloc'd (caller frees), room for 257 codes
 * and the terminator. -2 when memory runs out. */
int wsq_huffman_build_sizes(const uint8_t code_counts[16], WsqHuffmanSize **sizes, int *code_count);

/* Fills in the canonical codes. Counts that overfill the code space (a code
 * of length l would need l + 1 bits) give WSQ_E_BAD_TABLE. */
int wsq_huffman_build_codes(WsqHuffmanSize *sizes);

void wsq_huffman_build_decoder(const WsqHuffmanSize *sizes, const uint8_t code_counts[16],
                               WsqHuffmanDecoder *decoder);

/* Next n (1..16) bits, most significant first, into *bits. A marker met
 * while fetching a byte: with n == 1 it is stored in *marker and 0 is
 * returned (the bits are meaningless); with n > 1 the result is -41. */
int wsq_read_bits(WsqBitReader *reader, int n, uint16_t *marker, uint16_t *bits);

/* One symbol into *symbol (0..255), or -1 when a marker ended the data
 * (then reader->marker holds it). No code within 16 bits: -52. */
int wsq_decode_symbol(const WsqHuffmanDecoder *decoder, const uint8_t *values,
                      WsqBitReader *reader, int *symbol);

/* Decodes every block up to the end-of-image marker into coefficients
 * (width * height entries), handling the table and comment segments that
 * stand between blocks; the tables are the decode's records. */
int wsq_decode_blocks(int16_t *coefficients, WsqTransformTable *transform, WsqQuantTable *quant,
                      WsqHuffmanTable *huffman, ByteCursor *cursor, const WsqQuantTree *quant_tree,
                      int width, int height);

/* A standard file has three blocks: subbands 0 to 18, 19 to 51 and 52 to
 * 59. kWsqBlockFirstSubband holds the first subband of each, and the end. */
constexpr int WSQ_SIDE_BLOCKS = 3;
inline constexpr int kWsqBlockFirstSubband[WSQ_SIDE_BLOCKS + 1] = {0, 19, 52, WSQ_CODED_SUBBANDS};

/* Work to run beside the side-by-side decode of the blocks. */
struct WsqBesideBlocks {
    /* Called at most once, on one of the decode threads, as soon as every
     * block has been handed to a thread, while blocks may still be
     * decoding. outcome[b] (b = 0, 1, 2) is 0 while block b is decoding,
     * then 1 if it ended where it was assumed to (its subbands' coefficients
     * are then as the decode leaves them, should the whole stand) and 2 if
     * not (the whole will not stand). The work may read the coefficients of
     * a block only once its outcome is 1, and nothing else of the array.
     * quant is the table the decode ends with. The decode waits for run to
     * return, which it should do once no block is still decoding. */
    void (*run)(void *context, const WsqQuantTable *quant, const std::atomic<int> *outcome);
    void *context;
    /* Set on return: whether run was called and the whole decode stood. */
    bool ran;
};

/* The same for coefficients that are all zero on entry, with the same
 * outcome (coefficients, status, tables, cursor). The three blocks of a
 * standard file are decoded side by side: over the threads, and on each
 * thread two at a time with their inner loops interleaved. beside (if
 * given) runs with them. */
int wsq_decode_blocks_cleared(int16_t *coefficients, WsqTransformTable *transform, WsqQuantTable *quant,
                              WsqHuffmanTable *huffman, ByteCursor *cursor, const WsqQuantTree *quant_tree,
                              int width, int height, int threads,
                              WsqBesideBlocks *beside = nullptr);

/* The same block loop reading one bit at a time through wsq_decode_symbol
 * and wsq_read_bits: the reference the table-driven wsq_decode_blocks must
 * match in coefficients, status and final cursor position on any input. */
int wsq_decode_blocks_reference(int16_t *coefficients, WsqTransformTable *transform,
                                WsqQuantTable *quant, WsqHuffmanTable *huffman, ByteCursor *cursor,
                                const WsqQuantTree *quant_tree, int width, int height);

#endif /* WSQ_HUFFMAN_H */
