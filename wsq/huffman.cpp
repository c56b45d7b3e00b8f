/*
 * huffman.cpp - Huffman tables, bit reader and the block loop.
 */
#include "huffman.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include "thread_pool.h"
#include "wsq.h"

int wsq_huffman_build_sizes(const uint8_t code_counts[16], WsqHuffmanSize **sizes, int *code_count)
{
    auto *list = static_cast<WsqHuffmanSize *>(
        std::calloc(WSQ_MAX_HUFFMAN_VALUES + 1, sizeof(WsqHuffmanSize)));
    if (!list)
        return WSQ_E_SEGMENT;
    int k = 0;
    for (int l = 1; l <= 16; ++l) {
        for (int i = 0; i < code_counts[l - 1] && k < WSQ_MAX_HUFFMAN_VALUES; ++i) {
            list[k].length = static_cast<uint16_t>(l);
            list[k].code = 0;
            ++k;
        }
    }
    list[k].length = 0; /* terminator */
    *sizes = list;
    *code_count = k;
    return 0;
}

int wsq_huffman_build_codes(WsqHuffmanSize *sizes)
{
    /* A table without codes has nothing to number. */
    if (sizes[0].length == 0)
        return 0;
    uint32_t code = 0;
    unsigned size = sizes[0].length;
    for (int k = 0;; ) {
        while (sizes[k].length == size) {
            /* A code of `size` bits must fit in `size` bits. */
            if (code >= (1u << size))
                return WSQ_E_BAD_TABLE;
            sizes[k].code = static_cast<uint16_t>(code);
            ++code;
            ++k;
        }
        if (sizes[k].length == 0)
            return 0;
        while (size < sizes[k].length) {
            code <<= 1;
            ++size;
        }
    }
}

void wsq_huffman_build_decoder(const WsqHuffmanSize *sizes, const uint8_t code_counts[16],
                               WsqHuffmanDecoder *decoder)
{
    decoder->max_code[0] = 0;
    decoder->min_code[0] = 0;
    decoder->first_index[0] = 0;
    int k = 0;
    for (int l = 1; l <= 16; ++l) {
        int n = code_counts[l - 1];
        if (n == 0) {
            decoder->max_code[l] = -1;
            decoder->min_code[l] = 0;
            decoder->first_index[l] = 0;
            continue;
        }
        decoder->first_index[l] = k;
        decoder->min_code[l] = sizes[k].code;
        k += n;
        decoder->max_code[l] = sizes[k - 1].code;
    }
}

/* Fetches the next byte into current, handling a stuffed 0xFF 0x00 pair.
 * Returns 1 when the bytes form a marker (stored in *marker). */
static int fetch_byte(WsqBitReader *reader, uint16_t *marker, int *status)
{
    *status = wsq_read_u8(reader->cursor, &reader->current);
    if (*status)
        return 0;
    reader->bits_left = 8;
    if (reader->current != 0xFF)
        return 0;
    *status = wsq_read_u8(reader->cursor, &reader->after_ff);
    if (*status)
        return 0;
    if (reader->after_ff == 0x00)
        return 0; /* stuffed: the 0xFF is data */
    *marker = static_cast<uint16_t>(0xFF00 | reader->after_ff);
    return 1;
}

int wsq_read_bits(WsqBitReader *reader, int n, uint16_t *marker, uint16_t *bits)
{
    uint32_t result = 0;
    int need = n;
    while (need > 0) {
        if (reader->bits_left == 0) {
            uint16_t found = 0;
            int status;
            if (fetch_byte(reader, &found, &status)) {
                if (n == 1) {
                    *marker = found;
                    *bits = 0;
                    return 0;
                }
                return WSQ_E_MARKER_IN_BITS;
            }
            if (status)
                return status;
        }
        int take = need < reader->bits_left ? need : reader->bits_left;
        int keep = reader->bits_left - take;
        result = (result << take) | ((reader->current >> keep) & ((1u << take) - 1u));
        reader->bits_left = keep;
        reader->current = static_cast<uint8_t>(reader->current & ((1u << keep) - 1u));
        need -= take;
    }
    *bits = static_cast<uint16_t>(result);
    return 0;
}

int wsq_decode_symbol(const WsqHuffmanDecoder *decoder, const uint8_t *values, WsqBitReader *reader,
                      int *symbol)
{
    uint16_t bit;
    reader->marker = 0;
    int status = wsq_read_bits(reader, 1, &reader->marker, &bit);
    if (status)
        return status;
    if (reader->marker) {
        *symbol = -1;
        return 0;
    }
    int32_t code = bit;
    int l = 1;
    while (code > decoder->max_code[l]) {
        /* The arrays cover lengths 1 to 16 only. */
        if (l == 16)
            return WSQ_E_SYMBOL;
        if ((status = wsq_read_bits(reader, 1, &reader->marker, &bit)) != 0)
            return status;
        if (reader->marker) {
            *symbol = -1;
            return 0;
        }
        code = static_cast<int32_t>(static_cast<uint16_t>((code << 1) | bit));
        ++l;
    }
    int32_t index = decoder->first_index[l] + code - decoder->min_code[l];
    if (index < 0 || index >= WSQ_MAX_HUFFMAN_VALUES)
        return WSQ_E_SYMBOL;
    *symbol = values[index];
    return 0;
}


/* ------------------------------------------------------------------------
 * Table-driven decoding
 *
 * The block loop below runs with one of two readers. The serial one reads
 * a bit at a time through wsq_decode_symbol and wsq_read_bits. The fast one
 * keeps up to 64 un-stuffed bits in an accumulator and looks codes up in a
 * table; where the buffered bits run out at a marker or at the end of the
 * data it goes on bit by bit, fetching exactly as the serial reader does,
 * so that both give the same symbols, the same status codes and leave the
 * cursor in the same place.
 * --------------------------------------------------------------------- */

