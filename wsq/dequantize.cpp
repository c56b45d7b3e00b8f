/*
 * dequantize.cpp - quantized coefficients to the float image.
 */
#include "dequantize.h"
#include "memory.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "synth_kernels.h"
#include "thread_pool.h"
#include "wsq.h"

float wsq_dequantize_value(int16_t e, float p, float q, float z)
{
    if (e == 0)
        return 0.0f;
    const float fe = static_cast<float>(e);
    if (e > 0) {
        const float product = (fe - p) * q;
        return static_cast<float>(static_cast<double>(product) + static_cast<double>(z) * 0.5);
    }
    const float product = (fe + p) * q;
    return static_cast<float>(static_cast<double>(product) - static_cast<double>(z) * 0.5);
}

namespace {

/* The plain loop, into a cleared image. */
void dequantize_reference_into(float *out, const WsqQuantTable *quant, const WsqQuantTree *tree,
                               const int16_t *coefficients, int width, size_t pixels)
{
    const int16_t *next = coefficients;
    const int16_t *end = coefficients + pixels;
    for (int i = 0; i < WSQ_CODED_SUBBANDS; ++i) {
        const float q = quant->bin_width[i];
        if (q == 0.0f)
            continue;
        const float p = quant->bin_center;
        const float z = quant->zero_bin_width[i];
        const WsqQuantNode &node = tree->nodes[i];
        for (int r = 0; r < node.leny; ++r) {
            float *row = out + static_cast<size_t>(node.y + r) * width + node.x;
            for (int k = 0; k < node.lenx && next < end; ++k)
                row[k] = wsq_dequantize_value(*next++, p, q, z);
        }
    }
}

} // namespace

int wsq_dequantize_reference(const WsqQuantTable *quant, const WsqQuantTree *tree,
                             const int16_t *coefficients, int width, int height, float **image)
{
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    float *out = static_cast<float *>(std::calloc(pixels ? pixels : 1, sizeof(float)));
    if (!out)
        return WSQ_E_NOT_MARKER;
    if (quant->defined != 1) {
        std::free(out);
        return WSQ_E_MARKER_RANGE;
    }
    dequantize_reference_into(out, quant, tree, coefficients, width, pixels);
    *image = out;
    return 0;
}

namespace {

/* Where each coded subband's coefficients start; the buffer holds
 * width * height of them, and a subband past its end stays zero. */
void subband_starts(const WsqQuantTable *quant, const WsqQuantTree *tree, size_t *start)
{
    size_t next = 0;
    for (int i = 0; i < WSQ_CODED_SUBBANDS; ++i) {
        start[i] = next;
        if (quant->bin_width[i] != 0.0f)
            next += static_cast<size_t>(tree->nodes[i].lenx) * static_cast<size_t>(tree->nodes[i].leny);
    }
}

/* Whether a run of coefficients is all zero (they dequantize to zeros).
 * Most rows that are not hold a nonzero value near their start. */
bool all_zero(const int16_t *c, ptrdiff_t count)
{
    ptrdiff_t i = 0;
    /* Four words at a time, each loaded on its own: copied as one array,
     * they would go through the stack. */
    const auto word = [c](ptrdiff_t at) {
        uint64_t w;
        std::memcpy(&w, c + at, sizeof w);
        return w;
    };
    for (; i + 16 <= count; i += 16)
        if ((word(i) | word(i + 4) | word(i + 8) | word(i + 12)) != 0)
            return false;
    for (; i < count; ++i)
        if (c[i] != 0)
            return false;
    return true;
}

/* The coefficients of a row of length samples starting at `from` that the
 * buffer of `pixels` holds; the rest of the row stays zero. */
ptrdiff_t row_count(size_t from, size_t length, size_t pixels)
{
    return from >= pixels ? 0 : static_cast<ptrdiff_t>(length < pixels - from ? length : pixels - from);
}

/* The rows of one coded subband with a nonzero bin width. */
class RowDequantizer {
public:
    RowDequantizer(const WsqSynthKernels &k, const WsqQuantTable *quant, int i)
        : m_k(k), m_p(quant->bin_center), m_q(quant->bin_width[i]),
          m_half_z(static_cast<double>(quant->zero_bin_width[i]) * 0.5),
          m_half_z_float(quant->zero_bin_width[i] * 0.5f),
          /* Unless halving z lost a bit (or z is NaN), the sum can be made
           * in float with the same result. */
          m_in_float(static_cast<double>(m_half_z_float) == m_half_z)
    {
    }

