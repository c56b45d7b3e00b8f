/*
 * codestream_writer.h - builds WSQ codestreams byte by byte for tests:
 * markers, segments, tables, scaled numbers, and Huffman coding of a given
 * symbol sequence with byte stuffing.
 *
 * Nothing here validates: tests write malformed streams on purpose.
 */
#ifndef VELLUMO_TESTS_CODESTREAM_WRITER_H
#define VELLUMO_TESTS_CODESTREAM_WRITER_H

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace wsqtest {

using Bytes = std::vector<uint8_t>;

/* value / 10^scale. */
struct Scaled {
    uint8_t scale = 0;
    uint32_t value = 0;
};

/* A transform coefficient record: sign byte (non-zero: negative), scale, value. */
struct Coefficient {
    uint8_t sign = 0;
    uint8_t scale = 0;
    uint32_t value = 0;
};

struct HuffmanTableDef {
    uint8_t id = 0;
    std::array<uint8_t, 16> counts{}; /* [i]: codes of length i + 1 */
    std::vector<uint8_t> values;       /* symbols in code order */
};

/* Every symbol 1..254 with an 8-bit code: symbol s has code s - 1. */
HuffmanTableDef byte_table(uint8_t id = 0);

/* The usual 9/7 pair: the high-pass half (5 records of the 9-tap first
 * filter) and the low-pass half (4 records of the 7-tap second filter). */
std::vector<Coefficient> standard_high_half();
std::vector<Coefficient> standard_low_half();

/* Huffman-codes symbols and raw bits, most significant bit first; finish()
 * pads the last byte with 1 bits and stuffs a 0x00 after every 0xFF. */
class HuffmanCoder {
public:
    explicit HuffmanCoder(const HuffmanTableDef &table);

    HuffmanCoder &symbol(int s);              /* the symbol must be in the table */
    HuffmanCoder &bits(uint32_t value, int n); /* n raw bits */
    /* Codes coefficient values with the WSQ alphabet: zero runs (1..100,
     * 105, 106), small values (107..254), 8- and 16-bit escapes. */
    HuffmanCoder &coefficients(const std::vector<int> &values);

    /* Code and length of a symbol; length 0 when absent. */
    uint16_t code_of(int s) const { return codes_[static_cast<size_t>(s)]; }
    int length_of(int s) const { return lengths_[static_cast<size_t>(s)]; }

    Bytes finish(); /* the coded bytes; the coder starts afresh afterwards */

private:
    void flush_run(int64_t &run);
    std::array<uint16_t, 256> codes_{};
    std::array<int, 256> lengths_{};
    std::vector<bool> bits_;
};

class CodestreamWriter {
public:
    CodestreamWriter &u8(unsigned v);
    CodestreamWriter &u16(unsigned v);
    CodestreamWriter &u32(uint32_t v);
    CodestreamWriter &raw(const Bytes &b);
    CodestreamWriter &marker(uint16_t m);
    CodestreamWriter &scaled16(Scaled s); /* scale byte, 16-bit value */

    CodestreamWriter &start() { return marker(0xFFA0); }
    CodestreamWriter &end() { return marker(0xFFA1); }

    /* Frame header (marker included); height is stored before width. */
    CodestreamWriter &frame(int width, int height, Scaled shift = {0, 128}, Scaled scale = {0, 1},
                            int encoder = 0, int implementation = 0, int black = 0, int white = 255);
    /* Transform table: hsz and lsz as given, then the two halves as given. */
    CodestreamWriter &transform(int hsz, int lsz, const std::vector<Coefficient> &high_half,
                                const std::vector<Coefficient> &low_half);
    CodestreamWriter &standard_transform();
    CodestreamWriter &quant(Scaled bin_center, const std::array<Scaled, 64> &bin_width,
                            const std::array<Scaled, 64> &zero_bin_width);
    /* The same bin width and zero-bin width for all 64 subbands. */
    CodestreamWriter &uniform_quant(Scaled bin_center = {2, 44}, Scaled bin_width = {0, 10},
                                    Scaled zero_bin_width = {0, 12});
    /* Huffman segment holding the tables; length -1: the right length. */
    CodestreamWriter &huffman(const std::vector<HuffmanTableDef> &tables, int length = -1);
    /* Comment segment; length -1: the right length. */
    CodestreamWriter &comment(std::string_view text, int length = -1);
    /* Block marker and header naming a Huffman table. */
    CodestreamWriter &block(unsigned table_id);

    const Bytes &bytes() const { return bytes_; }
    size_t size() const { return bytes_.size(); }
    int length() const { return static_cast<int>(bytes_.size()); }

private:
    Bytes bytes_;
};

/* A complete codestream: start, standard transform, uniform quantization,
 * an optional comment, the frame header, byte_table(0), one block holding
 * the coded coefficients (none: the block is empty), end. */
struct SimpleOptions {
    std::string comment;          /* empty: no comment segment */
    Scaled shift{0, 128};
    Scaled scale{0, 1};
    std::vector<int> coefficients; /* in decoding order */
};
Bytes simple_codestream(int width, int height, const SimpleOptions &options = {});

/* "NIST_COM" comment text with the given lines appended ("PPI 500"...). */
std::string nist_comment(const std::vector<std::string> &lines);

/* Directory of the shared third-party sample files ("" when unknown). */
std::string shared_data_dir();
Bytes read_file(const std::string &path);

} // namespace wsqtest

#endif /* VELLUMO_TESTS_CODESTREAM_WRITER_H */