namespace {

constexpr int kLookupBits = 11;

/* Lookup entry: symbol in bits 0-7, code length in bits 8-12. 0: the code
 * is longer than kLookupBits. kBadCode set: the code of that length points
 * outside the values (no symbol). */
constexpr uint16_t kBadCode = 0x8000;

/* What a looked-up code asks of the block loop's fast path. */
enum : unsigned {
    kPlain = 0,      /* one coefficient or a run of 1..100 zeros */
    kPositive8 = 1,  /* 101 */
    kNegative8 = 2,  /* 102 */
    kPositive16 = 3, /* 103 */
    kNegative16 = 4, /* 104 */
    kRun8 = 5,       /* 105 */
    kRun16 = 6,      /* 106 */
    kStop = 7        /* anything else: the careful path */
};

struct BlockTable {
    WsqHuffmanDecoder arrays;
    const uint8_t *values;
    uint16_t lookup[1u << kLookupBits];
    /* Code length in bits 0-4, kind in bits 5-7; for kPlain the number of
     * coefficients in bits 8-15 and the first one's value in bits 16-31. */
    uint32_t plain[1u << kLookupBits];
    /* One plain code, or two within kLookupBits bits: bit 5 set, their
     * total length in bits 0-4, the first's count of coefficients in bits
     * 8-15 and value in 16-31, the second's (0 and 0 for one code) in bits
     * 32-39 and 40-55. 0 for any other string. */
    uint64_t pair[1u << kLookupBits];
};

constexpr uint64_t kPairFlag = 1u << 5;

/* True for the plain entry of a code (kind kPlain, a length). */
inline bool plain_code(uint32_t entry)
{
    return (entry & 0xE0u) == 0 && (entry & 31u) != 0;
}

/* The entries of one or two codes, from the plain entries. Without
 * branches: which codes are plain follows the table's contents. */
void build_pairs(BlockTable *table)
{
    const uint32_t mask = (1u << kLookupBits) - 1;
    for (uint32_t v = 0; v <= mask; ++v) {
        const uint32_t first = table->plain[v];
        const uint32_t l1 = first & 31u;
        /* l1 is at most kLookupBits; at kLookupBits the second is never
         * taken, since its length would have to be 0. */
        const uint32_t second = table->plain[(v << l1) & mask];
        const uint32_t l2 = second & 31u;
        const uint64_t one = l1 | kPairFlag | (static_cast<uint64_t>(first >> 8) << 8);
        const uint64_t two = (one + l2) | (static_cast<uint64_t>(second >> 8) << 32);
        const bool first_ok = plain_code(first);
        const bool second_ok = first_ok && plain_code(second) && l1 + l2 <= static_cast<uint32_t>(kLookupBits);
        table->pair[v] = second_ok ? two : first_ok ? one : 0;
    }
}

/* Looks a code of length l up in the values as wsq_decode_symbol does:
 * the symbol, or -1 when the position lies outside them. */
inline int symbol_at(const BlockTable &table, int l, int32_t code)
{
    int32_t index = table.arrays.first_index[l] + code - table.arrays.min_code[l];
    if (index < 0 || index >= WSQ_MAX_HUFFMAN_VALUES)
        return -1;
    return table.values[index];
}

/* The fast path's entry for symbol s (-1: none) with a code of l bits. */
inline uint32_t plain_entry(int l, int s)
{
    auto length = static_cast<uint32_t>(l);
    if (s >= 1 && s <= 100)
        return length | (static_cast<uint32_t>(s) << 8);
    if (s >= 107 && s <= 254)
        return length | (1u << 8) | (static_cast<uint32_t>(static_cast<uint16_t>(s - 180)) << 16);
    if (s >= 101 && s <= 106)
        return length | (static_cast<uint32_t>(s - 100) << 5);
    return kStop << 5;
}

/* Fills the lookup from the canonical arrays. A kLookupBits-bit string v
 * ends at the first length l whose l-bit prefix is at most max_code[l],
 * that is v < (max_code[l] + 1) << (kLookupBits - l). The strings below
 * that bound and not claimed by a shorter length get length l. */
void build_lookup(BlockTable *table)
{
    const int64_t size = int64_t{1} << kLookupBits;
    int64_t claimed = 0;
    for (int l = 1; l <= kLookupBits; ++l) {
        int64_t bound = (static_cast<int64_t>(table->arrays.max_code[l]) + 1) << (kLookupBits - l);
        if (bound > size)
            bound = size;
        for (int64_t v = claimed; v < bound;) {
            /* All strings sharing the l-bit prefix share the entry. */
            int64_t code = v >> (kLookupBits - l);
            int s = symbol_at(*table, l, static_cast<int32_t>(code));
            auto entry = static_cast<uint16_t>(s < 0 ? (kBadCode | (l << 8)) : ((l << 8) | s));
            uint32_t plain = plain_entry(l, s);
            int64_t stop = std::min(bound, (code + 1) << (kLookupBits - l));
            for (; v < stop; ++v) {
                table->lookup[v] = entry;
                table->plain[v] = plain;
            }
        }
        if (bound > claimed)
            claimed = bound;
    }
    for (int64_t v = claimed; v < size; ++v) {
        table->lookup[v] = 0;
        table->plain[v] = kStop << 5;
    }
}

/* Builds the decoding arrays (and with lookup, the table) for one block. */
int prepare_table(const WsqHuffmanTable *huffman, BlockTable *table, bool lookup)
{
    WsqHuffmanSize *sizes = nullptr;
    int code_count = 0;
    int status = wsq_huffman_build_sizes(huffman->code_counts, &sizes, &code_count);
    if (status)
        return status;
    status = wsq_huffman_build_codes(sizes);
    if (status == 0)
        wsq_huffman_build_decoder(sizes, huffman->code_counts, &table->arrays);
    std::free(sizes);
    table->values = huffman->values;
    if (status == 0 && lookup) {
        build_lookup(table);
        build_pairs(table);
    }
    return status;
}

/* The bit-at-a-time reader. */
class SerialReader {
public:
    static constexpr bool kLookup = false;