    void run(float *row, const int16_t *c, ptrdiff_t count) const
    {
        if (m_in_float)
            m_k.dequantize_run_float(row, c, count, m_p, m_q, m_half_z_float);
        else
            m_k.dequantize_run(row, c, count, m_p, m_q, m_half_z);
    }

private:
    const WsqSynthKernels &m_k;
    float m_p, m_q;
    double m_half_z;
    float m_half_z_float;
    bool m_in_float;
};

/* Subband i into out. With tiles, every sample of it is written (zeros
 * where nothing is coded); otherwise only coded samples are. With
 * zero_rows, marks its rows that come out all zero; with scan_only as
 * well, writes nothing. */
void dequantize_subband(const WsqSynthKernels &k, const WsqQuantTable *quant, const WsqQuantTree *tree,
                        const int16_t *coefficients, const size_t *start, size_t pixels, int width, float *out,
                        bool tiles, int i, uint8_t *zero_rows, bool leave_uncoded = false,
                        bool leave_zero_rows = false, bool scan_only = false)
{
    const WsqQuantNode &node = tree->nodes[i];
    const float q = i < WSQ_CODED_SUBBANDS ? quant->bin_width[i] : 0.0f;
    if (q == 0.0f) {
        if (zero_rows)
            std::memset(zero_rows, 1, static_cast<size_t>(node.leny));
        const bool leave = i >= WSQ_CODED_SUBBANDS ? leave_uncoded : leave_zero_rows && zero_rows;
        if (tiles && !leave && !scan_only)
            for (int r = 0; r < node.leny; ++r)
                std::memset(out + static_cast<size_t>(node.y + r) * width + node.x, 0,
                            static_cast<size_t>(node.lenx) * sizeof(float));
        return;
    }
    const RowDequantizer dequantize(k, quant, i);
    size_t from = start[i];
    for (int r = 0; r < node.leny; ++r) {
        const size_t length = static_cast<size_t>(node.lenx);
        const ptrdiff_t count = row_count(from, length, pixels);
        float *row = out + static_cast<size_t>(node.y + r) * width + node.x;
        /* Rows of zeros are common at low rates, and cheaper to clear. */
        const bool zero = zero_rows && all_zero(coefficients + from, count);
        if (zero_rows)
            zero_rows[r] = zero ? 1 : 0;
        if (!scan_only) {
            if (zero) {
                if (!leave_zero_rows)
                    std::memset(row, 0, static_cast<size_t>(count) * sizeof(float));
            } else {
                dequantize.run(row, coefficients + from, count);
            }
            /* A subband past the end of the coefficients stays zero. */
            if (tiles && count < static_cast<ptrdiff_t>(length) && !(zero && leave_zero_rows))
                std::memset(row + count, 0, (length - static_cast<size_t>(count)) * sizeof(float));
        }
        from += length;
    }
}

} // namespace

bool wsq_subbands_tile(const WsqQuantTree *tree, int width, int height)
{
    size_t tiled = 0;
    for (int i = 0; i < WSQ_SUBBANDS; ++i)
        tiled += static_cast<size_t>(tree->nodes[i].lenx) * static_cast<size_t>(tree->nodes[i].leny);
    return tiled == static_cast<size_t>(width) * static_cast<size_t>(height);
}

WsqZeroRows::WsqZeroRows(const WsqQuantTree *tree)
{
    int next = 0;
    for (int i = 0; i < WSQ_SUBBANDS; ++i) {
        rect[i] = tree->nodes[i];
        first[i] = next;
        next += std::max(rect[i].leny, 0);
    }
    first[WSQ_SUBBANDS] = next;
    rows.reset(new (std::nothrow) uint8_t[static_cast<size_t>(next) + 1]());
}

const uint8_t *WsqZeroRows::find(int x, int y, int lenx, int leny) const
{
    for (int i = 0; i < WSQ_SUBBANDS; ++i)
        if (rect[i].x == x && rect[i].y == y && rect[i].lenx == lenx && rect[i].leny == leny)
            return rows.get() + first[i];
    return nullptr;
}

void WsqZeroRows::clear_unwritten(float *image, int width, int x, int y, int lenx, int leny) const
{
    if (!rows || lenx <= 0)
        return;
    for (int i = 0; i < WSQ_SUBBANDS; ++i) {
        if (!unwritten[i] || rect[i].x != x || rect[i].y != y || rect[i].lenx != lenx || rect[i].leny != leny)
            continue;
        const uint8_t *zero = rows.get() + first[i];
        for (int r = 0; r < leny; ++r)
            if (zero[r])
                std::memset(image + static_cast<size_t>(y + r) * width + x, 0, static_cast<size_t>(lenx) * sizeof(float));
    }
}

