/*
 * encoder_entropy.cpp - WSQ symbols, length-limited Huffman codes and the
 * stuffing bit writer.
 *
 * Symbols (FBI WSQ specification): 1..100 a run of that many zeros;
 * 101/102 +-v with 8 raw bits; 103/104 +-v with 16 raw bits; 105/106 a
 * zero run with 8/16 raw bits; 107..254 the coefficients -73..74.
 */
#include <algorithm>
#include <cmath>
#include <cstring>

#include "encoder.h"

namespace {

enum {
    SYM_POS8 = 101,
    SYM_NEG8 = 102,
    SYM_POS16 = 103,
    SYM_NEG16 = 104,
    SYM_RUN8 = 105,
    SYM_RUN16 = 106,
    SYM_ZERO = 180, /* symbol of coefficient 0; coefficient c is 180 + c */
    MAX_RUN_SYMBOL = 100,
    MIN_SMALL = -73,
    MAX_SMALL = 74
};

/* Calls emit(symbol, raw_bits, raw_count) for every symbol of the
 * coefficients, zeros gathered into runs. */
template <typename Emit>
void for_each_symbol(const int16_t *coefficients, size_t count, Emit emit)
{
    size_t run = 0;
    auto flush_run = [&]() {
        while (run > 0) {
            if (run <= MAX_RUN_SYMBOL) {
                emit(static_cast<int>(run), 0u, 0);
                run = 0;
            } else if (run <= 0xFF) {
                emit(SYM_RUN8, static_cast<uint32_t>(run), 8);
                run = 0;
            } else {
                size_t part = std::min<size_t>(run, 0xFFFF);
                emit(SYM_RUN16, static_cast<uint32_t>(part), 16);
                run -= part;
            }
        }
    };
    for (size_t i = 0; i < count; ++i) {
        const int c = coefficients[i];
        if (c == 0) {
            ++run;
            continue;
        }
        flush_run();
        if (c >= MIN_SMALL && c <= MAX_SMALL)
            emit(SYM_ZERO + c, 0u, 0);
        else if (c > 0)
            emit(c <= 0xFF ? SYM_POS8 : SYM_POS16, static_cast<uint32_t>(c), c <= 0xFF ? 8 : 16);
        else
            emit(-c <= 0xFF ? SYM_NEG8 : SYM_NEG16, static_cast<uint32_t>(-c), -c <= 0xFF ? 8 : 16);
    }
    flush_run();
}

}  // namespace

int wsq_quantize(float a, float q, float z)
{
    const double half = 0.5 * static_cast<double>(z);
    double p;
    if (a > half)
        p = std::floor((a - half) / q) + 1.0;
    else if (a < -half)
        p = std::ceil((a + half) / q) - 1.0;
    else
        return 0;
    return static_cast<int>(std::clamp(p, -32767.0, 32767.0));
}

void wsq_count_symbols(const int16_t *coefficients, size_t count, WsqSymbolCounts *counts)
{
    for_each_symbol(coefficients, count, [counts](int symbol, uint32_t, int raw) {
        ++counts->freq[symbol];
        counts->raw_bits += static_cast<uint64_t>(raw);
    });
}

/* Huffman code lengths as in JPEG (ITU T.81 Annex K.2): a reserved symbol
 * of frequency 1 takes the all-ones code of the longest length and is then
 * removed; lengths above 16 are folded back under 16. */
