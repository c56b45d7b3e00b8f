/*
 * encoder.cpp - wsq_encode: normalisation, forward transform, subband
 * quantization tuned to a target bit rate, Huffman coding and the
 * codestream layout of the FBI WSQ specification.
 *
 * Layout written: start; NIST comment; the caller's comment (if any);
 * transform table; quantization table; frame header; Huffman table 0 and
 * block 1 (subbands 0-18); Huffman table 1 and block 2 (19-51); block 3
 * (52-59, table 1); end.
 */
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "codestream.h"
#include "encoder.h"
#include "trees.h"
#include "wsq_encoder.h"

namespace {

constexpr float kBinCenter = 0.44f;
constexpr double kZeroBinFactor = 1.2;
constexpr double kMinVariance = 1.01;
constexpr int kBlockFirst[4] = {0, 19, 52, 60}; /* subbands of blocks 1, 2, 3 */

double band_weight(int k)
{
    switch (k) {
    case 52: case 56: return 1.32;
    case 53: case 58: return 1.08;
    case 54: case 57: return 1.42;
    case 55: case 59: return 1.08;
    default: return 1.0;
    }
}

void put8(std::vector<uint8_t> &out, unsigned v) { out.push_back(static_cast<uint8_t>(v)); }
void put16(std::vector<uint8_t> &out, unsigned v)
{
    put8(out, v >> 8);
    put8(out, v & 0xFF);
}
void put32(std::vector<uint8_t> &out, uint32_t v)
{
    put16(out, v >> 16);
    put16(out, v & 0xFFFF);
}

void put_comment(std::vector<uint8_t> &out, const std::string &text)
{
    put16(out, WSQ_MARKER_COMMENT);
    put16(out, static_cast<unsigned>(text.size() + 2));
    out.insert(out.end(), text.begin(), text.end());
}

void put_scaled16(std::vector<uint8_t> &out, WsqScaled s)
{
    put8(out, s.scale);
    put16(out, s.value);
}

void put_huffman_table(std::vector<uint8_t> &out, int id, const WsqHuffmanCode &code)
{
    put16(out, WSQ_MARKER_HUFFMAN);
    put16(out, static_cast<unsigned>(2 + 1 + 16 + code.value_count));
    put8(out, static_cast<unsigned>(id));
    for (uint8_t c : code.code_counts)
        put8(out, c);
    for (int i = 0; i < code.value_count; ++i)
        put8(out, code.values[i]);
}

/* Everything of one encode that does not depend on the quantizer step. */
struct Analysis {
    int width = 0, height = 0;
    std::vector<float> coefficients;  /* the transformed image */
    WsqQuantTree tree{};
    double variance[WSQ_CODED_SUBBANDS] = {};
    float max_abs[WSQ_CODED_SUBBANDS] = {};
    WsqScaled shift{}, scale{};
    std::vector<uint8_t> head;        /* start marker up to the transform table */
    std::vector<uint8_t> frame;       /* the frame header segment */
};

/* The quantization table for step factor c, as stored and as read back. */
struct QuantChoice {
    WsqScaled q[WSQ_SUBBANDS], z[WSQ_SUBBANDS];
    float q_read[WSQ_SUBBANDS], z_read[WSQ_SUBBANDS];
};

QuantChoice choose_quant(const Analysis &a, double c)
{
    QuantChoice choice{};
    for (int k = 0; k < WSQ_CODED_SUBBANDS; ++k) {
        const WsqQuantNode &n = a.tree.nodes[k];
        if (n.lenx <= 0 || n.leny <= 0 || a.variance[k] < kMinVariance)
            continue;
        const double q = c / (band_weight(k) * std::log(a.variance[k]));
        choice.q[k] = wsq_to_scaled(q, 0xFFFF);
        choice.q_read[k] = wsq_scaled_value(choice.q[k].value, choice.q[k].scale);
        if (choice.q_read[k] <= 0.0f) {
            choice.q[k] = WsqScaled{0, 0};
            choice.q_read[k] = 0.0f;
            continue;
        }
        choice.z[k] = wsq_to_scaled(kZeroBinFactor * choice.q_read[k], 0xFFFF);
        choice.z_read[k] = wsq_scaled_value(choice.z[k].value, choice.z[k].scale);
    }
    return choice;
}

/* The whole codestream for one quantization table. */
void write_codestream(const Analysis &a, const QuantChoice &choice, std::vector<int16_t> &symbols,
                      std::vector<uint8_t> &out)
{
    out = a.head;
    /* Quantization table (389 bytes after the marker). */
    put16(out, WSQ_MARKER_QUANT);
    put16(out, 389);
    const WsqScaled center = wsq_to_scaled(kBinCenter, 0xFFFF);
    put_scaled16(out, center);
    for (int k = 0; k < WSQ_SUBBANDS; ++k) {
        put_scaled16(out, choice.q[k]);
        put_scaled16(out, choice.z[k]);
    }
    out.insert(out.end(), a.frame.begin(), a.frame.end());

    /* Quantized coefficients of every block, subband by subband, row by row. */
    size_t block_start[4] = {};
    symbols.clear();
    for (int b = 0; b < 3; ++b) {
        block_start[b] = symbols.size();
        for (int k = kBlockFirst[b]; k < kBlockFirst[b + 1]; ++k) {
            const float q = choice.q_read[k];
            if (q == 0.0f)
                continue;
            const float z = choice.z_read[k];
            const WsqQuantNode &n = a.tree.nodes[k];
            for (int r = 0; r < n.leny; ++r) {
                const float *row = a.coefficients.data() + static_cast<size_t>(n.y + r) * a.width + n.x;
                for (int x = 0; x < n.lenx; ++x)
                    symbols.push_back(static_cast<int16_t>(wsq_quantize(row[x], q, z)));
            }
        }
    }
    block_start[3] = symbols.size();

    WsqSymbolCounts first{}, rest{};
    wsq_count_symbols(symbols.data(), block_start[1], &first);
    /* Blocks 2 and 3 share table 1 but are coded apart: count them apart,
     * so that a zero run broken at the block boundary has its codes. */
    wsq_count_symbols(symbols.data() + block_start[1], block_start[2] - block_start[1], &rest);
    wsq_count_symbols(symbols.data() + block_start[2], block_start[3] - block_start[2], &rest);
    WsqHuffmanCode code0, code1;
    wsq_build_huffman_code(first.freq, &code0);
    wsq_build_huffman_code(rest.freq, &code1);

    WsqBitWriter writer{&out, 0, 0};
    for (int b = 0; b < 3; ++b) {
        if (b < 2)
            put_huffman_table(out, b, b == 0 ? code0 : code1);
        put16(out, WSQ_MARKER_BLOCK);
        put16(out, 3);
        put8(out, b == 0 ? 0 : 1);
        wsq_encode_coefficients(symbols.data() + block_start[b], block_start[b + 1] - block_start[b],
                                b == 0 ? &code0 : &code1, &writer);
    }
    put16(out, WSQ_MARKER_END);
}

bool valid_params(const WsqEncodeParams &p)
{
    if (!(p.bitrate <= WSQ_ENCODE_MAX_BITRATE)) /* also NaN */
        return false;
    if (p.ppi != -1 && (p.ppi < 1 || p.ppi > 1000000))
        return false;
    if (p.encoder < 0 || p.encoder > 255 || p.implementation < 0 || p.implementation > 65535)
        return false;
    if (p.comment && std::strlen(p.comment) > 65533)
        return false;
    return true;
}

int encode(const unsigned char *pixels, int width, int height, const WsqEncodeParams &params,
           std::vector<uint8_t> &best, float *achieved)
{
    Analysis a;
    a.width = width;
    a.height = height;
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    const double bitrate = params.bitrate > 0.0f ? params.bitrate : 0.75;

    /* Normalisation: (x - M) / R with M the mean and R the larger distance
     * from it to either extreme over 128, both as the decoder reads them. */
    uint64_t sum = 0;
    int lo = 255, hi = 0;
    for (size_t i = 0; i < count; ++i) {
        sum += pixels[i];
        lo = std::min<int>(lo, pixels[i]);
        hi = std::max<int>(hi, pixels[i]);
    }
    a.shift = wsq_to_scaled(static_cast<double>(sum) / static_cast<double>(count), 0xFFFF);
    const float m = wsq_scaled_value(a.shift.value, a.shift.scale);
    double r = std::max(hi - static_cast<double>(m), static_cast<double>(m) - lo) / 128.0;
    if (!(r > 0.0))
        r = 1.0; /* a flat image: every coefficient is 0 anyway */
    a.scale = wsq_to_scaled(r, 0xFFFF);
    const float s = wsq_scaled_value(a.scale.value, a.scale.scale);

    a.coefficients.resize(count);
    for (size_t i = 0; i < count; ++i)
        a.coefficients[i] = (static_cast<float>(pixels[i]) - m) / s;
    WsqWaveletTree wtree;
    wsq_build_trees(&wtree, &a.tree, width, height);
    wsq_forward_transform(a.coefficients.data(), width, height, &wtree);
    for (int k = 0; k < WSQ_CODED_SUBBANDS; ++k) {
        const WsqQuantNode &n = a.tree.nodes[k];
        a.variance[k] = wsq_subband_variance(a.coefficients.data(), width, &n);
        for (int r = 0; r < n.leny; ++r) {
            const float *row = a.coefficients.data() + static_cast<size_t>(n.y + r) * width + n.x;
            for (int x = 0; x < n.lenx; ++x)
                a.max_abs[k] = std::max(a.max_abs[k], std::fabs(row[x]));
        }
    }

    /* Everything before the quantization table, and the frame header that
     * follows it, do not depend on the step: build them once. */
    std::vector<uint8_t> &h = a.head;
    put16(h, WSQ_MARKER_START);
    char nist[512];
    std::snprintf(nist, sizeof nist,
                  "NIST_COM 9\nPIX_WIDTH %d\nPIX_HEIGHT %d\nPIX_DEPTH 8\nPPI %d\nLOSSY 1\n"
                  "COLORSPACE GRAY\nCOMPRESSION WSQ\nWSQ_BITRATE %.6f",
                  width, height, params.ppi, bitrate);
    put_comment(h, nist);
    if (params.comment)
        put_comment(h, params.comment);
    put16(h, WSQ_MARKER_TRANSFORM);
    put16(h, 2 + 2 + 6 * (5 + 4));
    put8(h, 9); /* first filter: 9 taps */
    put8(h, 7); /* second filter: 7 taps */
    for (double t : wsq_analysis_low) {
        const WsqScaled v = wsq_to_scaled(std::fabs(t), 0xFFFFFFFFu);
        put8(h, t < 0 ? 1 : 0);
        put8(h, v.scale);
        put32(h, v.value);
    }
    for (double t : wsq_analysis_high) {
        const WsqScaled v = wsq_to_scaled(std::fabs(t), 0xFFFFFFFFu);
        put8(h, t < 0 ? 1 : 0);
        put8(h, v.scale);
        put32(h, v.value);
    }
    std::vector<uint8_t> &frame = a.frame;
    put16(frame, WSQ_MARKER_FRAME);
    put16(frame, 17);
    put8(frame, 0);   /* black */
    put8(frame, 255); /* white */
    put16(frame, static_cast<unsigned>(height));
    put16(frame, static_cast<unsigned>(width));
    put_scaled16(frame, a.shift);
    put_scaled16(frame, a.scale);
    put8(frame, static_cast<unsigned>(params.encoder));
    put16(frame, static_cast<unsigned>(params.implementation));

    /* The step factor c (Q_k = c / (A_k ln var_k)) that meets the target
     * size: bracket it by doubling, then bisect on log c. File size falls
     * (almost) monotonically as c grows. */
    /* The bit rate counts the whole file. The tables and headers take
     * about 700 bytes whatever the step; where they would leave the coded
     * data less than half the budget (small images at low rates), the data
     * still gets half the budget, on top of them. */
    double target = bitrate * static_cast<double>(count) / 8.0;
    std::vector<int16_t> symbols;
    std::vector<uint8_t> out;
    double best_error = -1.0;
    auto evaluate = [&](double c) {
        QuantChoice choice = choose_quant(a, c);
        write_codestream(a, choice, symbols, out);
        const double size = static_cast<double>(out.size());
        const double error = std::fabs(size - target);
        if (best_error < 0.0 || error < best_error) {
            best_error = error;
            best.swap(out);
        }
        return size;
    };

    /* No smaller step than keeps every coefficient within the 16-bit
     * escapes: below that the file only grows while the image degrades. */
    double min_c = 1e-7;
    for (int k = 0; k < WSQ_CODED_SUBBANDS; ++k)
        if (a.variance[k] >= kMinVariance)
            min_c = std::max(min_c, a.max_abs[k] / 32000.0 * band_weight(k) * std::log(a.variance[k]));
    const double kMinC = min_c, kMaxC = 1e7;
    const double overhead = evaluate(kMaxC); /* every subband quantized to zero */
    target = std::max(target, overhead + 0.5 * bitrate * static_cast<double>(count) / 8.0);
    best_error = -1.0;
    const double c_start = std::max(1.0, kMinC);
    double c_small = c_start, c_large = c_start; /* size(c_small) >= target > size(c_large) */
    double size = evaluate(c_start);
    if (size >= target) {
        while (size >= target && c_large < kMaxC) {
            c_small = c_large;
            c_large *= 4.0;
            size = evaluate(c_large);
        }
    } else {
        while (size < target && c_small > kMinC) {
            c_large = c_small;
            c_small = std::max(kMinC, c_small / 4.0);
            size = evaluate(c_small);
        }
    }
    if (c_small != c_large) {
        for (int i = 0; i < 30 && best_error > 0.002 * target && c_large / c_small > 1.0005; ++i) {
            const double mid = std::sqrt(c_small * c_large);
            if (evaluate(mid) >= target)
                c_small = mid;
            else
                c_large = mid;
        }
    }
    if (achieved)
        *achieved = static_cast<float>(8.0 * static_cast<double>(best.size()) / static_cast<double>(count));
    return 0;
}

/* Unbiased variance of a w x h window. A single sample has none; its
 * square stands in, so that the one-sample subbands of tiny images are
 * coded rather than dropped. */
double window_variance(const float *image, int width, int x0, int y0, int w, int h)
{
    const double n = static_cast<double>(w) * static_cast<double>(h);
    if (n < 1.0)
        return 0.0;
    if (n < 2.0) {
        const double v = image[static_cast<size_t>(y0) * width + x0];
        return v * v;
    }
    double sum = 0.0, sum2 = 0.0;
    for (int r = 0; r < h; ++r) {
        const float *row = image + static_cast<size_t>(y0 + r) * width + x0;
        for (int c = 0; c < w; ++c) {
            sum += row[c];
            sum2 += static_cast<double>(row[c]) * row[c];
        }
    }
    return std::max(0.0, (sum2 - sum * sum / n) / (n - 1.0));
}

}  // namespace