    void start(ByteCursor *cursor)
    {
        reader_ = WsqBitReader{cursor, 0, 0, 0, 0};
    }
    int symbol(const BlockTable &table, int *symbol)
    {
        return wsq_decode_symbol(&table.arrays, table.values, &reader_, symbol);
    }
    int raw(int n, uint16_t *value) { return wsq_read_bits(&reader_, n, &reader_.marker, value); }
    uint16_t marker() const { return reader_.marker; }
    void sync() {}

private:
    WsqBitReader reader_{nullptr, 0, 0, 0, 0};
};

inline uint64_t load_be64(const uint8_t *p)
{
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little)
        v = __builtin_bswap64(v);
    return v;
}

/* True when one of the eight bytes is 0xFF. */
inline bool has_ff(uint64_t v)
{
    uint64_t inv = ~v;
    return ((inv - 0x0101010101010101ull) & ~inv & 0x8080808080808080ull) != 0;
}

/* Tops an accumulator of nbits bits (most significant first; below them
 * zeros, or the leading bits of the bytes from pos on, which it adds again
 * in the same places) up to 56..63 bits from pos. Returns true, for good,
 * at the end of the data, at a marker, or at an 0xFF that is the last
 * byte: where the serial reader's next fetch fails or finds the marker. */
inline bool refill_bits(uint64_t &acc, int &nbits, const uint8_t *&pos, const uint8_t *end)
{
    while (nbits < 56) {
        if (end - pos >= 8) {
            uint64_t next = load_be64(pos);
            if (!has_ff(next)) {
                acc |= next >> nbits;
                pos += (63 - nbits) >> 3;
                nbits |= 56;
                acc &= ~(~uint64_t{0} >> nbits);
                return false;
            }
        }
        if (pos >= end)
            return true;
        uint8_t byte = *pos;
        if (byte == 0xFF) {
            if (end - pos < 2 || pos[1] != 0x00)
                return true;
            pos += 2;
        } else {
            ++pos;
        }
        acc |= static_cast<uint64_t>(byte) << (56 - nbits);
        nbits += 8;
    }
    return false;
}

/* The accumulator reader. acc_ holds nbits_ bits, most significant first;
 * pos_ is the first byte not taken into it. Below those bits lie zeros or
 * the leading bits of the bytes from pos_ on (never a stuffed byte's),
 * which a refill ORs in again at the same places; nothing reads them
 * before. */
class FastReader {
public:
    static constexpr bool kLookup = true;

    void start(ByteCursor *cursor)
    {
        cursor_ = cursor;
        pos_ = cursor->pos;
        end_ = cursor->end;
        acc_ = 0;
        nbits_ = 0;
        stopped_ = false;
        marker_ = 0;
    }

    int symbol(const BlockTable &table, int *symbol)
    {
        if (nbits_ < 32) {
            refill();
            if (nbits_ < 16)
                return slow_symbol(table, symbol);
        }
        unsigned entry = table.lookup[acc_ >> (64 - kLookupBits)];
        if (static_cast<uint16_t>(entry - 1u) < kBadCode - 1u) {
            consume(static_cast<int>(entry >> 8));
            *symbol = static_cast<int>(entry & 0xFFu);
            return 0;
        }
        return long_symbol(table, entry, symbol);
    }

    int raw(int n, uint16_t *value)
    {
        if (nbits_ >= n) {
            *value = static_cast<uint16_t>(acc_ >> (64 - n));
            consume(n);
            return 0;
        }
        return slow_raw(n, value);
    }

    uint16_t marker() const { return marker_; }

    /* Decodes symbols while they are plain: a code found in the lookup,
     * its raw bits buffered, the coefficients within the bound. Stops,
     * having consumed nothing of it, before the first symbol that is not,
     * which the block loop then takes the careful way. */
    void run(const BlockTable &table, int16_t *coefficients, int64_t &count, int64_t expected, bool cleared)
    {
        /* Locals, so that they stay in registers across the stores. */
        Bits b = take(count);
        if (cleared) {
            for (;;) {
                /* With 54 bits or more, two steps need no refill between
                 * them: a step takes at most kStepBits. */
                if (quick_refill(b, end_) || b.nbits >= 2 * kStepBits) {
                    if (!step<true>(b, table, coefficients, expected) || !step<true>(b, table, coefficients, expected))
                        break;
                } else if (!once<true>(b, table, coefficients, expected)) {
                    break;
                }
            }
        } else {
            while (once<false>(b, table, coefficients, expected)) {
            }
        }
        give(b, count);
    }

    /* Two blocks' fast loops at once, into cleared coefficients. Within a
     * block each look-up waits on the one before it; two blocks in one
     * loop give the processor two such chains to overlap. Returns whether
     * the second reader (rather than the first) is the one that stopped,
     * before a symbol its own run would have stopped at or a refill the
     * quick way cannot do. */
    static bool run_two(FastReader &ra, const BlockTable &ta, int64_t &ca, int64_t ea, FastReader &rb,
                        const BlockTable &tb, int64_t &cb, int64_t eb, int16_t *coefficients)
    {
        Bits a = ra.take(ca), b = rb.take(cb);
        bool second = false;
        for (;;) {
            if (!quick_refill(a, ra.end_) && a.nbits < 2 * kStepBits)
                break;
            if (!quick_refill(b, rb.end_) && b.nbits < 2 * kStepBits) {
                second = true;
                break;
            }
            if (!step<true>(a, ta, coefficients, ea))
                break;
            if (!step<true>(b, tb, coefficients, eb)) {
                second = true;
                break;
            }
            if (!step<true>(a, ta, coefficients, ea))
                break;
            if (!step<true>(b, tb, coefficients, eb)) {
                second = true;
                break;
            }
        }
        ra.give(a, ca);
        rb.give(b, cb);
        return second;
    }

