/*
 * codestream_writer.cpp - test codestream builder.
 */
#include "codestream_writer.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace wsqtest {

HuffmanTableDef byte_table(uint8_t id)
{
    HuffmanTableDef t;
    t.id = id;
    t.counts[7] = 254;
    for (int s = 1; s <= 254; ++s)
        t.values.push_back(static_cast<uint8_t>(s));
    return t;
}

std::vector<Coefficient> standard_high_half()
{
    return {{0, 9, 852698573u}, {0, 10, 3774028186u}, {1, 10, 1106243994u}, {1, 11, 2384946381u},
            {0, 11, 3782845235u}};
}

std::vector<Coefficient> standard_low_half()
{
    return {{0, 9, 788485632u}, {1, 10, 4180923187u}, {1, 11, 4068942234u}, {0, 10, 645388851u}};
}

/* ---------------------------------------------------------------- coder */

HuffmanCoder::HuffmanCoder(const HuffmanTableDef &table)
{
    uint32_t code = 0;
    size_t k = 0;
    for (int l = 1; l <= 16; ++l) {
        for (int i = 0; i < table.counts[static_cast<size_t>(l - 1)]; ++i, ++k) {
            if (k < table.values.size()) {
                uint8_t s = table.values[k];
                codes_[s] = static_cast<uint16_t>(code);
                lengths_[s] = l;
            }
            ++code;
        }
        code <<= 1;
    }
}

HuffmanCoder &HuffmanCoder::symbol(int s)
{
    if (s < 0 || s > 255 || lengths_[static_cast<size_t>(s)] == 0)
        throw std::invalid_argument("symbol not in the Huffman table");
    return bits(codes_[static_cast<size_t>(s)], lengths_[static_cast<size_t>(s)]);
}

HuffmanCoder &HuffmanCoder::bits(uint32_t value, int n)
{
    for (int i = n - 1; i >= 0; --i)
        bits_.push_back(((value >> i) & 1u) != 0);
    return *this;
}

void HuffmanCoder::flush_run(int64_t &run)
{
    while (run > 0) {
        if (run <= 100) {
            symbol(static_cast<int>(run));
            run = 0;
        } else if (run <= 255) {
            symbol(105).bits(static_cast<uint32_t>(run), 8);
            run = 0;
        } else {
            int64_t part = run > 65535 ? 65535 : run;
            symbol(106).bits(static_cast<uint32_t>(part), 16);
            run -= part;
        }
    }
}

HuffmanCoder &HuffmanCoder::coefficients(const std::vector<int> &values)
{
    int64_t run = 0;
    for (int v : values) {
        if (v == 0) {
            ++run;
            continue;
        }
        flush_run(run);
        if (v >= -73 && v <= 74)
            symbol(v + 180);
        else if (v > 0 && v <= 255)
            symbol(101).bits(static_cast<uint32_t>(v), 8);
        else if (v < 0 && v >= -255)
            symbol(102).bits(static_cast<uint32_t>(-v), 8);
        else if (v > 0)
            symbol(103).bits(static_cast<uint32_t>(v) & 0xFFFFu, 16);
        else
            symbol(104).bits(static_cast<uint32_t>(-v) & 0xFFFFu, 16);
    }
    flush_run(run);
    return *this;
}

Bytes HuffmanCoder::finish()
{
    while (bits_.size() % 8 != 0)
        bits_.push_back(true);
    Bytes out;
    for (size_t i = 0; i < bits_.size(); i += 8) {
        unsigned byte = 0;
        for (size_t j = 0; j < 8; ++j)
            byte = (byte << 1) | (bits_[i + j] ? 1u : 0u);
        out.push_back(static_cast<uint8_t>(byte));
        if (byte == 0xFF)
            out.push_back(0x00);
    }
    bits_.clear();
    return out;
}

/* --------------------------------------------------------------- writer */

CodestreamWriter &CodestreamWriter::u8(unsigned v)
{
    bytes_.push_back(static_cast<uint8_t>(v));
    return *this;
}

CodestreamWriter &CodestreamWriter::u16(unsigned v)
{
    return u8((v >> 8) & 0xFF).u8(v & 0xFF);
}

CodestreamWriter &CodestreamWriter::u32(uint32_t v)
{
    return u16(v >> 16).u16(v & 0xFFFF);
}