WsqScaled wsq_to_scaled(double x, uint32_t max_value)
{
    if (!(x > 0.0))
        return WsqScaled{0, 0};
    uint8_t scale = 0;
    double v = x;
    while (scale < 20 && std::round(v * 10.0) <= static_cast<double>(max_value)) {
        v *= 10.0;
        ++scale;
    }
    double r = std::round(v);
    if (r > static_cast<double>(max_value))
        r = static_cast<double>(max_value); /* x itself too large: saturate */
    return WsqScaled{static_cast<uint32_t>(r), scale};
}

double wsq_subband_variance(const float *image, int width, const WsqQuantNode *node)
{
    int x0 = node->lenx / 8, w = 3 * node->lenx / 4;
    int y0 = 9 * node->leny / 32, h = 7 * node->leny / 16;
    if (w < 1 || h < 1 || static_cast<long>(w) * h < 2) {
        x0 = 0;
        y0 = 0;
        w = node->lenx;
        h = node->leny;
    }
    const double central = window_variance(image, width, node->x + x0, node->y + y0, w, h);
    if (central >= kMinVariance || (w == node->lenx && h == node->leny))
        return central;
    /* The window is quiet but the subband may not be: detail that lies
     * only near the edges (a print off centre, marks at the border) would
     * otherwise be dropped with the whole subband. */
    return std::max(central, window_variance(image, width, node->x, node->y, node->lenx, node->leny));
}