    /* One step of run, the careful refill included: false, having consumed
     * nothing, where run would stop. */
    bool run_once(const BlockTable &table, int16_t *coefficients, int64_t &count, int64_t expected)
    {
        Bits b = take(count);
        const bool went = once<true>(b, table, coefficients, expected);
        give(b, count);
        return went;
    }

    /* Puts the cursor where the serial reader would have it: just past the
     * last byte whose bits were (even partly) used. */
    void sync()
    {
        const uint8_t *p = pos_;
        for (int i = 0; i < nbits_ / 8; ++i) {
            auto byte = static_cast<uint8_t>(acc_ >> (64 - nbits_ + 8 * i));
            p -= byte == 0xFF ? 2 : 1;
        }
        cursor_->pos = p;
    }

private:
    /* The fast loop's state, copied into locals. */
    struct Bits {
        uint64_t acc;
        int nbits;
        const uint8_t *pos;
        int64_t n;
    };
    /* The most bits one step takes: an 11-bit code and 16 raw bits. */
    static constexpr int kStepBits = kLookupBits + 16;

    Bits take(int64_t count) const { return {acc_, nbits_, pos_, count}; }
    void give(const Bits &b, int64_t &count)
    {
        acc_ = b.acc;
        nbits_ = b.nbits;
        pos_ = b.pos;
        count = b.n;
    }

    /* Tops the bits up to 56..63 when the next eight bytes hold no 0xFF
     * (no branch then hangs on the bits left, which no predictor can
     * follow); false, changing nothing, otherwise. The bits of those bytes
     * not counted stay below the new ones (see the class comment). */
    static bool quick_refill(Bits &b, const uint8_t *end)
    {
        if (end - b.pos < 8)
            return false;
        const uint64_t next = load_be64(b.pos);
        if (has_ff(next))
            return false;
        b.acc |= next >> b.nbits;
        b.pos += (63 - b.nbits) >> 3;
        b.nbits |= 56;
        return true;
    }

    /* One step with either refill: false where run stops. */
    template <bool Cleared>
    bool once(Bits &b, const BlockTable &table, int16_t *coefficients, int64_t expected)
    {
        if (!quick_refill(b, end_) && b.nbits < 32) {
            if (!stopped_)
                stopped_ = refill_bits(b.acc, b.nbits, b.pos, end_);
            if (b.nbits < 32)
                return false;
        }
        return step<Cleared>(b, table, coefficients, expected);
    }

    /* One symbol, or two plain codes, with at least kStepBits bits
     * buffered: false, having consumed nothing, before a symbol the fast
     * loop does not take (a long or bad code, a marker) or one that would
     * pass the bound. */
    template <bool Cleared>
    static bool step(Bits &b, const BlockTable &table, int16_t *coefficients, int64_t expected)
    {
        const unsigned index = static_cast<unsigned>(b.acc >> (64 - kLookupBits));
        if (Cleared) {
            /* One plain code, or two where they fit, with no branch on
             * which. A single code stores a zero just after its
             * coefficients as the second, where nothing is decoded yet:
             * hence strictly below the bound. */
            const uint64_t two = table.pair[index];
            if (two & kPairFlag) {
                const int64_t first = static_cast<int64_t>((two >> 8) & 0xFFu);
                const int64_t both = first + static_cast<int64_t>((two >> 32) & 0xFFu);
                if (b.n + both < expected) {
                    coefficients[b.n] = static_cast<int16_t>(two >> 16);
                    coefficients[b.n + first] = static_cast<int16_t>(two >> 40);
                    b.n += both;
                    const int length = static_cast<int>(two & 31u);
                    b.acc <<= length;
                    b.nbits -= length;
                    return true;
                }
            }
        }
        const uint32_t entry = table.plain[index];
        const int length = static_cast<int>(entry & 31u);
        const unsigned kind = (entry >> 5) & 7u;
        if (kind == kPlain) {
            const int advance = static_cast<int>((entry >> 8) & 0xFFu);
            if (b.n + advance > expected)
                return false;
            if (Cleared)
                /* A run's entry holds the value 0, and its first
                 * coefficient is zero already. */
                coefficients[b.n] = static_cast<int16_t>(entry >> 16);
            else if (advance == 1)
                coefficients[b.n] = static_cast<int16_t>(entry >> 16);
            else
                std::fill(coefficients + b.n, coefficients + b.n + advance, int16_t{0});
            b.n += advance;
            b.acc <<= length;
            b.nbits -= length;
            return true;
        }
        if (kind == kStop)
            return false;
        const int raw_bits = kind <= kNegative8 || kind == kRun8 ? 8 : 16;
        const auto raw = static_cast<uint32_t>((b.acc << length) >> (64 - raw_bits));
        if (kind >= kRun8) {
            if (b.n + raw > expected)
                return false;
            if (!Cleared)
                std::fill(coefficients + b.n, coefficients + b.n + raw, int16_t{0});
            b.n += raw;
        } else {
            if (b.n >= expected)
                return false;
            int value;
            if (kind == kPositive8)
                value = static_cast<int>(raw);
            else if (kind == kNegative8)
                value = -static_cast<int>(raw);
            else if (kind == kPositive16)
                value = static_cast<int16_t>(raw);
            else
                value = static_cast<int16_t>(static_cast<uint16_t>(0u - raw));
            coefficients[b.n++] = static_cast<int16_t>(value);
        }
        b.acc <<= length + raw_bits;
        b.nbits -= length + raw_bits;
        return true;
    }

    void consume(int n)
    {
        acc_ <<= n;
        nbits_ -= n;
    }