void wsq_build_huffman_code(const uint32_t freq_in[256], WsqHuffmanCode *code)
{
    constexpr int n = 257; /* 256 symbols and the reserved one */
    uint64_t freq[n];
    int codesize[n], others[n];
    bool any = false;
    for (int i = 0; i < 256; ++i) {
        freq[i] = freq_in[i];
        any = any || freq_in[i] != 0;
    }
    if (!any)
        freq[1] = 1; /* a dummy code so the table is never empty */
    freq[256] = 1;
    for (int i = 0; i < n; ++i) {
        codesize[i] = 0;
        others[i] = -1;
    }
    for (;;) {
        /* The two least frequent trees (ties: the higher symbol first). */
        int c1 = -1, c2 = -1;
        for (int i = 0; i < n; ++i)
            if (freq[i] != 0 && (c1 < 0 || freq[i] <= freq[c1]))
                c1 = i;
        for (int i = 0; i < n; ++i)
            if (freq[i] != 0 && i != c1 && (c2 < 0 || freq[i] <= freq[c2]))
                c2 = i;
        if (c2 < 0)
            break;
        freq[c1] += freq[c2];
        freq[c2] = 0;
        for (;;) {
            ++codesize[c1];
            if (others[c1] < 0)
                break;
            c1 = others[c1];
        }
        others[c1] = c2;
        for (;;) {
            ++codesize[c2];
            if (others[c2] < 0)
                break;
            c2 = others[c2];
        }
    }
    int bits[64] = {};
    for (int i = 0; i < n; ++i)
        if (codesize[i] > 0)
            ++bits[codesize[i]];
    for (int i = 63; i > 16; --i) {
        while (bits[i] > 0) {
            int j = i - 2;
            while (bits[j] == 0)
                --j;
            bits[i] -= 2;
            bits[i - 1] += 1;
            bits[j + 1] += 2;
            bits[j] -= 1;
        }
    }
    int longest = 16;
    while (bits[longest] == 0)
        --longest;
    bits[longest] -= 1; /* drop the reserved symbol's code */

    std::memset(code, 0, sizeof *code);
    for (int l = 1; l <= 16; ++l)
        code->code_counts[l - 1] = static_cast<uint8_t>(bits[l]);
    /* Symbols by Huffman length, then by value; the reserved one is last. */
    int k = 0;
    for (int size = 1; size < 64; ++size)
        for (int i = 0; i < 256; ++i)
            if (codesize[i] == size)
                code->values[k++] = static_cast<uint8_t>(i);
    code->value_count = k;
    /* Canonical codes over the folded lengths. */
    uint32_t next = 0;
    int index = 0;
    for (int l = 1; l <= 16; ++l) {
        for (int c = 0; c < bits[l]; ++c, ++index) {
            const int symbol = code->values[index];
            code->length[symbol] = static_cast<uint8_t>(l);
            code->code[symbol] = static_cast<uint16_t>(next++);
        }
        next <<= 1;
    }
}

uint64_t wsq_coded_bits(const WsqSymbolCounts *counts, const WsqHuffmanCode *code)
{
    uint64_t bits = 0;
    for (int s = 0; s < 256; ++s)
        bits += static_cast<uint64_t>(counts->freq[s]) * code->length[s];
    return bits;
}

void wsq_bits_put(WsqBitWriter *writer, uint32_t bits, int n)
{
    writer->acc = (writer->acc << n) | (bits & ((1u << n) - 1u));
    writer->count += n;
    while (writer->count >= 8) {
        writer->count -= 8;
        const uint8_t byte = static_cast<uint8_t>(writer->acc >> writer->count);
        writer->out->push_back(byte);
        if (byte == 0xFF)
            writer->out->push_back(0x00);
    }
    writer->acc &= (1u << writer->count) - 1u;
}

void wsq_bits_flush(WsqBitWriter *writer)
{
    if (writer->count > 0)
        wsq_bits_put(writer, 0xFFu, 8 - writer->count);
}

void wsq_encode_coefficients(const int16_t *coefficients, size_t count, const WsqHuffmanCode *code,
                             WsqBitWriter *writer)
{
    for_each_symbol(coefficients, count, [code, writer](int symbol, uint32_t raw, int raw_count) {
        wsq_bits_put(writer, code->code[symbol], code->length[symbol]);
        if (raw_count > 0)
            wsq_bits_put(writer, raw, raw_count);
    });
    wsq_bits_flush(writer);
}