CodestreamWriter &CodestreamWriter::raw(const Bytes &b)
{
    bytes_.insert(bytes_.end(), b.begin(), b.end());
    return *this;
}

CodestreamWriter &CodestreamWriter::marker(uint16_t m)
{
    return u16(m);
}

CodestreamWriter &CodestreamWriter::scaled16(Scaled s)
{
    return u8(s.scale).u16(s.value);
}

CodestreamWriter &CodestreamWriter::frame(int width, int height, Scaled shift, Scaled scale,
                                          int encoder, int implementation, int black, int white)
{
    marker(0xFFA2).u16(17).u8(static_cast<unsigned>(black)).u8(static_cast<unsigned>(white));
    u16(static_cast<unsigned>(height)).u16(static_cast<unsigned>(width));
    scaled16(shift).scaled16(scale);
    return u8(static_cast<unsigned>(encoder)).u16(static_cast<unsigned>(implementation));
}

CodestreamWriter &CodestreamWriter::transform(int hsz, int lsz, const std::vector<Coefficient> &high_half,
                                              const std::vector<Coefficient> &low_half)
{
    size_t length = 4 + 6 * (high_half.size() + low_half.size());
    marker(0xFFA4).u16(static_cast<unsigned>(length)).u8(static_cast<unsigned>(hsz)).u8(static_cast<unsigned>(lsz));
    for (const auto &c : high_half)
        u8(c.sign).u8(c.scale).u32(c.value);
    for (const auto &c : low_half)
        u8(c.sign).u8(c.scale).u32(c.value);
    return *this;
}

CodestreamWriter &CodestreamWriter::standard_transform()
{
    return transform(9, 7, standard_high_half(), standard_low_half());
}

CodestreamWriter &CodestreamWriter::quant(Scaled bin_center, const std::array<Scaled, 64> &bin_width,
                                          const std::array<Scaled, 64> &zero_bin_width)
{
    marker(0xFFA5).u16(389).scaled16(bin_center);
    for (size_t k = 0; k < 64; ++k)
        scaled16(bin_width[k]).scaled16(zero_bin_width[k]);
    return *this;
}

CodestreamWriter &CodestreamWriter::uniform_quant(Scaled bin_center, Scaled bin_width, Scaled zero_bin_width)
{
    std::array<Scaled, 64> q, z;
    q.fill(bin_width);
    z.fill(zero_bin_width);
    return quant(bin_center, q, z);
}

CodestreamWriter &CodestreamWriter::huffman(const std::vector<HuffmanTableDef> &tables, int length)
{
    size_t total = 2;
    for (const auto &t : tables)
        total += 17 + t.values.size();
    marker(0xFFA6).u16(length >= 0 ? static_cast<unsigned>(length) : static_cast<unsigned>(total));
    for (const auto &t : tables) {
        u8(t.id);
        for (uint8_t c : t.counts)
            u8(c);
        for (uint8_t v : t.values)
            u8(v);
    }
    return *this;
}

CodestreamWriter &CodestreamWriter::comment(std::string_view text, int length)
{
    marker(0xFFA8).u16(length >= 0 ? static_cast<unsigned>(length) : static_cast<unsigned>(text.size() + 2));
    for (char c : text)
        u8(static_cast<unsigned char>(c));
    return *this;
}

CodestreamWriter &CodestreamWriter::block(unsigned table_id)
{
    return marker(0xFFA3).u16(3).u8(table_id);
}

/* -------------------------------------------------------------- helpers */

Bytes simple_codestream(int width, int height, const SimpleOptions &options)
{
    CodestreamWriter w;
    w.start();
    if (!options.comment.empty())
        w.comment(options.comment);
    w.standard_transform().uniform_quant();
    w.frame(width, height, options.shift, options.scale);
    HuffmanTableDef table = byte_table(0);
    w.huffman({table}).block(0);
    HuffmanCoder coder(table);
    coder.coefficients(options.coefficients);
    w.raw(coder.finish()).end();
    return w.bytes();
}

std::string nist_comment(const std::vector<std::string> &lines)
{
    std::string text = "NIST_COM " + std::to_string(lines.size() + 1) + "\n";
    for (const auto &l : lines)
        text += l + "\n";
    return text;
}

std::string shared_data_dir()
{
#ifdef VELLUMO_SHARED_DATA_DIR
    return VELLUMO_SHARED_DATA_DIR;
#else
    return "";
#endif
}

Bytes read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace wsqtest