    void refill()
    {
        if (!stopped_)
            stopped_ = refill_bits(acc_, nbits_, pos_, end_);
    }

    /* The serial reader's byte fetch at pos_, through the cursor, for when
     * the accumulator is empty: 1 with *found set for a marker, 0 with the
     * byte's 8 bits buffered, or a read error. */
    int fetch(uint16_t *found)
    {
        cursor_->pos = pos_;
        uint8_t byte = 0;
        uint8_t after = 0;
        int status = wsq_read_u8(cursor_, &byte);
        if (status == 0 && byte == 0xFF) {
            status = wsq_read_u8(cursor_, &after);
            if (status == 0 && after != 0x00)
                *found = static_cast<uint16_t>(0xFF00 | after);
        }
        pos_ = cursor_->pos;
        if (status)
            return status;
        if (*found)
            return 1;
        acc_ = static_cast<uint64_t>(byte) << 56;
        nbits_ = 8;
        return 0;
    }

    /* One bit as the serial reader gives it: 0 with *bit, 1 with *found for
     * a marker, or a read error. */
    int next_bit(int *bit, uint16_t *found)
    {
        if (nbits_ == 0) {
            refill();
            if (nbits_ == 0) {
                int status = fetch(found);
                if (status)
                    return status;
            }
        }
        *bit = static_cast<int>(acc_ >> 63);
        consume(1);
        return 0;
    }

    /* A code with fewer than 16 bits buffered: bit by bit. */
    int slow_symbol(const BlockTable &table, int *symbol)
    {
        int32_t code = 0;
        for (int l = 1;; ++l) {
            int bit = 0;
            uint16_t found = 0;
            int status = next_bit(&bit, &found);
            if (status < 0)
                return status;
            if (status == 1) {
                marker_ = found;
                *symbol = -1;
                return 0;
            }
            code = static_cast<int32_t>(static_cast<uint16_t>((code << 1) | bit));
            if (code <= table.arrays.max_code[l]) {
                int s = symbol_at(table, l, code);
                if (s < 0)
                    return WSQ_E_SYMBOL;
                *symbol = s;
                return 0;
            }
            if (l == 16)
                return WSQ_E_SYMBOL;
        }
    }

    /* A lookup miss with at least 16 bits buffered: a bad code, or a code
     * longer than the lookup, found over the canonical arrays. */
    int long_symbol(const BlockTable &table, unsigned entry, int *symbol)
    {
        if (entry & kBadCode) {
            consume(static_cast<int>((entry >> 8) & 0x1Fu));
            return WSQ_E_SYMBOL;
        }
        for (int l = kLookupBits + 1; l <= 16; ++l) {
            auto code = static_cast<int32_t>(acc_ >> (64 - l));
            if (code <= table.arrays.max_code[l]) {
                consume(l);
                int s = symbol_at(table, l, code);
                if (s < 0)
                    return WSQ_E_SYMBOL;
                *symbol = s;
                return 0;
            }
        }
        consume(16);
        return WSQ_E_SYMBOL;
    }

    /* Raw bits crossing the end of the buffered bits: bit by bit, a marker
     * failing with -41. */
    int slow_raw(int n, uint16_t *value)
    {
        uint32_t result = 0;
        for (int i = 0; i < n; ++i) {
            int bit = 0;
            uint16_t found = 0;
            int status = next_bit(&bit, &found);
            if (status < 0)
                return status;
            if (status == 1)
                return WSQ_E_MARKER_IN_BITS;
            result = (result << 1) | static_cast<uint32_t>(bit);
        }
        *value = static_cast<uint16_t>(result);
        return 0;
    }

    ByteCursor *cursor_ = nullptr;
    const uint8_t *pos_ = nullptr;
    const uint8_t *end_ = nullptr;
    uint64_t acc_ = 0;
    int nbits_ = 0;
    bool stopped_ = false;
    uint16_t marker_ = 0;
};

/* One symbol the careful way: 0 to go on, 1 at the marker that ends the
 * block (in *marker), or an error with the cursor where the serial reader
 * would leave it. */
template <class Reader>
int careful_symbol(Reader &reader, const BlockTable &table, int16_t *coefficients, int64_t &count,
                   int64_t expected, int64_t total, bool cleared, uint16_t *marker)
{
    auto fail = [&](int code) {
        reader.sync();
        return code;
    };
    int symbol;
    int status = reader.symbol(table, &symbol);
    if (status != 0)
        return fail(status);
    if (symbol == -1) {
        *marker = reader.marker();
        return 1;
    }

    if (count > expected)
        return fail(WSQ_E_BLOCK);

    if (symbol >= 107 && symbol <= 254) {
        if (count >= total)
            return fail(WSQ_E_BLOCK);
        coefficients[count++] = static_cast<int16_t>(symbol - 180);
        return 0;
    }

    int64_t run = -1; /* zero run length, or -1 for a single coefficient */
    int value = 0;
    uint16_t raw;
    if (symbol >= 1 && symbol <= 100) {
        run = symbol;
    } else if (symbol == 101 || symbol == 102 || symbol == 105) {
        if ((status = reader.raw(8, &raw)) != 0)
            return fail(status);
        if (symbol == 105)
            run = raw;
        else
            value = symbol == 101 ? raw : -static_cast<int>(raw);
    } else if (symbol == 103 || symbol == 104 || symbol == 106) {
        if ((status = reader.raw(16, &raw)) != 0)
            return fail(status);
        if (symbol == 106)
            run = raw;
        else if (symbol == 103)
            value = static_cast<int16_t>(raw);
        else
            value = static_cast<int16_t>(static_cast<uint16_t>(0u - raw));
    } else {
        return fail(WSQ_E_SYMBOL); /* 0 and 255 are not in the alphabet */
    }

    if (run >= 0) {
        if (count + run > expected)
            return fail(WSQ_E_BLOCK);
        if (!cleared)
            std::fill(coefficients + count, coefficients + count + run, int16_t{0});
        count += run;
    } else {
        if (count >= total)
            return fail(WSQ_E_BLOCK);
        coefficients[count++] = static_cast<int16_t>(value);
    }
    return 0;
}