void wsq_dequantize_subbands(const WsqQuantTable *quant, const WsqQuantTree *tree, const int16_t *coefficients,
                             int width, int height, float *image, int first, int end, int threads,
                             WsqZeroRows *zero_rows, bool leave_uncoded, int leave_zero_rows_from,
                             uint64_t done, uint64_t scan_only)
{
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    size_t start[WSQ_CODED_SUBBANDS];
    subband_starts(quant, tree, start);
    const WsqSynthKernels &k = *wsq_synth_kernels(wsq_synth_level());
    int todo[WSQ_SUBBANDS];
    int count = 0;
    for (int i = std::max(first, 0); i < std::min(end, static_cast<int>(WSQ_SUBBANDS)); ++i)
        if (!((done >> i) & 1) && (!((scan_only >> i) & 1) || (zero_rows && zero_rows->rows)))
            todo[count++] = i;
    wsq_parallel_for_split(threads, count, [&](int task, int) {
        const int i = todo[task];
        const bool rows_known = zero_rows && zero_rows->rows;
        const bool scan = (scan_only >> i) & 1;
        const bool leave_rows = rows_known && i >= leave_zero_rows_from && i < WSQ_CODED_SUBBANDS && !scan;
        dequantize_subband(k, quant, tree, coefficients, start, pixels, width, image, true, i,
                           rows_known ? zero_rows->rows.get() + zero_rows->first[i] : nullptr, leave_uncoded,
                           leave_rows, scan);
        if (leave_rows)
            zero_rows->unwritten[i] = true;
    });
}

namespace {

std::atomic<size_t> g_lazy_pixels{kWsqLargeBytes / sizeof(float)};

} // namespace

size_t wsq_lazy_pixels()
{
    return g_lazy_pixels.load(std::memory_order_relaxed);
}

size_t wsq_set_lazy_pixels(size_t pixels)
{
    return g_lazy_pixels.exchange(pixels, std::memory_order_relaxed);
}

WsqLazySubbands::WsqLazySubbands(const WsqQuantTable *quant_, const WsqQuantTree *tree_,
                                 const int16_t *coefficients_, size_t count_, uint64_t subbands_)
    : quant(quant_), tree(tree_), coefficients(coefficients_), count(count_), subbands(subbands_)
{
    subband_starts(quant, tree, start);
}

void WsqLazySubbands::rows(int i, int r0, int r1, float *out, ptrdiff_t pitch, const uint8_t *skip) const
{
    const size_t length = static_cast<size_t>(tree->nodes[i].lenx);
    const float q = i < WSQ_CODED_SUBBANDS ? quant->bin_width[i] : 0.0f;
    if (q == 0.0f) {
        for (int r = r0; r < r1; ++r, out += pitch)
            if (!(skip && skip[r]))
                std::memset(out, 0, length * sizeof(float));
        return;
    }
    const RowDequantizer dequantize(*wsq_synth_kernels(wsq_synth_level()), quant, i);
    for (int r = r0; r < r1; ++r, out += pitch) {
        if (skip && skip[r])
            continue;
        const size_t from = start[i] + static_cast<size_t>(r) * length;
        const ptrdiff_t n = row_count(from, length, count);
        dequantize.run(out, coefficients + from, n);
        if (n < static_cast<ptrdiff_t>(length))
            std::memset(out + n, 0, (length - static_cast<size_t>(n)) * sizeof(float));
    }
}

void WsqLazySubbands::release()
{
    std::free(owned);
    owned = nullptr;
    coefficients = nullptr;
}

void WsqLazySubbands::fill(float *image, int width) const
{
    for (int i = 0; i < WSQ_SUBBANDS; ++i)
        if ((subbands >> i) & 1) {
            const WsqQuantNode &node = tree->nodes[i];
            rows(i, 0, node.leny, image + static_cast<ptrdiff_t>(node.y) * width + node.x, width);
        }
}

int wsq_dequantize(const WsqQuantTable *quant, const WsqQuantTree *tree, const int16_t *coefficients,
                   int width, int height, float **image)
{
    const int level = wsq_synth_level();
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    /* When the subbands tile the image, each task writes every sample of
     * its own (zeros where nothing is coded), and the image need not be
     * cleared first; otherwise it is. */
    const bool tiles = level != WSQ_SYNTH_REFERENCE && wsq_subbands_tile(tree, width, height);
    float *out = static_cast<float *>(
        wsq_alloc_lines(pixels * sizeof(float), tiles ? WSQ_LINES_REUSABLE : WSQ_LINES_CLEARED));
    if (!out)
        return WSQ_E_NOT_MARKER;
    if (quant->defined != 1) {
        wsq_free_lines(out);
        return WSQ_E_MARKER_RANGE;
    }
    if (level == WSQ_SYNTH_REFERENCE) {
        dequantize_reference_into(out, quant, tree, coefficients, width, pixels);
    } else {
        size_t start[WSQ_CODED_SUBBANDS];
        subband_starts(quant, tree, start);
        const WsqSynthKernels &k = *wsq_synth_kernels(level);
        const int threads = pixels >= (static_cast<size_t>(1) << 18) ? wsq_decode_threads() : 1;
        wsq_parallel_for(threads, WSQ_SUBBANDS, [&](int i, int) {
            dequantize_subband(k, quant, tree, coefficients, start, pixels, width, out, tiles, i, nullptr);
        });
    }
    *image = out;
    return 0;
}