void wsq_encode_default_params(WsqEncodeParams *params)
{
    if (!params)
        return;
    params->bitrate = 0.75f;
    params->ppi = -1;
    params->comment = nullptr;
    params->encoder = 2;
    params->implementation = 0;
}

int wsq_encode(const unsigned char *pixels, int width, int height, const WsqEncodeParams *params,
               unsigned char **out, int *out_length, float *achieved_bitrate)
{
    if (!pixels || !out || !out_length)
        return WSQ_E_NO_DATA;
    if (width < WSQ_ENCODE_MIN_SIZE || height < WSQ_ENCODE_MIN_SIZE || width > 65535 || height > 65535 ||
        static_cast<double>(width) * height > static_cast<double>(WSQ_ENCODE_MAX_PIXELS))
        return WSQ_E_ENCODE_SIZE;
    WsqEncodeParams p;
    wsq_encode_default_params(&p);
    if (params)
        p = *params;
    if (!valid_params(p))
        return WSQ_E_ENCODE_PARAMS;
    try {
        std::vector<uint8_t> stream;
        float achieved = 0.0f;
        const int status = encode(pixels, width, height, p, stream, &achieved);
        if (status < 0)
            return status;
        if (stream.size() > 0x7FFFFFFFu)
            return WSQ_E_ENCODE_SIZE;
        unsigned char *buffer = static_cast<unsigned char *>(std::malloc(stream.size()));
        if (!buffer)
            return WSQ_E_READ_OR_NOMEM;
        std::memcpy(buffer, stream.data(), stream.size());
        *out = buffer;
        *out_length = static_cast<int>(stream.size());
        if (achieved_bitrate)
            *achieved_bitrate = achieved;
        return 0;
    } catch (const std::bad_alloc &) {
        return WSQ_E_READ_OR_NOMEM;
    }
}