/* One block's data, from the reader's position up to the marker that ends
 * it: 0 with the marker in *marker, or an error with the cursor where the
 * serial reader would leave it. count runs on from the blocks before. With
 * cleared, the coefficients not yet decoded are known to be zero and runs
 * of zeros are not written. */
template <class Reader>
int block_data(Reader &reader, const BlockTable &table, int16_t *coefficients, int64_t &count,
               int64_t expected, int64_t total, bool cleared, uint16_t *marker)
{
    for (;;) {
        if constexpr (Reader::kLookup)
            reader.run(table, coefficients, count, expected, cleared);
        const int status = careful_symbol(reader, table, coefficients, count, expected, total, cleared, marker);
        if (status)
            return status < 0 ? status : 0;
    }
}

/* The coefficients expected at most: all of them but those of subbands of
 * bin width 0, which carry none. */
int64_t expected_coefficients(const WsqQuantTable *quant, const WsqQuantTree *quant_tree, int64_t total)
{
    int64_t expected = total;
    for (int i = 0; i < WSQ_SUBBANDS; ++i)
        if (quant->bin_width[i] == 0.0f)
            expected -= static_cast<int64_t>(quant_tree->nodes[i].lenx) * quant_tree->nodes[i].leny;
    return expected;
}

/* The comment segments that may follow the third block's data, from
 * *marker on: 0 with the marker after them in *marker, or an error. */
int read_trailing_comments(uint16_t *marker, WsqTransformTable *transform, WsqQuantTable *quant,
                           WsqHuffmanTable *huffman, ByteCursor *cursor)
{
    while (*marker == WSQ_MARKER_COMMENT) {
        int status = wsq_read_table_segment(*marker, transform, quant, huffman, cursor);
        if (status)
            return status;
        if ((status = wsq_read_marker(cursor, expect_any, marker)) != 0)
            return status;
    }
    return 0;
}

template <class Reader>
int decode_blocks(int16_t *coefficients, WsqTransformTable *transform, WsqQuantTable *quant,
                  WsqHuffmanTable *huffman, ByteCursor *cursor, const WsqQuantTree *quant_tree,
                  int width, int height, bool cleared)
{
    const int64_t total = static_cast<int64_t>(width) * height;
    if (width < 0 || height < 0 || total > INT_MAX)
        return WSQ_E_IMAGE_ALLOC;

    uint16_t marker;
    int status = wsq_read_marker(cursor, expect_table_or_block, &marker);
    if (status)
        return status;

    int64_t count = 0;
    int64_t expected = total; /* N: an upper bound on the coefficients coded */
    bool adjusted = false;
    BlockTable table; /* filled at each block start */
    Reader reader;

    for (int blocks = 1;; ++blocks) {
        while (marker != WSQ_MARKER_BLOCK) {
            status = wsq_read_table_segment(marker, transform, quant, huffman, cursor);
            if (status)
                return status;
            if ((status = wsq_read_marker(cursor, expect_table_or_block, &marker)) != 0)
                return status;
        }
        if (!adjusted && quant->defined) {
            expected = expected_coefficients(quant, quant_tree, total);
            adjusted = true;
        }
        uint8_t id;
        if ((status = wsq_read_block_header(cursor, &id)) != 0)
            return status;
        if (id >= WSQ_HUFFMAN_SLOTS || !huffman[id].defined)
            return WSQ_E_BLOCK;
        if ((status = prepare_table(&huffman[id], &table, Reader::kLookup)) != 0)
            return status;
        /* Each block starts on a byte boundary. */
        reader.start(cursor);
        if ((status = block_data(reader, table, coefficients, count, expected, total, cleared, &marker)) != 0)
            return status;

        /* Comments may follow the third block's data. */
        if (blocks == 3 && (status = read_trailing_comments(&marker, transform, quant, huffman, cursor)) != 0)
            return status;
        if (marker == WSQ_MARKER_END)
            return 0;
    }
}

/* ------------------------------------------------------------------------
 * Blocks side by side
 *
 * The blocks' data can be found without decoding it: it runs up to the
 * first 0xFF not followed by 0x00. A block's symbols depend only on its
 * table and its bytes; what ties the blocks together is the coefficient
 * count each one starts at. So the segments are read ahead (on copies of
 * the tables), each block is decoded on its own from the count a standard
 * file gives it (the coefficients of the subbands of the blocks before),
 * and the result stands only if every block ended cleanly at the marker
 * found for it, exactly where the next one was assumed to start. Anything
 * else, and the caller decodes the usual way, one block after the other.
 * --------------------------------------------------------------------- */

constexpr int kSideBlocks = WSQ_SIDE_BLOCKS;
constexpr const int *kBlockFirstSubband = kWsqBlockFirstSubband;

struct SideBlock {
    WsqHuffmanTable huffman; /* the block's table as it stood at its start */
    /* Blocks usually share a table: the block whose look-up tables this
     * one uses (itself or an earlier one with the same table), and for
     * those of its own, whether they are built: 0 not yet, 1 being built
     * by some thread, 2 built, 3 not buildable. The thread that decodes a
     * block builds them first, so that the blocks' tables are built side
     * by side too. */
    int owner;
    std::atomic<int> table_state{0};
    BlockTable table;
    const uint8_t *start;  /* first data byte */
    const uint8_t *finish; /* the 0xFF of the marker that ends the data */
    uint16_t marker;
    int64_t first; /* assumed starting count */
    int64_t last;  /* count at the marker */
    int status;
    uint16_t met; /* marker met by the decoder */
    const uint8_t *after; /* its cursor afterwards */
};

/* The first 0xFF not followed by 0x00 from p on, or null when there is
 * none (or it is the last byte). */
const uint8_t *find_marker(const uint8_t *p, const uint8_t *end)
{
    while (p < end) {
        p = static_cast<const uint8_t *>(std::memchr(p, 0xFF, static_cast<size_t>(end - p)));
        if (!p || end - p < 2)
            return nullptr;
        if (p[1] != 0x00)
            return p;
        p += 2;
    }
    return nullptr;
}

/* Reads the segments and finds the blocks as the block loop would, on the
 * copies quant and huffman. False for anything this path leaves to the
 * block loop: any error, a transform table after the frame, a quantization
 * table between blocks, other than three blocks. */
bool find_blocks(ByteCursor cur, WsqQuantTable &quant, WsqHuffmanTable *huffman, SideBlock *blocks,
                 const uint8_t **final_pos)
{
    WsqTransformTable unused{};
    uint16_t marker;
    if (wsq_read_marker(&cur, expect_table_or_block, &marker))
        return false;
    for (int b = 0; b < kSideBlocks; ++b) {
        while (marker != WSQ_MARKER_BLOCK) {
            if (marker == WSQ_MARKER_TRANSFORM || (marker == WSQ_MARKER_QUANT && b > 0))
                return false;
            if (wsq_read_table_segment(marker, &unused, &quant, huffman, &cur))
                return false;
            if (wsq_read_marker(&cur, expect_table_or_block, &marker))
                return false;
        }
        if (!quant.defined)
            return false;
        uint8_t id;
        if (wsq_read_block_header(&cur, &id) || id >= WSQ_HUFFMAN_SLOTS || !huffman[id].defined)
            return false;
        SideBlock &block = blocks[b];
        block.huffman = huffman[id];
        const bool same = b > 0 && std::memcmp(&block.huffman, &blocks[b - 1].huffman, sizeof block.huffman) == 0;
        block.owner = same ? blocks[b - 1].owner : b;
        block.start = cur.pos;
        block.finish = find_marker(cur.pos, cur.end);
        if (!block.finish)
            return false;
        marker = static_cast<uint16_t>(0xFF00 | block.finish[1]);
        block.marker = marker;
        cur.pos = block.finish + 2;
        if (b == 2 && read_trailing_comments(&marker, &unused, &quant, huffman, &cur))
            return false;
        if (marker == WSQ_MARKER_END) {
            *final_pos = cur.pos;
            return b == kSideBlocks - 1;
        }
    }
    return false;
}

/* The side-by-side decode: true when it stands (the outcome is success,
 * the tables and cursor as the block loop leaves them), false when it does
 * not and coefficients are all zero again. */
bool decode_side_by_side(int16_t *coefficients, WsqQuantTable *quant, WsqHuffmanTable *huffman,
                         ByteCursor *cursor, const WsqQuantTree *quant_tree, int64_t total, int threads,
                         WsqBesideBlocks *beside)
{
    WsqQuantTable quant_copy = *quant;
    WsqHuffmanTable huffman_copy[WSQ_HUFFMAN_SLOTS];
    std::memcpy(huffman_copy, huffman, sizeof huffman_copy);
    std::unique_ptr<SideBlock[]> blocks;
    try {
        blocks.reset(new SideBlock[kSideBlocks]);
    } catch (const std::bad_alloc &) {
        return false;
    }
    const uint8_t *final_pos = nullptr;
    if (!find_blocks(*cursor, quant_copy, huffman_copy, blocks.get(), &final_pos))
        return false;

    const int64_t expected = expected_coefficients(&quant_copy, quant_tree, total);
    int64_t first = 0;
    for (int b = 0; b < kSideBlocks; ++b) {
        blocks[b].first = first;
        for (int i = kBlockFirstSubband[b]; i < kBlockFirstSubband[b + 1]; ++i)
            if (quant_copy.bin_width[i] != 0.0f)
                first += static_cast<int64_t>(quant_tree->nodes[i].lenx) * quant_tree->nodes[i].leny;
    }
    /* A block stands when it ended cleanly at its marker, with exactly the
     * count the next block was assumed to start from. */
    const auto block_stands = [&](int b) {
        const SideBlock &block = blocks[b];
        return block.status == 0 && block.met == block.marker && block.after == block.finish + 2 &&
               (b + 1 == kSideBlocks || block.last == blocks[b + 1].first);
    };
    /* Per block: 0 while it is decoding, then 1 if it stands, 2 if not. */
    std::atomic<int> outcome[kSideBlocks] = {0, 0, 0};

    /* Block b's decode in progress. Each block writes only up to where the
     * next is assumed to start, so that blocks running at once never write
     * the same coefficient. A block that would go further fails there; it
     * could not have stood anyway, its count only growing past that start. */
    struct Run {
        int b;
        const BlockTable *table;
        ByteCursor cursor;
        FastReader reader;
        int64_t expected, total;
    };
    /* Builds block b's look-up tables unless they are built or being
     * built; false if they cannot be. */
    const auto table_ready = [&](int b) {
        SideBlock &owner = blocks[blocks[b].owner];
        int state = 0;
        if (owner.table_state.compare_exchange_strong(state, 1, std::memory_order_acquire)) {
            state = prepare_table(&owner.huffman, &owner.table, true) ? 3 : 2;
            owner.table_state.store(state, std::memory_order_release);
        }
        while (state == 1) {
            std::this_thread::yield();
            state = owner.table_state.load(std::memory_order_acquire);
        }
        return state == 2;
    };
    const auto begin = [&](Run &run, int b) {
        SideBlock &block = blocks[b];
        run.b = b;
        run.table = &blocks[block.owner].table;
        run.cursor = ByteCursor{block.start, cursor->end};
        run.reader.start(&run.cursor);
        block.last = block.first;
        block.met = 0;
        const int64_t limit = b + 1 < kSideBlocks ? blocks[b + 1].first : total;
        run.expected = std::min(expected, limit);
        run.total = std::min(total, limit);
    };
    const auto finish = [&](Run &run, int status) {
        SideBlock &block = blocks[run.b];
        block.status = status;
        block.after = run.cursor.pos;
        outcome[run.b].store(block_stands(run.b) ? 1 : 2, std::memory_order_release);
    };
    /* To its end, alone. */
    const auto decode_alone = [&](Run &run) {
        SideBlock &block = blocks[run.b];
        finish(run, block_data(run.reader, *run.table, coefficients, block.last, run.expected, run.total, true,
                               &block.met));
    };
    /* Blocks list[0..count-1] on this thread, two at a time with their
     * fast loops interleaved: when one ends, the next takes its place. */
    const auto decode_together = [&](const int *list, int count) {
        for (int i = 0; i < count; ++i)
            if (!table_ready(list[i])) {
                /* The block loop will meet the same table and fail there. */
                for (int j = 0; j < count; ++j) {
                    blocks[list[j]].status = WSQ_E_BAD_TABLE;
                    outcome[list[j]].store(2, std::memory_order_release);
                }
                return;
            }
        if (count == 1) {
            Run run;
            begin(run, list[0]);
            decode_alone(run);
            return;
        }
        Run runs[2];
        begin(runs[0], list[0]);
        begin(runs[1], list[1]);
        int next = 2;
        for (;;) {
            SideBlock &a = blocks[runs[0].b], &b = blocks[runs[1].b];
            const int i = FastReader::run_two(runs[0].reader, *runs[0].table, a.last, runs[0].expected,
                                              runs[1].reader, *runs[1].table, b.last, runs[1].expected, coefficients)
                              ? 1
                              : 0;
            /* The reader that stopped goes on by one step the way its own
             * run would, or by one symbol the careful way. */
            Run &run = runs[i];
            SideBlock &block = blocks[run.b];
            if (run.reader.run_once(*run.table, coefficients, block.last, run.expected))
                continue;
            const int status = careful_symbol(run.reader, *run.table, coefficients, block.last, run.expected,
                                              run.total, true, &block.met);
            if (status == 0)
                continue;
            finish(run, status < 0 ? status : 0);
            if (next == count)
                break;
            begin(run, list[next++]);
        }
        for (Run &run : runs)
            if (outcome[run.b].load(std::memory_order_relaxed) == 0)
                decode_alone(run);
    };

    /* By size, the largest first. One thread takes them all, two at a
     * time; two threads take the largest alone and the other two
     * together, which decodes them faster than one after the other; more
     * take one each. */
    int order[kSideBlocks] = {0, 1, 2};
    std::sort(order, order + kSideBlocks, [&](int a, int b) {
        return blocks[a].finish - blocks[a].start > blocks[b].finish - blocks[b].start;
    });
    int task_first[kSideBlocks + 1] = {0, 1, 2, 3};
    int tasks = kSideBlocks;
    if (threads == 1) {
        task_first[1] = kSideBlocks;
        tasks = 1;
    } else if (threads == 2) {
        task_first[2] = kSideBlocks;
        tasks = 2;
    }
    bool beside_ran = false;
    /* The work beside the blocks is the last task, so it starts only once
     * every block has been handed out and never waits for a block that no
     * thread is decoding. */
    wsq_parallel_for(threads, tasks + (beside ? 1 : 0), [&](int task, int) {
        if (task == tasks) {
            beside->run(beside->context, &quant_copy, outcome);
            beside_ran = true;
            return;
        }
        const int *list = order + task_first[task];
        const int count = task_first[task + 1] - task_first[task];
        decode_together(list, count);
    });

    bool stands = true;
    for (int b = 0; b < kSideBlocks; ++b)
        if (outcome[b].load(std::memory_order_relaxed) != 1)
            stands = false;
    if (beside)
        beside->ran = stands && beside_ran;
    if (!stands) {
        std::memset(coefficients, 0, static_cast<size_t>(total) * sizeof(int16_t));
        return false;
    }
    *quant = quant_copy;
    std::memcpy(huffman, huffman_copy, sizeof huffman_copy);
    cursor->pos = final_pos;
    return true;
}

} // namespace

int wsq_decode_blocks(int16_t *coefficients, WsqTransformTable *transform, WsqQuantTable *quant,
                      WsqHuffmanTable *huffman, ByteCursor *cursor, const WsqQuantTree *quant_tree,
                      int width, int height)
{
    return decode_blocks<FastReader>(coefficients, transform, quant, huffman, cursor, quant_tree,
                                     width, height, false);
}

int wsq_decode_blocks_cleared(int16_t *coefficients, WsqTransformTable *transform, WsqQuantTable *quant,
                              WsqHuffmanTable *huffman, ByteCursor *cursor, const WsqQuantTree *quant_tree,
                              int width, int height, int threads, WsqBesideBlocks *beside)
{
    if (beside)
        beside->ran = false;
    const int64_t total = static_cast<int64_t>(width) * height;
    if (threads >= 1 && width > 0 && height > 0 && total <= INT_MAX &&
        decode_side_by_side(coefficients, quant, huffman, cursor, quant_tree, total, threads, beside))
        return 0;
    return decode_blocks<FastReader>(coefficients, transform, quant, huffman, cursor, quant_tree,
                                     width, height, true);
}

int wsq_decode_blocks_reference(int16_t *coefficients, WsqTransformTable *transform,
                                WsqQuantTable *quant, WsqHuffmanTable *huffman, ByteCursor *cursor,
                                const WsqQuantTree *quant_tree, int width, int height)
{
    return decode_blocks<SerialReader>(coefficients, transform, quant, huffman, cursor, quant_tree,
                                       width, height, false);
}
