/*
 * synth_fast.cpp - the fast wavelet synthesis the decoder runs.
 *
 * Each output sample of a line is a fixed list of terms (tap times band
 * sample) summed in a fixed order. The list depends only on the line
 * length, the filters and the output position, so it is worked out once
 * as band positions ("plans") and then applied to many samples at once:
 *
 * - Columns: the lines of a column pass lie side by side in memory, so one
 *   plan per output row is applied across all columns with vector loads.
 * - Rows: the even outputs 2m all use the same band offsets from m, and so
 *   do the odd outputs 2m + 1; both runs are computed as vectors over m
 *   and interleaved. With odd-length filters the row's bands are first
 *   copied out with their mirrored extension, so this holds up to the
 *   ends; with even-length ones (whose extension can reverse signs or
 *   leave terms out) the few outputs near the ends use per-output plans.
 *
 * Work is split into strips of output rows over the decode threads. The
 * last node, the whole image, goes strip by strip straight to bytes.
 *
 * The plans reproduce the reference routine's choice of terms, their
 * order and their operations exactly, so every output is bit-identical.
 */
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "dequantize.h"
#include "memory.h"
#include "reconstruct.h"
#include "synth_kernels.h"
#include "thread_pool.h"
#include "wsq.h"

namespace {

/* ------------------------------------------------------------------------
 * Choice of kernels
 * --------------------------------------------------------------------- */

std::atomic<int> g_forced_level{-1};
std::atomic<bool> g_poison_workspaces{false};

bool cpu_has_avx2()
{
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

bool cpu_has_avx512vl()
{
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
#else
    return false;
#endif
}

int best_level()
{
    static const int level = [] {
        if (wsq_synth_level_supported(WSQ_SYNTH_AVX512))
            return static_cast<int>(WSQ_SYNTH_AVX512);
        if (wsq_synth_level_supported(WSQ_SYNTH_AVX2))
            return static_cast<int>(WSQ_SYNTH_AVX2);
        if (wsq_synth_level_supported(WSQ_SYNTH_SSE2))
            return static_cast<int>(WSQ_SYNTH_SSE2);
        return static_cast<int>(WSQ_SYNTH_PORTABLE);
    }();
    return level;
}

/* ------------------------------------------------------------------------
 * Plans: which band positions each output uses
 * --------------------------------------------------------------------- */

struct Filters {
    const float *lo, *hi;
    int lsz, hsz;
};

/* Where the bands of a line of n samples sit. */
struct LineShape {
    int n, nl, nh, low_start, high_start;
};

LineShape line_shape(int n, int invert)
{
    LineShape s;
    s.n = n;
    s.nl = (n + 1) / 2;
    s.nh = n / 2;
    s.low_start = invert ? s.nh : 0;
    s.high_start = invert ? 0 : s.nl;
    return s;
}

/* A term by position in the line; -1 stands for the zero sample. */
struct PlanTerm {
    int32_t pos;
    float coef;
    int32_t op;
};

bool is_even(int j) { return (j & 1) == 0; }

int mirror_whole(int j, int n)
{
    const int period = 2 * (n - 1);
    j %= period;
    if (j < 0)
        j += period;
    return j > n - 1 ? period - j : j;
}

/* Odd-length filters: position of x[j] of the extended interleaved line. */
int interleaved_pos(const LineShape &s, int j)
{
    const int m = s.n > 1 ? mirror_whole(j, s.n) : 0;
    if (is_even(m) != is_even(j))
        return -1;
    return is_even(m) ? s.low_start + m / 2 : s.high_start + (m - 1) / 2;
}

/* Even-length filters: the mirrored low band. */
int low_pos_extended(const LineShape &s, int i)
{
    for (int guard = 0; guard < 4096; ++guard) {
        if (i < 0)
            i = -1 - i;
        else if (i >= s.nl)
            i = (s.n % 2 == 0) ? 2 * s.nl - 1 - i : 2 * (s.nl - 1) - i;
        else
            return s.low_start + i;
    }
    return -1;
}

/* Even-length filters: the high band with sign reversal; *sign 0 for the
 * zero sample past the end of an odd line (the term is left out). */
int high_pos_extended(const LineShape &s, int i, int *sign)
{
    int sg = 1;
    for (int guard = 0; guard < 4096 && s.nh > 0; ++guard) {
        if (i < 0) {
            i = -1 - i;
            sg = -sg;
        } else if (i >= s.nh) {
            if (s.n % 2 == 0) {
                i = 2 * s.nh - 1 - i;
            } else {
                if (i == s.nh)
                    break;
                i = 2 * s.nh - i;
            }
            sg = -sg;
        } else {
            *sign = sg;
            return s.high_start + i;
        }
    }
    *sign = 0;
    return -1;
}

/* The terms of output t, in the order the sum takes them; returns their
 * number (at most lsz + hsz). */
int plan_output(PlanTerm *out, const LineShape &s, const Filters &f, int t)
{
    int count = 0;
    bool first = true;
    if (f.lsz % 2 == 1) {
        const int a = (f.lsz - 1) / 2;
        const int b = (f.hsz - 1) / 2;
        for (int k = 0; k < f.lsz; ++k) {
            const int j = t + k - a;
            if (!is_even(j))
                continue;
            out[count++] = {interleaved_pos(s, j), f.lo[k], first ? WSQ_TERM_SET : WSQ_TERM_ADD};
            first = false;
        }
        for (int k = 0; k < f.hsz; ++k) {
            const int j = t + k - b;
            if (is_even(j))
                continue;
            out[count++] = {interleaved_pos(s, j), f.hi[k], WSQ_TERM_ADD};
        }
        return count;
    }
    const int half_l = f.lsz / 2;
    const int half_h = f.hsz / 2;
    for (int k = 0; k < f.lsz; ++k) {
        const int j = t + k - half_l;
        if (!is_even(j))
            continue;
        out[count++] = {low_pos_extended(s, j / 2), f.lo[k], first ? WSQ_TERM_SET : WSQ_TERM_ADD};
        first = false;
    }
    for (int k = 0; k < f.hsz; ++k) {
        const int j = t + k - half_h;
        if (!is_even(j))
            continue;
        int sign = 0;
        const int pos = high_pos_extended(s, j / 2, &sign);
        if (sign == 0)
            continue;
        out[count++] = {pos, f.hi[k], sign > 0 ? WSQ_TERM_SUB : WSQ_TERM_SUB_NEG};
    }
    return count;
}

/* One output from its plan, in scalar arithmetic (the same operations as
 * a vector lane). */
float eval_plan(const PlanTerm *terms, int count, const float *line, ptrdiff_t stride)
{
    float acc = 0.0f;
    for (int i = 0; i < count; ++i) {
        const float x = terms[i].pos >= 0 ? line[terms[i].pos * stride] : 0.0f;
        const float product = terms[i].coef * x;
        switch (terms[i].op) {
        case WSQ_TERM_SET: acc = product; break;
        case WSQ_TERM_ADD: acc = acc + product; break;
        case WSQ_TERM_SUB: acc = acc - product; break;
        default: acc = acc - (-product); break;
        }
    }
    return acc;
}

/* A term of the interior outputs 2m + parity: band sample m + offset. */
struct RelTerm {
    int high; /* 0 low band, 1 high band */
    int offset;
    float coef;
    int32_t op;
};

/* A band copied out with its extension: indices begin..end-1, the ones
 * outside 0..size-1 taken from the line positions in pad (-1: zero). */
struct PaddedBand {
    int begin = 0, end = 0;
    std::vector<int> pad; /* for begin..-1, then size..end-1 */
};

/* Everything a pass needs for lines of one length. */
struct LinePlan {
    LineShape shape;
    std::vector<RelTerm> terms[2]; /* even, odd outputs */
    int m_lo = 0, m_hi = -1;       /* interior: outputs 2*m_lo .. 2*m_hi + 1 */
    std::vector<int> edge_t;       /* the other outputs, in increasing order */
    std::vector<int> edge_start;   /* edge_t[i] uses edge_terms[edge_start[i] .. edge_start[i+1]) */
    std::vector<PlanTerm> edge_terms;
    /* Odd-length filters: every output's terms depend on its parity only,
     * the extension of the interleaved line being a mere choice of
     * samples; so a row copied out with its bands extended needs no edge
     * outputs. */
    bool padded = false;
    PaddedBand bands[2]; /* low, high */

    int edge_index(int t) const
    {
        return m_lo <= m_hi && t > 2 * m_hi + 1 ? t - 2 * (m_hi - m_lo + 1) : t;
    }
};

void build_padding(LinePlan &plan)
{
    const LineShape &s = plan.shape;
    const int runs[2] = {s.nl, s.nh}; /* outputs of each parity */
    for (int band = 0; band < 2; ++band) {
        const int size = band ? s.nh : s.nl;
        int lo = 0, hi = size; /* the band itself, at least */
        for (int p = 0; p < 2; ++p) {
            if (runs[p] == 0)
                continue;
            for (const RelTerm &r : plan.terms[p])
                if (r.high == band) {
                    lo = std::min(lo, r.offset);
                    hi = std::max(hi, runs[p] - 1 + r.offset + 1);
                }
        }
        PaddedBand &b = plan.bands[band];
        b.begin = lo;
        b.end = hi;
        b.pad.clear();
        for (int i = lo; i < hi; ++i)
            if (i < 0 || i >= size)
                b.pad.push_back(interleaved_pos(s, 2 * i + band));
    }
}

void build_line_plan(LinePlan &plan, int n, int invert, const Filters &f)
{
    plan.shape = line_shape(n, invert);
    const LineShape &s = plan.shape;
    int lo_bound = 0, hi_bound = 0;
    bool empty = false;
    for (int p = 0; p < 2; ++p) {
        std::vector<RelTerm> &terms = plan.terms[p];
        terms.clear();
        bool first = true;
        if (f.lsz % 2 == 1) {
            const int a = (f.lsz - 1) / 2;
            const int b = (f.hsz - 1) / 2;
            for (int k = 0; k < f.lsz; ++k)
                if (is_even(p + k - a)) {
                    terms.push_back({0, (p + k - a) / 2, f.lo[k], first ? WSQ_TERM_SET : WSQ_TERM_ADD});
                    first = false;
                }
            for (int k = 0; k < f.hsz; ++k)
                if (!is_even(p + k - b))
                    terms.push_back({1, (p + k - b - 1) / 2, f.hi[k], WSQ_TERM_ADD});
        } else {
            const int half_l = f.lsz / 2;
            const int half_h = f.hsz / 2;
            for (int k = 0; k < f.lsz; ++k)
                if (is_even(p + k - half_l)) {
                    terms.push_back({0, (p + k - half_l) / 2, f.lo[k], first ? WSQ_TERM_SET : WSQ_TERM_ADD});
                    first = false;
                }
            for (int k = 0; k < f.hsz; ++k)
                if (is_even(p + k - half_h))
                    terms.push_back({1, (p + k - half_h) / 2, f.hi[k], WSQ_TERM_SUB});
        }
        /* m such that t = 2m + p is in the line and every sample used is
         * inside its band, so that no extension is involved. */
        if (n - 1 - p < 0) {
            empty = true;
            continue;
        }
        int m_lo = 0, m_hi = (n - 1 - p) / 2;
        for (const RelTerm &r : terms) {
            const int size = r.high ? s.nh : s.nl;
            m_lo = std::max(m_lo, -r.offset);
            m_hi = std::min(m_hi, size - 1 - r.offset);
        }
        if (p == 0) {
            lo_bound = m_lo;
            hi_bound = m_hi;
        } else {
            lo_bound = std::max(lo_bound, m_lo);
            hi_bound = std::min(hi_bound, m_hi);
        }
    }
    if (empty || lo_bound > hi_bound) {
        plan.m_lo = 0;
        plan.m_hi = -1;
    } else {
        plan.m_lo = lo_bound;
        plan.m_hi = hi_bound;
    }
    plan.edge_t.clear();
    plan.edge_start.clear();
    plan.edge_terms.clear();
    std::vector<PlanTerm> one(static_cast<size_t>(f.lsz + f.hsz));
    for (int t = 0; t < n; ++t) {
        if (plan.m_lo <= plan.m_hi && t >= 2 * plan.m_lo && t <= 2 * plan.m_hi + 1)
            continue;
        const int count = plan_output(one.data(), s, f, t);
        plan.edge_t.push_back(t);
        plan.edge_start.push_back(static_cast<int>(plan.edge_terms.size()));
        plan.edge_terms.insert(plan.edge_terms.end(), one.begin(), one.begin() + count);
    }
    plan.edge_start.push_back(static_cast<int>(plan.edge_terms.size()));
    plan.padded = f.lsz % 2 == 1;
    if (plan.padded)
        build_padding(plan);
}

/* Working rows on cache-line boundaries, so that their vector loads and
 * copies run the same from one decode to the next. */
template <class T>
struct LineAllocator {
    using value_type = T;
    static constexpr std::align_val_t kAlign{64};
    LineAllocator() = default;
    template <class U>
    LineAllocator(const LineAllocator<U> &) noexcept
    {
    }
    T *allocate(size_t n) { return static_cast<T *>(::operator new(n * sizeof(T), kAlign)); }
    void deallocate(T *p, size_t) noexcept { ::operator delete(p, kAlign); }
    template <class U>
    bool operator==(const LineAllocator<U> &) const noexcept
    {
        return true;
    }
};
using Floats = std::vector<float, LineAllocator<float>>;

/* Output rows per task. */
constexpr int kStripRows = 16;

/* Per-thread working memory. */
struct Workspace {
    std::vector<WsqSynthTerm> terms;
    Floats even, odd;
    Floats bands[2]; /* extended low and high bands of up to kStripRows rows */
    size_t band_pitch = 0; /* floats from one row's band copy to the next */
    Floats strip, row;
    /* Band rows dequantized for the strips of a lazy node (see NodeOut):
     * a window for each band of each column group, and which rows of
     * whose pass each holds. */
    Floats window;
    struct HeldRows {
        const void *pass = nullptr;
        int first = 0, end = 0;
    } held[2][2];
    LinePlan column_plan, row_plan; /* of the node this thread runs alone */

    void reserve(const Filters &f, int longest_line)
    {
        const size_t half = static_cast<size_t>(longest_line / 2 + 1);
        terms.resize(2 * static_cast<size_t>(f.lsz + f.hsz)); /* both parities of a row */
        even.resize(half);
        odd.resize(half);
        /* A band extends by at most the filter length on each side. Rows
         * stay on cache-line boundaries. */
        band_pitch = (half + 2 * static_cast<size_t>(f.lsz + f.hsz) + 2 + 15) / 16 * 16;
        for (Floats &b : bands)
            b.resize(static_cast<size_t>(kStripRows) * band_pitch);
    }

    /* Floats held, for bounding what is kept between decodes. */
    size_t capacity() const
    {
        return even.capacity() + odd.capacity() + bands[0].capacity() + bands[1].capacity() + strip.capacity() +
               row.capacity() + window.capacity();
    }

    /* Testing: NaN into every working row, as kept memory may hold
     * anything; a pass that read what it did not write would show. */
    void poison_if_asked()
    {
        if (!g_poison_workspaces.load(std::memory_order_relaxed))
            return;
        for (Floats *v : {&even, &odd, &bands[0], &bands[1], &strip, &row, &window})
            std::fill(v->begin(), v->end(), std::numeric_limits<float>::quiet_NaN());
    }
};

/* Copies a band of a contiguous line out with its extension; returns the
 * address of its sample 0. */
float *pad_band(float *buffer, const PaddedBand &b, const float *line, int start, int size)
{
    float *zero = buffer - b.begin;
    const int *pad = b.pad.data();
    for (int i = b.begin; i < 0; ++i, ++pad)
        zero[i] = *pad >= 0 ? line[*pad] : 0.0f;
    if (size > 0)
        std::memcpy(zero, line + start, static_cast<size_t>(size) * sizeof(float));
    for (int i = size; i < b.end; ++i, ++pad)
        zero[i] = *pad >= 0 ? line[*pad] : 0.0f;
    return zero;
}

/* The first term left of a sum whose earlier terms were dropped (their
 * samples being zero) starts the sum: 0 - c * x is (-c) * x. Dropping a
 * term changes at most the sign of a zero sum, since adding a zero leaves
 * any other value as it is; so this is only for sums that end as bytes. */
WsqSynthTerm first_term(const float *src, float coef, int32_t op)
{
    if (op != WSQ_TERM_SET) {
        coef = op == WSQ_TERM_SUB ? -coef : coef;
        op = WSQ_TERM_SET;
    }
    return {src, coef, op};
}

/* Which bands of a line are known to be all zero: bit 0 the low band, bit
 * 1 the high band. Their terms are dropped (bytes only, see first_term). */
constexpr unsigned kLowZero = 1, kHighZero = 2;

/* Rows through apply_pair (see there for list, count, pitch and rows),
 * with the last even output of rows of odd length, which has no odd one
 * beside it. False, writing nothing and leaving the lists as they were,
 * where the kernels have no form for them. */
bool pair_rows(float *dst, ptrdiff_t dst_pitch, WsqSynthTerm *const *list, const int *count, ptrdiff_t pitch,
               int rows, const LineShape &s, const WsqSynthKernels &k)
{
    if (!k.apply_pair || !k.apply_pair(dst, dst_pitch, list[0], count[0], list[1], count[1], pitch, rows, s.nh))
        return false;
    if (s.nl > s.nh) {
        for (int i = 0; i < count[0]; ++i)
            list[0][i].src += s.nl - 1;
        for (int r = 0; r < rows; ++r) {
            k.apply_terms(dst + r * dst_pitch + s.n - 1, list[0], count[0], 1);
            for (int i = 0; i < count[0]; ++i)
                list[0][i].src += pitch;
        }
    }
    return true;
}

/* One line from its extended bands (band[b] at sample 0 of band b, null
 * for a band in zero_bands, whose terms are dropped); odd-length filters
 * only. */
void row_from_bands(float *dst, const float *const *band, const LinePlan &plan, const WsqSynthKernels &k,
                    Workspace &ws, unsigned zero_bands)
{
    const LineShape &s = plan.shape;
    if (zero_bands == (kLowZero | kHighZero)) {
        std::memset(dst, 0, static_cast<size_t>(s.n) * sizeof(float));
        return;
    }
    /* The terms of both parities, one list after the other. */
    WsqSynthTerm *list[2] = {ws.terms.data(), ws.terms.data() + plan.terms[0].size()};
    int count[2] = {0, 0};
    for (int p = 0; p < 2; ++p) {
        int &n = count[p];
        for (const RelTerm &r : plan.terms[p])
            if (!zero_bands) {
                list[p][n++] = {band[r.high] + r.offset, r.coef, r.op};
            } else if (band[r.high]) {
                const float *at = band[r.high] + r.offset;
                list[p][n] = n == 0 ? first_term(at, r.coef, r.op) : WsqSynthTerm{at, r.coef, r.op};
                ++n;
            }
    }
    if (pair_rows(dst, 0, list, count, 0, 1, s, k))
        return;
    float *runs[2] = {ws.even.data(), ws.odd.data()};
    k.apply_terms(runs[0], list[0], count[0], s.nl);
    k.apply_terms(runs[1], list[1], count[1], s.nh);
    k.interleave(dst, runs[0], runs[1], s.nh);
    if (s.nl > s.nh)
        dst[s.n - 1] = runs[0][s.nl - 1];
}

/* One line of contiguous samples; dst and src must not overlap. With
 * odd-length filters, the terms of the bands in zero_bands are dropped. */
void synth_row(float *dst, const float *src, const LinePlan &plan, const WsqSynthKernels &k,
               Workspace &ws, unsigned zero_bands = 0)
{
    const LineShape &s = plan.shape;
    float *runs[2] = {ws.even.data(), ws.odd.data()};
    if (plan.padded) {
        if (zero_bands == (kLowZero | kHighZero)) {
            std::memset(dst, 0, static_cast<size_t>(s.n) * sizeof(float));
            return;
        }
        const float *band[2] = {
            zero_bands & kLowZero ? nullptr : pad_band(ws.bands[0].data(), plan.bands[0], src, s.low_start, s.nl),
            zero_bands & kHighZero ? nullptr : pad_band(ws.bands[1].data(), plan.bands[1], src, s.high_start, s.nh)};
        row_from_bands(dst, band, plan, k, ws, zero_bands);
        return;
    }
    if (plan.m_lo <= plan.m_hi) {
        const ptrdiff_t count = plan.m_hi - plan.m_lo + 1;
        for (int p = 0; p < 2; ++p) {
            const std::vector<RelTerm> &rel = plan.terms[p];
            for (size_t i = 0; i < rel.size(); ++i)
                ws.terms[i] = {src + (rel[i].high ? s.high_start : s.low_start) + plan.m_lo + rel[i].offset,
                               rel[i].coef, rel[i].op};
            k.apply_terms(runs[p], ws.terms.data(), static_cast<int>(rel.size()), count);
        }
        k.interleave(dst + 2 * plan.m_lo, runs[0], runs[1], count);
    }
    const PlanTerm *terms = plan.edge_terms.data();
    for (size_t i = 0; i < plan.edge_t.size(); ++i) {
        const int begin = plan.edge_start[i];
        dst[plan.edge_t[i]] = eval_plan(terms + begin, plan.edge_start[i + 1] - begin, src, 1);
    }
}

/* Rows r = 0..rows-1 (at most kStripRows) of contiguous samples, row r
 * read at src + r * src_pitch and written at dst + r * dst_pitch: as
 * synth_row does each, but with one set-up of the kernel for them all.
 * dst must not overlap src. */
void synth_rows(float *dst, ptrdiff_t dst_pitch, const float *src, ptrdiff_t src_pitch, int rows,
                const LinePlan &plan, const WsqSynthKernels &k, Workspace &ws)
{
    const LineShape &s = plan.shape;
    if (rows > 1 && plan.padded && k.apply_pair && s.nh >= 8) {
        const ptrdiff_t pitch = static_cast<ptrdiff_t>(ws.band_pitch);
        const float *band[2] = {};
        for (int r = rows - 1; r >= 0; --r) {
            const float *line = src + r * src_pitch;
            band[0] = pad_band(ws.bands[0].data() + r * pitch, plan.bands[0], line, s.low_start, s.nl);
            band[1] = pad_band(ws.bands[1].data() + r * pitch, plan.bands[1], line, s.high_start, s.nh);
        }
        WsqSynthTerm *list[2] = {ws.terms.data(), ws.terms.data() + plan.terms[0].size()};
        int count[2] = {0, 0};
        for (int p = 0; p < 2; ++p)
            for (const RelTerm &r : plan.terms[p])
                list[p][count[p]++] = {band[r.high] + r.offset, r.coef, r.op};
        if (pair_rows(dst, dst_pitch, list, count, pitch, rows, s, k))
            return;
    }
    for (int r = 0; r < rows; ++r)
        synth_row(dst + r * dst_pitch, src + r * src_pitch, plan, k, ws);
}

/* A strip whose column pass writes straight into the workspace's band
 * rows, so that its row pass need not copy them out: row r's band b
 * starts (at its sample 0) at zero[b] + r * pitch. For lines of a padded
 * plan. */
struct BandedStrip {
    float *zero[2];
    ptrdiff_t pitch;
};

bool can_band(const LinePlan &plan) { return plan.padded; }

BandedStrip banded_strip(const LinePlan &plan, Workspace &ws)
{
    return {{ws.bands[0].data() - plan.bands[0].begin, ws.bands[1].data() - plan.bands[1].begin},
            static_cast<ptrdiff_t>(ws.band_pitch)};
}

/* Row pass of rows 0..rows-1 of a banded strip, row r written at dst + r *
 * dst_pitch (not overlapping the workspace), with the same results as
 * synth_rows on the rows the strip holds. Fills the bands' extensions
 * first. With zero_bands, row r drops the terms of the bands in
 * zero_bands[r] (see synth_row). */
void synth_banded_rows(float *dst, ptrdiff_t dst_pitch, const BandedStrip &strip, int rows, const LinePlan &plan,
                       const WsqSynthKernels &k, Workspace &ws, const unsigned *zero_bands = nullptr)
{
    const LineShape &s = plan.shape;
    for (int r = 0; r < rows; ++r) {
        float *row[2] = {strip.zero[0] + r * strip.pitch, strip.zero[1] + r * strip.pitch};
        /* Line position pos, from the band that holds it. */
        const auto at = [&](int pos) {
            return pos >= s.low_start && pos < s.low_start + s.nl ? row[0][pos - s.low_start]
                                                                    : row[1][pos - s.high_start];
        };
        for (int b = 0; b < 2; ++b) {
            const PaddedBand &band = plan.bands[b];
            const int size = b ? s.nh : s.nl;
            const int *pad = band.pad.data();
            for (int i = band.begin; i < 0; ++i, ++pad)
                row[b][i] = *pad >= 0 ? at(*pad) : 0.0f;
            for (int i = size; i < band.end; ++i, ++pad)
                row[b][i] = *pad >= 0 ? at(*pad) : 0.0f;
        }
    }
    bool any_zero = false;
    for (int r = 0; zero_bands && r < rows; ++r)
        any_zero |= zero_bands[r] != 0;
    if (!any_zero && rows > 1 && k.apply_pair && s.nh >= 8) {
        WsqSynthTerm *list[2] = {ws.terms.data(), ws.terms.data() + plan.terms[0].size()};
        int count[2] = {0, 0};
        for (int p = 0; p < 2; ++p)
            for (const RelTerm &r : plan.terms[p])
                list[p][count[p]++] = {strip.zero[r.high] + r.offset, r.coef, r.op};
        if (pair_rows(dst, dst_pitch, list, count, strip.pitch, rows, s, k))
            return;
    }
    for (int r = 0; r < rows; ++r) {
        const unsigned zb = zero_bands ? zero_bands[r] : 0;
        const float *band[2] = {zb & kLowZero ? nullptr : strip.zero[0] + r * strip.pitch,
                                zb & kHighZero ? nullptr : strip.zero[1] + r * strip.pitch};
        row_from_bands(dst + r * dst_pitch, band, plan, k, ws, zb);
    }
}

/* Where the two bands of side-by-side lines lie: sample i of the low band
 * of column c at low[(i - low_first) * low_pitch + c], of the high band at
 * high[(i - high_first) * high_pitch + c]. The bands need not be in one
 * buffer, nor held whole: a window of them starts at sample low_first
 * (high_first). */
struct ColumnSource {
    const float *low;
    ptrdiff_t low_pitch;
    const float *high;
    ptrdiff_t high_pitch;
    int low_first = 0, high_first = 0;

    const float *low_at(ptrdiff_t i) const { return low + (i - low_first) * low_pitch; }
    const float *high_at(ptrdiff_t i) const { return high + (i - high_first) * high_pitch; }
};

/* Lines of one buffer, sample s of column c at src[s * pitch + c]. */
ColumnSource in_place(const float *src, ptrdiff_t pitch, const LineShape &s)
{
    return {src + static_cast<ptrdiff_t>(s.low_start) * pitch, pitch,
            src + static_cast<ptrdiff_t>(s.high_start) * pitch, pitch, 0, 0};
}

/* The terms of an interior output 2m + p (every sample inside its band)
 * of side-by-side lines into out; returns their count. */
int interior_terms(WsqSynthTerm *out, const std::vector<RelTerm> &rel, const ColumnSource &src, int m)
{
    int count = 0;
    for (const RelTerm &r : rel) {
        const ptrdiff_t i = m + r.offset;
        out[count++] = {r.high ? src.high_at(i) : src.low_at(i), r.coef, r.op};
    }
    return count;
}

/* The band samples that outputs t0..t1-1 of a plan read: first[b] to
 * end[b] - 1 of band b (0 low, 1 high), first[b] == end[b] for none. */
void band_reach(const LinePlan &plan, int t0, int t1, int *first, int *end)
{
    const LineShape &s = plan.shape;
    first[0] = first[1] = std::numeric_limits<int>::max();
    end[0] = end[1] = std::numeric_limits<int>::min();
    const auto note = [&](int b, int i) {
        first[b] = std::min(first[b], i);
        end[b] = std::max(end[b], i + 1);
    };
    /* The interior outputs, i0..i1-1, read samples that move on with the
     * output: the first and the last one of each parity reach farthest. */
    const int i0 = plan.m_lo <= plan.m_hi ? std::max(t0, 2 * plan.m_lo) : t1;
    const int i1 = plan.m_lo <= plan.m_hi ? std::max(i0, std::min(t1, 2 * plan.m_hi + 2)) : t1;
    for (int t = t0; t < t1; ++t) {
        if (t >= i0 && t < i1) {
            if (t == i0 + 2 && i1 - 2 > t)
                t = i1 - 2;
            for (const RelTerm &r : plan.terms[t & 1])
                note(r.high, (t >> 1) + r.offset);
            continue;
        }
        const int e = plan.edge_index(t);
        for (int i = plan.edge_start[static_cast<size_t>(e)]; i < plan.edge_start[static_cast<size_t>(e) + 1]; ++i) {
            const int pos = plan.edge_terms[static_cast<size_t>(i)].pos;
            if (pos >= s.low_start && pos < s.low_start + s.nl)
                note(0, pos - s.low_start);
            else if (pos >= 0)
                note(1, pos - s.high_start);
        }
    }
    for (int b = 0; b < 2; ++b)
        if (first[b] >= end[b])
            first[b] = end[b] = 0;
}

/* Outputs t0..t1-1 of `columns` side-by-side lines read from src; output t
 * of column c goes to dst[(t - t0) * dst_pitch + c]. dst must not overlap
 * the source. With high_zero, every high-band sample of these columns is
 * taken to be zero; with zero_low (zero_high), band sample i of every
 * column is zero where zero_low[i] (zero_high[i]) is nonzero. The terms of
 * such samples, and of the zero sample, are then left out (bytes only, see
 * first_term). Returns a mask of the outputs left without terms (bit
 * t - t0, below 32), which are zeros. */
uint32_t synth_columns(float *dst, ptrdiff_t dst_pitch, const ColumnSource &src, int columns, const LinePlan &plan,
                       int t0, int t1, const WsqSynthKernels &k, Workspace &ws, bool high_zero = false,
                       const uint8_t *zero_low = nullptr, const uint8_t *zero_high = nullptr)
{
    const LineShape &s = plan.shape;
    const bool drop = high_zero || zero_low || zero_high;
    uint32_t empty = 0;
    /* The interior outputs: through one kernel call, each parity's list
     * set up once. */
    const int inner0 = std::max(t0, 2 * plan.m_lo), inner1 = std::min(t1, 2 * plan.m_hi + 2);
    bool inner_done = false;
    if (!drop && k.apply_columns && src.low_pitch == src.high_pitch && inner1 - inner0 >= 2) {
        WsqSynthTerm *list[2] = {ws.terms.data(), ws.terms.data() + plan.terms[0].size()};
        int n[2];
        for (int p = 0; p < 2; ++p) /* from the first output of parity p */
            n[p] = interior_terms(list[p], plan.terms[p], src, (inner0 + ((inner0 & 1) != p)) >> 1);
        inner_done = k.apply_columns(dst + (inner0 - t0) * dst_pitch, dst_pitch, list[0], n[0], list[1], n[1],
                                     src.low_pitch, inner0 & 1, inner1 - inner0, columns);
    }
    for (int t = t0; t < t1; ++t) {
        if (inner_done && t == inner0) {
            t = inner1 - 1;
            continue;
        }
        int count = 0;
        const auto add = [&](int band, ptrdiff_t i, float coef, int32_t op) {
            const float *p = nullptr;
            if (band == 0)
                p = src.low_at(i);
            else if (band == 1)
                p = src.high_at(i);
            if (drop && (!p || (band == 1 && (high_zero || (zero_high && zero_high[i]))) ||
                         (band == 0 && zero_low && zero_low[i])))
                return;
            ws.terms[static_cast<size_t>(count)] = drop && count == 0 ? first_term(p, coef, op) : WsqSynthTerm{p, coef, op};
            ++count;
        };
        if (plan.m_lo <= plan.m_hi && t >= 2 * plan.m_lo && t <= 2 * plan.m_hi + 1) {
            const int m = t >> 1;
            if (!drop) {
                count = interior_terms(ws.terms.data(), plan.terms[t & 1], src, m);
            } else {
                for (const RelTerm &r : plan.terms[t & 1])
                    add(r.high, m + r.offset, r.coef, r.op);
            }
        } else {
            const int e = plan.edge_index(t);
            const int begin = plan.edge_start[static_cast<size_t>(e)];
            const int end = plan.edge_start[static_cast<size_t>(e) + 1];
            for (int i = begin; i < end; ++i) {
                const PlanTerm &p = plan.edge_terms[static_cast<size_t>(i)];
                if (p.pos < 0)
                    add(-1, 0, p.coef, p.op);
                else if (p.pos >= s.low_start && p.pos < s.low_start + s.nl)
                    add(0, p.pos - s.low_start, p.coef, p.op);
                else
                    add(1, p.pos - s.high_start, p.coef, p.op);
            }
        }
        if (count == 0 && t - t0 < 32)
            empty |= 1u << (t - t0);
        k.apply_terms(dst + (t - t0) * dst_pitch, ws.terms.data(), count, columns);
    }
    return empty;
}

/* Columns c0..c1-1 of a node (column c read at src + c - c0 in each band),
 * outputs t0..t1-1, into a banded strip of the row plan whose shape is rs:
 * column c becomes sample c - start of the row band that holds it. The
 * rest as synth_columns; each touched band b's empty[b] (when given) keeps
 * only the outputs left without terms in every column of it here. */
void columns_to_bands(const BandedStrip &strip, const LineShape &rs, const ColumnSource &src, int c0, int c1,
                      const LinePlan &plan, int t0, int t1, const WsqSynthKernels &k, Workspace &ws,
                      bool high_zero = false, const uint8_t *zero_low = nullptr, const uint8_t *zero_high = nullptr,
                      uint32_t *empty = nullptr)
{
    const int start[2] = {rs.low_start, rs.high_start}, size[2] = {rs.nl, rs.nh};
    for (int b = 0; b < 2; ++b) {
        const int lo = std::max(c0, start[b]), hi = std::min(c1, start[b] + size[b]);
        if (lo >= hi)
            continue;
        ColumnSource part = src;
        part.low += lo - c0;
        part.high += lo - c0;
        const uint32_t e = synth_columns(strip.zero[b] + (lo - start[b]), strip.pitch, part, hi - lo, plan, t0, t1,
                                         k, ws, high_zero, zero_low, zero_high);
        if (empty)
            empty[b] &= e;
    }
}

/* ------------------------------------------------------------------------
 * Whole transform
 * --------------------------------------------------------------------- */

/* Below this many samples a pass stays on the calling thread: handing
 * it out would cost more than it saves. */
constexpr long long kParallelSamples = 1LL << 14;

int threads_for(long long samples, int threads)
{
    return samples >= kParallelSamples ? threads : 1;
}

int strips(int rows) { return (rows + kStripRows - 1) / kStripRows; }

struct Transform {
    float *image;
    int width, height;
    Filters f;
    const WsqSynthKernels *k;
    int threads;
    std::vector<Workspace> ws;
    LinePlan column_plan, row_plan;
    /* Nodes written out of place (see plan_moved_nodes): node n's output
     * goes to out[n] with pitch out_pitch[n]; null for a node in place. */
    float *out[4] = {};
    ptrdiff_t out_pitch[4] = {};
    /* Zero rows of the subbands: the nodes written out of place leave out
     * their terms, and every node clears the unwritten ones it reads. */
    const WsqZeroRows *zero_rows = nullptr;
    /* Subbands read straight from the coefficients by nodes 2 and 3 (see
     * NodeOut), which then leave the float image's copy alone. */
    const WsqLazySubbands *lazy = nullptr;
    /* Plans for the line lengths of the nodes, worked out before the
     * passes (see prepare_plans) and only read while they run. */
    struct CachedPlan {
        int n, invert;
        LinePlan plan;
    };
    std::vector<std::unique_ptr<CachedPlan>> plans;

    Transform(float *image_, int width_, int height_, const WsqTransformTable *table, int level, int threads_)
        : image(image_), width(width_), height(height_),
          f{table->low_pass, table->high_pass, table->low_pass_length, table->high_pass_length},
          k(wsq_synth_kernels(level)), threads(threads_)
    {
    }
};

/* What the synthesis keeps from one decode to the next, since building it
 * costs more than all the passes of a small image: the plans, which follow
 * from the filters and the line lengths alone, and the per-thread working
 * memory. One transform at a time holds it (KeptLease); another that runs
 * meanwhile builds its own. */
struct KeptSynthesis {
    std::vector<float> filters; /* lsz and hsz, then the taps the plans are for */
    std::vector<std::unique_ptr<Transform::CachedPlan>> plans;
    std::vector<Workspace> ws;
};

/* Bounds on what is kept: plans (lines of many lengths come only from a
 * stream of differently sized images) and working floats (wide images). */
constexpr size_t kKeptPlans = 64;
constexpr size_t kKeptFloats = static_cast<size_t>(1) << 20;

std::mutex g_kept_mutex;
std::unique_ptr<KeptSynthesis> g_kept;

std::vector<float> filter_key(const Filters &f)
{
    std::vector<float> key{static_cast<float>(f.lsz), static_cast<float>(f.hsz)};
    key.insert(key.end(), f.lo, f.lo + f.lsz);
    key.insert(key.end(), f.hi, f.hi + f.hsz);
    return key;
}

/* Hands a transform what was kept, if it is free, and takes back what the
 * transform holds when it ends. */
class KeptLease {
public:
    explicit KeptLease(Transform &tr) : m_tr(tr)
    {
        std::unique_ptr<KeptSynthesis> kept;
        {
            std::lock_guard<std::mutex> lock(g_kept_mutex);
            kept = std::move(g_kept);
        }
        if (!kept)
            return;
        m_tr.ws = std::move(kept->ws);
        /* Taps compared bit for bit: plans hold them. */
        const std::vector<float> key = filter_key(m_tr.f);
        if (kept->filters.size() == key.size() &&
            std::memcmp(kept->filters.data(), key.data(), key.size() * sizeof(float)) == 0)
            m_tr.plans = std::move(kept->plans);
    }

    ~KeptLease()
    {
        try {
            auto kept = std::make_unique<KeptSynthesis>();
            kept->filters = filter_key(m_tr.f);
            if (m_tr.plans.size() <= kKeptPlans)
                kept->plans = std::move(m_tr.plans);
            size_t floats = 0;
            for (const Workspace &ws : m_tr.ws)
                floats += ws.capacity();
            if (floats <= kKeptFloats)
                kept->ws = std::move(m_tr.ws);
            std::lock_guard<std::mutex> lock(g_kept_mutex);
            if (!g_kept)
                g_kept = std::move(kept);
        } catch (const std::bad_alloc &) {
        }
    }

    KeptLease(const KeptLease &) = delete;
    KeptLease &operator=(const KeptLease &) = delete;

private:
    Transform &m_tr;
};

/* The plan for lines of n samples: a prepared one, or else one built into
 * fallback. */
const LinePlan &line_plan(const Transform &tr, int n, int invert, LinePlan &fallback)
{
    for (const auto &c : tr.plans)
        if (c->n == n && c->invert == invert)
            return c->plan;
    build_line_plan(fallback, n, invert, tr.f);
    return fallback;
}

/* Works out the plans of nodes first..19 once: many share their lengths. */
void prepare_plans(Transform &tr, const WsqWaveletTree *tree, int first)
{
    for (int node = first; node < WSQ_WAVELET_NODES; ++node) {
        const WsqWaveletNode &w = tree->nodes[node];
        if (w.lenx <= 0 || w.leny <= 0)
            continue;
        const int lines[2][2] = {{w.leny, w.invert_columns}, {w.lenx, w.invert_rows}};
        for (const auto &line : lines) {
            bool known = false;
            for (const auto &c : tr.plans)
                known = known || (c->n == line[0] && c->invert == line[1]);
            if (known)
                continue;
            auto c = std::make_unique<Transform::CachedPlan>();
            c->n = line[0];
            c->invert = line[1];
            build_line_plan(c->plan, c->n, c->invert, tr.f);
            tr.plans.push_back(std::move(c));
        }
    }
}

/* body(task, workspace) for tasks 0..tasks-1: over the decode threads, or
 * with solo, all on the calling thread with that workspace. */
template <class Body>
void for_tasks(Transform &tr, int threads, Workspace *solo, int tasks, Body &&body)
{
    if (solo) {
        for (int task = 0; task < tasks; ++task)
            body(task, *solo);
        return;
    }
    wsq_parallel_for_split(threads, tasks,
                           [&](int task, int worker) { body(task, tr.ws[static_cast<size_t>(worker)]); });
}

/* Where the column groups of a node start, from its left: first the
 * columns of the row pass's low band, then those of its high band, or the
 * other way round. */
int column_group_split(const LineShape &rs) { return rs.low_start == 0 ? rs.nl : rs.nh; }

/* Quadrant (g, b) of a node as its column pass reads it: column group g
 * (0 on the left, see column_group_split) and band b (0 low, 1 high) of
 * the columns, for cs and rs the shapes of its columns and rows. */
WsqQuantNode node_quadrant(const WsqWaveletNode &w, const LineShape &cs, const LineShape &rs, int g, int b)
{
    const int split = column_group_split(rs);
    return {w.x + (g ? split : 0), w.y + (b ? cs.high_start : cs.low_start), g ? w.lenx - split : split,
            b ? cs.nh : cs.nl};
}

/* Clears the unwritten zero rows of the subbands among a node's four
 * quadrants, except those the node leaves out (skip[g][b]: the column
 * group g, from the left, and band b, 0 low and 1 high, of the columns). */
void clear_node_inputs(const Transform &tr, const WsqWaveletNode &w, const LineShape &cs, const LineShape &rs,
                       const bool (*skip)[2] = nullptr)
{
    if (!tr.zero_rows)
        return;
    for (int g = 0; g < 2; ++g)
        for (int b = 0; b < 2; ++b)
            if (!(skip && skip[g][b])) {
                const WsqQuantNode q = node_quadrant(w, cs, rs, g, b);
                tr.zero_rows->clear_unwritten(tr.image, tr.width, q.x, q.y, q.lenx, q.leny);
            }
}

/* One wavelet node in place, through a scratch of at least lenx * leny:
 * split over the decode threads, or with solo run by the calling thread
 * alone. */
void synth_node(Transform &tr, const WsqWaveletNode &w, float *scratch, Workspace *solo)
{
    float *origin = tr.image + static_cast<ptrdiff_t>(w.y) * tr.width + w.x;
    const LinePlan &column_plan =
        line_plan(tr, w.leny, w.invert_columns, solo ? solo->column_plan : tr.column_plan);
    const LinePlan &row_plan = line_plan(tr, w.lenx, w.invert_rows, solo ? solo->row_plan : tr.row_plan);
    clear_node_inputs(tr, w, column_plan.shape, row_plan.shape);
    const int threads = threads_for(static_cast<long long>(w.lenx) * w.leny, tr.threads);
    for_tasks(tr, threads, solo, strips(w.leny), [&](int task, Workspace &ws) {
        const int t0 = task * kStripRows;
        const int t1 = std::min(w.leny, t0 + kStripRows);
        synth_columns(scratch + static_cast<ptrdiff_t>(t0) * w.lenx, w.lenx,
                      in_place(origin, tr.width, column_plan.shape), w.lenx, column_plan, t0, t1, *tr.k, ws);
    });
    for_tasks(tr, threads, solo, strips(w.leny), [&](int task, Workspace &ws) {
        const int r0 = task * kStripRows;
        const int r1 = std::min(w.leny, r0 + kStripRows);
        synth_rows(origin + static_cast<ptrdiff_t>(r0) * tr.width, tr.width,
                   scratch + static_cast<ptrdiff_t>(r0) * w.lenx, w.lenx, r1 - r0, row_plan, *tr.k, ws);
    });
}

/* The lazy subbands that cover the quadrants of a node written out of
 * place (see node_quadrant): band[g][b] for quadrant (g, b). False unless
 * each is one. */
bool lazy_quadrants(const WsqQuantTree *tree, uint64_t subbands, const WsqWaveletNode &w, int (*band)[2])
{
    const LineShape cs = line_shape(w.leny, w.invert_columns), rs = line_shape(w.lenx, w.invert_rows);
    for (int g = 0; g < 2; ++g)
        for (int b = 0; b < 2; ++b) {
            const WsqQuantNode r = node_quadrant(w, cs, rs, g, b);
            band[g][b] = -1;
            for (int i = 0; i < WSQ_SUBBANDS && band[g][b] < 0 && r.lenx > 0 && r.leny > 0; ++i) {
                const WsqQuantNode &q = tree->nodes[i];
                if (((subbands >> i) & 1) && q.x == r.x && q.y == r.y && q.lenx == r.lenx && q.leny == r.leny)
                    band[g][b] = i;
            }
            if (band[g][b] < 0)
                return false;
        }
    return true;
}

/* The share of a node's samples (1 in kZeroShare) that must lie in zero
 * rows for synth_node_out to look for them. */
constexpr long long kZeroShare = 8;

/* One wavelet node out of place, strip by strip: the column pass of a few
 * rows goes to the workspace's strip, and the row pass takes it from there
 * straight to dst (pitch dst_pitch), which must not overlap the node. This
 * goes over memory half as often as synth_node. Being only for a last pass
 * that writes bytes, it also leaves out the terms of the rows of its
 * subbands that came out all zero, and the row pass those of the bands
 * that the column pass left all zero. When its subbands are lazy, each
 * strip dequantizes the rows it reads into the thread's window, and the
 * float image's copy is never read. The strips are independent of one
 * another: once the pass is set up, any thread may run any of them. */
class NodeOut {
public:
    NodeOut(Transform &tr, const WsqWaveletNode &w, float *dst, ptrdiff_t dst_pitch)
        : m_tr(tr), m_w(w), m_dst(dst), m_dst_pitch(dst_pitch),
          m_column_plan(line_plan(tr, w.leny, w.invert_columns, m_own_column_plan)),
          m_row_plan(line_plan(tr, w.lenx, w.invert_rows, m_own_row_plan))
    {
        const LineShape &cs = m_column_plan.shape, &rs = m_row_plan.shape;
        /* The columns of the row pass's low band and those of its high
         * band, each over two subbands (the column pass's bands). */
        const int split = column_group_split(rs);
        m_gx[1] = split;
        m_gw[0] = split;
        m_gw[1] = w.lenx - split;
        m_low_group = rs.low_start == 0 ? 0 : 1;
        if (tr.zero_rows && m_row_plan.padded && split > 0 && split < w.lenx) {
            /* Worth its bookkeeping only when a good share of the samples
             * lies in zero rows. */
            long long zero_samples = 0;
            for (int g = 0; g < 2; ++g) {
                const WsqQuantNode low = node_quadrant(w, cs, rs, g, 0), high = node_quadrant(w, cs, rs, g, 1);
                m_zero_low[g] = tr.zero_rows->find(low.x, low.y, low.lenx, low.leny);
                m_zero_high[g] = tr.zero_rows->find(high.x, high.y, high.lenx, high.leny);
                if (m_zero_low[g])
                    zero_samples += static_cast<long long>(m_gw[g]) * std::count(m_zero_low[g], m_zero_low[g] + cs.nl, 1);
                if (m_zero_high[g])
                    zero_samples +=
                        static_cast<long long>(m_gw[g]) * std::count(m_zero_high[g], m_zero_high[g] + cs.nh, 1);
            }
            m_zeros = zero_samples * kZeroShare >= static_cast<long long>(w.lenx) * w.leny;
        }
        /* With zeros, the terms of every zero row found are left out. */
        bool dropped[2][2] = {};
        for (int g = 0; g < 2 && m_zeros; ++g) {
            dropped[g][0] = m_zero_low[g] != nullptr;
            dropped[g][1] = m_zero_high[g] != nullptr;
        }
        m_lazy = tr.lazy && lazy_quadrants(tr.lazy->tree, tr.lazy->subbands, w, m_band);
        if (!m_lazy) {
            clear_node_inputs(tr, w, cs, rs, dropped);
        } else {
            /* The rows each strip reads, and the windows that takes, in
             * every thread's workspace: set up here, before any strip runs
             * (a lazy node is never set up while other passes run). */
            int rows = 1;
            m_reach.resize(static_cast<size_t>(strip_count()));
            for (int task = 0; task < strip_count(); ++task) {
                Reach &r = m_reach[static_cast<size_t>(task)];
                const int t0 = task * kStripRows;
                band_reach(m_column_plan, t0, std::min(w.leny, t0 + kStripRows), r.first, r.end);
                rows = std::max({rows, r.end[0] - r.first[0], r.end[1] - r.first[1]});
            }
            m_window_floats = static_cast<size_t>(rows) * static_cast<size_t>(std::max(m_gw[0], m_gw[1]));
            for (Workspace &ws : tr.ws) {
                for (auto &group : ws.held)
                    for (auto &band : group)
                        band = {};
                if (ws.window.size() < 4 * m_window_floats) {
                    ws.window.resize(4 * m_window_floats);
                    ws.poison_if_asked();
                }
            }
        }
        m_src = in_place(tr.image + static_cast<ptrdiff_t>(w.y) * tr.width + w.x, tr.width, cs);
    }
    NodeOut(const NodeOut &) = delete;
    NodeOut &operator=(const NodeOut &) = delete;

    int strip_count() const { return strips(m_w.leny); }

    /* Strip `task` (rows task * kStripRows on) with the workspace of the
     * thread that runs it. */
    void strip(int task, Workspace &ws) const
    {
        const Transform &tr = m_tr;
        const LinePlan &column_plan = m_column_plan, &row_plan = m_row_plan;
        const LineShape &rs = row_plan.shape;
        const int t0 = task * kStripRows;
        const int t1 = std::min(m_w.leny, t0 + kStripRows);
        float *dst = m_dst;
        const ptrdiff_t dst_pitch = m_dst_pitch;
        if (can_band(row_plan)) {
            const BandedStrip strip = banded_strip(row_plan, ws);
            uint32_t empty[2] = {~0u, ~0u};
            for (int g = 0; g < 2; ++g)
                if (m_gw[g] > 0) {
                    const ColumnSource part = source(g, t0, ws);
                    columns_to_bands(strip, rs, part, m_gx[g], m_gx[g] + m_gw[g], column_plan, t0, t1, *tr.k, ws,
                                     false, m_zeros ? m_zero_low[g] : nullptr, m_zeros ? m_zero_high[g] : nullptr,
                                     empty);
                }
            unsigned zero_bands[kStripRows] = {};
            bool any = false;
            for (int r = t0; r < t1; ++r) {
                const uint32_t bit = 1u << (r - t0);
                zero_bands[r - t0] = (empty[0] & bit ? kLowZero : 0) | (empty[1] & bit ? kHighZero : 0);
                any |= zero_bands[r - t0] != 0;
            }
            synth_banded_rows(dst + static_cast<ptrdiff_t>(t0) * dst_pitch, dst_pitch, strip, t1 - t0, row_plan,
                              *tr.k, ws, any ? zero_bands : nullptr);
            return;
        }
        uint32_t empty[2] = {0, 0};
        if (m_zeros || m_lazy) {
            for (int g = 0; g < 2; ++g)
                if (m_gw[g] > 0) {
                    const uint32_t e = synth_columns(ws.strip.data() + m_gx[g], m_w.lenx, source(g, t0, ws),
                                                     m_gw[g], column_plan, t0, t1, *tr.k, ws, false,
                                                     m_zeros ? m_zero_low[g] : nullptr,
                                                     m_zeros ? m_zero_high[g] : nullptr);
                    if (m_zeros)
                        empty[g] = e;
                }
        } else {
            synth_columns(ws.strip.data(), m_w.lenx, m_src, m_w.lenx, column_plan, t0, t1, *tr.k, ws);
        }
        if ((empty[0] | empty[1]) == 0) {
            synth_rows(dst + static_cast<ptrdiff_t>(t0) * dst_pitch, dst_pitch, ws.strip.data(), m_w.lenx, t1 - t0,
                       row_plan, *tr.k, ws);
            return;
        }
        for (int r = t0; r < t1; ++r) {
            const uint32_t bit = 1u << (r - t0);
            const unsigned zero_bands =
                (empty[m_low_group] & bit ? kLowZero : 0) | (empty[1 - m_low_group] & bit ? kHighZero : 0);
            synth_row(dst + static_cast<ptrdiff_t>(r) * dst_pitch,
                      ws.strip.data() + static_cast<ptrdiff_t>(r - t0) * m_w.lenx, row_plan, *tr.k, ws, zero_bands);
        }
    }

private:
    /* Where column group g's bands are for the strip from output t0: in the float
     * image, or else, lazy, in ws.window, their rows dequantized there
     * (but for the zero rows whose terms are left out). */
    ColumnSource source(int g, int t0, Workspace &ws) const
    {
        ColumnSource part = m_src;
        if (!m_lazy) {
            part.low += m_gx[g];
            part.high += m_gx[g];
            return part;
        }
        const Reach &r = m_reach[static_cast<size_t>(t0 / kStripRows)];
        return {window(g, 0, r.first[0], r.end[0], ws), m_gw[g], window(g, 1, r.first[1], r.end[1], ws), m_gw[g],
                r.first[0], r.first[1]};
    }

    /* Rows first..end-1 of band b of column group g in the thread's
     * window for them: those that the thread's last strip of this pass
     * left there are moved into place, the rest dequantized. Consecutive
     * strips share about half their rows, and a thread's strips are
     * mostly consecutive, so most rows are dequantized once. */
    const float *window(int g, int b, int first, int end, Workspace &ws) const
    {
        const ptrdiff_t pitch = m_gw[g];
        float *base = ws.window.data() + static_cast<size_t>(2 * g + b) * m_window_floats;
        Workspace::HeldRows &held = ws.held[g][b];
        int keep0 = end, keep1 = end; /* the rows already there */
        if (held.pass == this) {
            keep0 = std::max(first, held.first);
            keep1 = std::min(end, held.end);
            if (keep0 >= keep1)
                keep0 = keep1 = end;
        }
        if (keep0 < keep1)
            std::memmove(base + (keep0 - first) * pitch, base + (keep0 - held.first) * pitch,
                         static_cast<size_t>((keep1 - keep0) * pitch) * sizeof(float));
        const uint8_t *skip = m_zeros ? (b ? m_zero_high[g] : m_zero_low[g]) : nullptr;
        m_tr.lazy->rows(m_band[g][b], first, keep0, base, pitch, skip);
        m_tr.lazy->rows(m_band[g][b], keep1, end, base + (keep1 - first) * pitch, pitch, skip);
        held = {this, first, end};
        return base;
    }

    const Transform &m_tr;
    const WsqWaveletNode &m_w;
    float *m_dst;
    ptrdiff_t m_dst_pitch;
    /* Used only for a line length without a prepared plan. */
    LinePlan m_own_column_plan, m_own_row_plan;
    const LinePlan &m_column_plan, &m_row_plan;
    int m_gx[2] = {0, 0}, m_gw[2] = {0, 0};
    int m_low_group = 0;
    const uint8_t *m_zero_low[2] = {}, *m_zero_high[2] = {};
    bool m_zeros = false;
    bool m_lazy = false;
    int m_band[2][2] = {};
    struct Reach {
        int first[2], end[2];
    };
    std::vector<Reach> m_reach; /* lazy: the band rows of each strip (band_reach) */
    size_t m_window_floats = 0; /* lazy: the size of each window */
    ColumnSource m_src{};
};

void synth_node_out(Transform &tr, const WsqWaveletNode &w, float *dst, ptrdiff_t dst_pitch, Workspace *solo)
{
    const NodeOut pass(tr, w, dst, dst_pitch);
    const int threads = threads_for(static_cast<long long>(w.lenx) * w.leny, tr.threads);
    for_tasks(tr, threads, solo, pass.strip_count(), [&](int task, Workspace &ws) { pass.strip(task, ws); });
}

/* A node in place or, if it has a destination, out of place. */
void run_node(Transform &tr, const WsqWaveletTree *tree, int node, float *scratch, Workspace *solo)
{
    const WsqWaveletNode &w = tree->nodes[node];
    if (w.lenx <= 0 || w.leny <= 0)
        return;
    if (node < 4 && tr.out[node])
        synth_node_out(tr, w, tr.out[node], tr.out_pitch[node], solo);
    else
        synth_node(tr, w, scratch, solo);
}

/* Nodes 19..1 split over threads: subtrees whose regions do not overlap
 * run at once, each on one thread (in the order of the sequential loop
 * within it), and node 1 follows them over all threads. */
constexpr int kGroupWorkers = 3;
constexpr int8_t kNodeGroups[][7] = {
    {2, -1}, {3, -1}, {19, 18, 17, 16, 15, 14, -1}, {9, 8, 7, 6, 4, -1}, {13, 12, 11, 10, 5, -1}};

constexpr int kNodeGroupCount = static_cast<int>(sizeof kNodeGroups / sizeof kNodeGroups[0]);
/* The groups below node 1, which need only subbands 0 to 51. */
constexpr int kFirstEarlyGroup = 2;

/* The nodes of the groups in a mask (bit g: group g), for skipping them. */
void mark_groups(unsigned groups, bool *node_done)
{
    for (int g = 0; g < kNodeGroupCount; ++g)
        if (groups & (1u << g))
            for (const int8_t *node = kNodeGroups[g]; *node >= 0; ++node)
                node_done[*node] = true;
}

/* The nodes of group g in order, on the calling thread alone. */
void synth_group(Transform &tr, const WsqWaveletTree *tree, int g, float *scratch, Workspace &ws)
{
    for (const int8_t *node = kNodeGroups[g]; *node >= 0; ++node)
        run_node(tr, tree, *node, scratch, &ws);
}

void synth_grouped(Transform &tr, const WsqWaveletTree *tree, float *const *scratch, int workers, unsigned done)
{
    /* Nodes 2 and 3 (groups 0 and 1) are the largest. Written out of
     * place, they go as strips after the other groups, so that the threads
     * end together instead of one finishing a whole node alone. */
    std::optional<NodeOut> by_strips[2];
    int strip_tasks[2] = {0, 0};
    for (int n = 0; n < 2; ++n) {
        const WsqWaveletNode &w = tree->nodes[2 + n];
        if (!(done & (1u << n)) && tr.out[2 + n] && w.lenx > 0 && w.leny > 0) {
            by_strips[n].emplace(tr, w, tr.out[2 + n], tr.out_pitch[2 + n]);
            strip_tasks[n] = by_strips[n]->strip_count();
            done |= 1u << n;
        }
    }
    int todo[kNodeGroupCount];
    int groups = 0;
    for (int g = 0; g < kNodeGroupCount; ++g)
        if (!(done & (1u << g)))
            todo[groups++] = g;
    /* The caller takes the tasks from the front, the helpers from the
     * back: the caller the groups but the last one, then the strips from
     * node 2's first on; a helper the last group, then the strips from
     * node 3's last back. The groups are few and large, so however
     * unequal they are, the threads end within a strip of each other. */
    const int strip_count = strip_tasks[0] + strip_tasks[1];
    const int front = std::max(groups - 1, 0);
    wsq_parallel_for_split(workers, groups + strip_count, [&](int task, int worker) {
        Workspace &ws = tr.ws[static_cast<size_t>(worker)];
        if (task < front || task >= front + strip_count) {
            synth_group(tr, tree, todo[task < front ? task : groups - 1], scratch[worker], ws);
            return;
        }
        task -= front;
        const int n = task < strip_tasks[0] ? 0 : 1;
        by_strips[n]->strip(n ? task - strip_tasks[0] : task, ws);
    });
    run_node(tr, tree, 1, scratch[0], nullptr);
}

/* Where the columns of node 0 start whose high band is exactly the
 * quadrant the tree leaves uncoded (right of node 3, below node 2), when
 * the bands are in the usual order; else node 0's width. */
int fourth_split(const WsqWaveletTree *tree)
{
    const WsqWaveletNode &w = tree->nodes[0], &top_right = tree->nodes[2], &bottom_left = tree->nodes[3];
    const LineShape cs = line_shape(w.leny, w.invert_columns);
    if (cs.high_start == cs.nl && bottom_left.y - w.y == cs.nl && top_right.x > w.x && top_right.x - w.x < w.lenx)
        return top_right.x - w.x;
    return w.lenx;
}

/* Node 0 (the whole image) straight to bytes, strip by strip: its column
 * pass reads the float image, which nothing writes any more, or where
 * plan_moved_nodes put nodes 1 to 3. When the quadrant the tree leaves
 * uncoded (bottom right) is known to be zero, the columns over it skip
 * their high-band terms, which all read that zero quadrant. */
void synth_root_to_bytes(Transform &tr, const WsqWaveletTree *tree, unsigned char *pixels, float shift,
                         float scale, bool fourth_zero)
{
    const WsqWaveletNode &w = tree->nodes[0];
    const LinePlan &column_plan = line_plan(tr, w.leny, w.invert_columns, tr.column_plan);
    const LinePlan &row_plan = line_plan(tr, w.lenx, w.invert_rows, tr.row_plan);
    const int threads = threads_for(static_cast<long long>(w.lenx) * w.leny, tr.threads);
    const float *origin = tr.image + static_cast<ptrdiff_t>(w.y) * tr.width + w.x;
    /* Columns from `split` on have only zeros in their high band. */
    const int split = fourth_zero ? fourth_split(tree) : w.lenx;
    const LineShape &cs = column_plan.shape;
    ColumnSource left = in_place(origin, tr.width, cs), right = in_place(origin + split, tr.width, cs);
    if (tr.out[1]) {
        left = {tr.out[1], tr.out_pitch[1], tr.out[3], tr.out_pitch[3]};
        right.low = tr.out[2];
        right.low_pitch = tr.out_pitch[2];
    }
    wsq_parallel_for_split(threads, strips(w.leny), [&](int task, int worker) {
        Workspace &ws = tr.ws[static_cast<size_t>(worker)];
        const int t0 = task * kStripRows;
        const int t1 = std::min(w.leny, t0 + kStripRows);
        if (can_band(row_plan)) {
            const BandedStrip strip = banded_strip(row_plan, ws);
            columns_to_bands(strip, row_plan.shape, left, 0, split, column_plan, t0, t1, *tr.k, ws);
            if (split < w.lenx)
                columns_to_bands(strip, row_plan.shape, right, split, w.lenx, column_plan, t0, t1, *tr.k, ws,
                                 true);
            synth_banded_rows(ws.row.data(), w.lenx, strip, t1 - t0, row_plan, *tr.k, ws);
        } else {
            synth_columns(ws.strip.data(), w.lenx, left, split, column_plan, t0, t1, *tr.k, ws);
            if (split < w.lenx)
                synth_columns(ws.strip.data() + split, w.lenx, right, w.lenx - split, column_plan, t0, t1, *tr.k,
                              ws, true);
            synth_rows(ws.row.data(), w.lenx, ws.strip.data(), w.lenx, t1 - t0, row_plan, *tr.k, ws);
        }
        for (int r = t0; r < t1; ++r)
            tr.k->to_bytes(pixels + static_cast<ptrdiff_t>(w.y + r) * tr.width + w.x,
                           ws.row.data() + static_cast<ptrdiff_t>(r - t0) * w.lenx, w.lenx, shift, scale);
    });
}

/* Zeros into the quadrant the tree leaves uncoded: right of node 2's left
 * edge, below node 3's top, to the end of node 0. */
void clear_fourth_quadrant(float *image, int width, const WsqWaveletTree *tree)
{
    const WsqWaveletNode &r = tree->nodes[0];
    const int x0 = tree->nodes[2].x, y0 = tree->nodes[3].y;
    const int x1 = r.x + r.lenx, y1 = r.y + r.leny;
    if (x1 <= x0)
        return;
    for (int y = y0; y < y1; ++y)
        std::memset(image + static_cast<ptrdiff_t>(y) * width + x0, 0, static_cast<size_t>(x1 - x0) * sizeof(float));
}

/* When the last pass writes bytes and the uncoded quadrant is zero, nodes
 * 1 to 3 can be written out of place (synth_node_out), which saves a pass
 * over memory each, and node 0 reads them from where they went:
 * - node 2 (top right) into the uncoded quadrant, which node 0 never reads;
 * - node 3 (bottom left) into a buffer of its own, returned in *third_area
 *   (or, when nodes 2 and 3 read their subbands lazily, into node 2's
 *   quadrant, see lazy_layout);
 * - node 1 (top left) into node 3's quadrant, once node 3 is done.
 * This needs the usual layout (node 1 above node 3 and left of node 2,
 * every band in order) and the top row of quadrants no taller than the
 * bottom one, that is an even height: moved_layout says whether it holds.
 * plan_moved_nodes then sets the destinations of nodes 1 and 2; out[3] is
 * for the caller to fill. */
bool moved_layout(const WsqWaveletTree *tree)
{
    const WsqWaveletNode &r = tree->nodes[0], &n1 = tree->nodes[1], &n2 = tree->nodes[2], &n3 = tree->nodes[3];
    const LineShape cs = line_shape(r.leny, r.invert_columns);
    const int a = n1.lenx;
    if (r.lenx <= 0 || r.leny <= 0 || cs.low_start != 0 || cs.high_start != cs.nl || a <= 0 || a >= r.lenx)
        return false;
    const bool layout = n1.x == r.x && n1.y == r.y && n1.leny == cs.nl && n2.x == r.x + a && n2.y == r.y &&
                        n2.lenx == r.lenx - a && n2.leny == cs.nl && n3.x == r.x && n3.y == r.y + cs.nl &&
                        n3.lenx == a && n3.leny == cs.nh;
    return layout && cs.nl <= cs.nh && cs.nh > 0;
}

bool plan_moved_nodes(Transform &tr, const WsqWaveletTree *tree, size_t *third_area)
{
    if (!moved_layout(tree))
        return false;
    const WsqWaveletNode &r = tree->nodes[0], &n1 = tree->nodes[1], &n3 = tree->nodes[3];
    const LineShape cs = line_shape(r.leny, r.invert_columns);
    const int a = n1.lenx;
    float *bottom = tr.image + static_cast<ptrdiff_t>(r.y + cs.nl) * tr.width;
    tr.out[1] = bottom + r.x;
    tr.out[2] = bottom + r.x + a;
    tr.out_pitch[1] = tr.out_pitch[2] = tr.width;
    tr.out_pitch[3] = n3.lenx;
    *third_area = static_cast<size_t>(n3.lenx) * static_cast<size_t>(n3.leny);
    return true;
}

/* Whether nodes 2 and 3, written out of place (plan_moved_nodes), can
 * read exactly the lazy subbands as their quadrants, and node 3's output
 * fit where node 2's subbands lie in the float image, which is then free:
 * the buffer of its own is not needed. */
bool lazy_layout(const WsqWaveletTree *tree, const WsqQuantTree *quant_tree, uint64_t subbands)
{
    int band[2][2][2];
    if (!lazy_quadrants(quant_tree, subbands, tree->nodes[2], band[0]) ||
        !lazy_quadrants(quant_tree, subbands, tree->nodes[3], band[1]))
        return false;
    uint64_t used = 0;
    for (const auto &node : band)
        for (const auto &group : node)
            for (int i : group)
                used |= uint64_t{1} << i;
    const WsqWaveletNode &n2 = tree->nodes[2], &n3 = tree->nodes[3];
    return used == subbands && n3.lenx <= n2.lenx && n3.leny <= n2.leny;
}

/* The transform over nodes 19..0, node 0 either in place or to bytes
 * (pixels non-null). */
int reconstruct(float *image, int width, int height, const WsqWaveletTree *tree,
                const WsqTransformTable *table, float shift, float scale, unsigned char **pixels,
                int fourth, unsigned done_groups, const WsqZeroRows *zero_rows, WsqLazySubbands *lazy)
{
    int status = wsq_check_transform_table(table);
    if (status)
        return status;
    const bool fourth_zero = pixels && fourth != WSQ_FOURTH_ANY;
    const int level = wsq_synth_level();
    if (level == WSQ_SYNTH_REFERENCE) {
        if (lazy)
            lazy->fill(image, width);
        if (fourth == WSQ_FOURTH_UNWRITTEN)
            clear_fourth_quadrant(image, width, tree);
        for (int i = 0; zero_rows && i < WSQ_SUBBANDS; ++i) {
            const WsqQuantNode &q = zero_rows->rect[i];
            zero_rows->clear_unwritten(image, width, q.x, q.y, q.lenx, q.leny);
        }
        if ((status = wsq_reconstruct_reference(image, width, height, tree, table)) != 0)
            return status;
        if (pixels) {
            const size_t total = static_cast<size_t>(width) * static_cast<size_t>(height);
            *pixels = static_cast<unsigned char *>(std::malloc(total ? total : 1));
            if (!*pixels)
                return WSQ_E_IMAGE_ALLOC;
            wsq_float_to_bytes(*pixels, image, width, height, shift, scale);
        }
        return 0;
    }
    try {
        Transform tr(image, width, height, table, level, wsq_decode_threads());
        KeptLease lease(tr);
        const int last = pixels ? 1 : 0; /* the last node done in place */
        size_t third_area = 0;
        const bool moved = fourth_zero && plan_moved_nodes(tr, tree, &third_area);
        if (lazy && moved && lazy_layout(tree, lazy->tree, lazy->subbands)) {
            tr.lazy = lazy;
            const WsqWaveletNode &n2 = tree->nodes[2];
            tr.out[3] = image + static_cast<ptrdiff_t>(n2.y) * width + n2.x;
            tr.out_pitch[3] = width;
        } else if (lazy) {
            lazy->fill(image, width);
        }
        /* Nothing reads the uncoded quadrant when node 0's columns over
         * it skip their high band; moved, node 2 goes there besides. */
        if (fourth == WSQ_FOURTH_UNWRITTEN && !moved && (!fourth_zero || fourth_split(tree) == tree->nodes[0].lenx))
            clear_fourth_quadrant(image, width, tree);
        /* Nodes written out of place need only the strips, not the scratch. */
        const int first_in_place = moved ? 4 : last;
        size_t scratch_size = 1; /* for any node done in place */
        size_t below_root = 1;   /* for nodes 1..19 done in place */
        int longest = 1;
        for (int node = first_in_place; node < WSQ_WAVELET_NODES; ++node) {
            const WsqWaveletNode &w = tree->nodes[node];
            if (w.lenx <= 0 || w.leny <= 0)
                continue;
            const size_t area = static_cast<size_t>(w.lenx) * static_cast<size_t>(w.leny);
            scratch_size = std::max(scratch_size, area);
            if (node > 0)
                below_root = std::max(below_root, area);
        }
        for (const WsqWaveletNode &w : tree->nodes)
            longest = std::max({longest, w.lenx, w.leny});
        tr.ws.resize(static_cast<size_t>(tr.threads));
        const size_t root_width = static_cast<size_t>(std::max(tree->nodes[0].lenx, 0));
        for (Workspace &ws : tr.ws) {
            ws.reserve(tr.f, longest);
            if (pixels) {
                ws.strip.resize(static_cast<size_t>(kStripRows) * root_width);
                ws.row.resize(static_cast<size_t>(kStripRows) * root_width);
            }
            ws.poison_if_asked();
        }
        prepare_plans(tr, tree, 0);

        std::unique_ptr<float, decltype(&wsq_free_lines)> third(nullptr, &wsq_free_lines);
        if (moved && !tr.lazy) {
            third.reset(static_cast<float *>(wsq_alloc_lines(third_area * sizeof(float))));
            if (!third)
                return WSQ_E_LOWHALF;
            tr.out[3] = third.get();
        }
        tr.zero_rows = zero_rows;

        /* With several threads the subtrees below node 1 run side by
         * side, each with a scratch of its own; at most kGroupWorkers of
         * them keep the peak memory bounded. */
        const bool grouped = tr.threads > 1 && static_cast<long long>(width) * height >= 4 * kParallelSamples;
        const int workers = grouped ? std::min(tr.threads, kGroupWorkers) : 1;
        struct Scratch {
            float *p[kGroupWorkers] = {};
            ~Scratch()
            {
                for (float *q : p)
                    wsq_free_lines(q);
            }
        } scratch;
        for (int i = 0; i < workers; ++i)
            if (!(scratch.p[i] = static_cast<float *>(wsq_alloc_lines((i ? below_root : scratch_size) * sizeof(float)))))
                return WSQ_E_LOWHALF;
        if (grouped) {
            synth_grouped(tr, tree, scratch.p, workers, done_groups);
            if (!pixels && tree->nodes[0].lenx > 0 && tree->nodes[0].leny > 0)
                synth_node(tr, tree->nodes[0], scratch.p[0], nullptr);
        } else {
            bool node_done[WSQ_WAVELET_NODES] = {};
            mark_groups(done_groups, node_done);
            for (int node = WSQ_WAVELET_NODES - 1; node >= last; --node)
                if (!node_done[node])
                    run_node(tr, tree, node, scratch.p[0], nullptr);
        }
        for (float *&q : scratch.p) {
            wsq_free_lines(q);
            q = nullptr;
        }
        if (lazy)
            lazy->release();
        if (!pixels)
            return 0;

        const size_t total = static_cast<size_t>(width) * static_cast<size_t>(height);
        unsigned char *out = static_cast<unsigned char *>(wsq_alloc_large(total));
        if (!out)
            return WSQ_E_IMAGE_ALLOC;
        const WsqWaveletNode &root = tree->nodes[0];
        if (root.lenx > 0 && root.leny > 0)
            synth_root_to_bytes(tr, tree, out, shift, scale, fourth_zero);
        *pixels = out;
        return 0;
    } catch (const std::bad_alloc &) {
        return WSQ_E_LOWHALF;
    }
}

/* Lowest and one past the highest float a set of lines touches. */
void line_span(const float *base, int lines, int n, ptrdiff_t pitch, ptrdiff_t stride, uintptr_t *lo,
               uintptr_t *hi)
{
    const ptrdiff_t a = static_cast<ptrdiff_t>(lines - 1) * pitch;
    const ptrdiff_t b = static_cast<ptrdiff_t>(n - 1) * stride;
    const ptrdiff_t first = std::min<ptrdiff_t>(a, 0) + std::min<ptrdiff_t>(b, 0);
    const ptrdiff_t last = std::max<ptrdiff_t>(a, 0) + std::max<ptrdiff_t>(b, 0);
    *lo = reinterpret_cast<uintptr_t>(base) + static_cast<uintptr_t>(first) * sizeof(float);
    *hi = reinterpret_cast<uintptr_t>(base) + static_cast<uintptr_t>(last + 1) * sizeof(float);
}

} // namespace

/* ------------------------------------------------------------------------
 * Interfaces
 * --------------------------------------------------------------------- */

bool wsq_synth_level_supported(int level)
{
    switch (level) {
    case WSQ_SYNTH_REFERENCE:
    case WSQ_SYNTH_PORTABLE: return true;
    case WSQ_SYNTH_SSE2: return wsq_synth_kernels_sse2() != nullptr;
    case WSQ_SYNTH_AVX2: return wsq_synth_kernels_avx2() != nullptr && cpu_has_avx2();
    case WSQ_SYNTH_AVX512: return wsq_synth_kernels_avx512() != nullptr && cpu_has_avx512vl();
    default: return false;
    }
}

int wsq_synth_level(void)
{
    const int forced = g_forced_level.load(std::memory_order_relaxed);
    return forced >= 0 ? forced : best_level();
}

int wsq_synth_force_level(int level)
{
    if (level != -1 && !wsq_synth_level_supported(level))
        return -2;
    return g_forced_level.exchange(level);
}

void wsq_synth_release_kept(void)
{
    std::unique_ptr<KeptSynthesis> kept;
    std::lock_guard<std::mutex> lock(g_kept_mutex);
    kept = std::move(g_kept);
}

bool wsq_synth_poison_workspaces(bool on)
{
    return g_poison_workspaces.exchange(on);
}

const WsqSynthKernels *wsq_synth_kernels(int level)
{
    switch (level) {
    case WSQ_SYNTH_SSE2: return wsq_synth_kernels_sse2();
    case WSQ_SYNTH_AVX2: return wsq_synth_kernels_avx2();
    case WSQ_SYNTH_AVX512: return wsq_synth_kernels_avx512();
    default: return &wsq_synth_kernels_portable;
    }
}

void wsq_synthesize_lines(float *dest, const float *src, int lines, int n, ptrdiff_t pitch,
                          ptrdiff_t stride, const float *high_pass, int hsz, const float *low_pass,
                          int lsz, int invert)
{
    if (n <= 0 || lines <= 0)
        return;
    const int level = wsq_synth_level();
    if (level == WSQ_SYNTH_REFERENCE || lsz <= 0 || hsz <= 0) {
        wsq_synthesize_lines_reference(dest, src, lines, n, pitch, stride, high_pass, hsz, low_pass, lsz,
                                       invert);
        return;
    }
    try {
        const WsqSynthKernels &k = *wsq_synth_kernels(level);
        const Filters f{low_pass, high_pass, lsz, hsz};
        Workspace ws;
        ws.reserve(f, n);
        ws.poison_if_asked();
        uintptr_t src_lo, src_hi, dst_lo, dst_hi;
        line_span(src, lines, n, pitch, stride, &src_lo, &src_hi);
        line_span(dest, lines, n, pitch, stride, &dst_lo, &dst_hi);
        const bool apart = src_hi <= dst_lo || dst_hi <= src_lo;
        LinePlan plan;
        build_line_plan(plan, n, invert, f);
        if (apart && pitch == 1 && stride != 1) {
            synth_columns(dest, stride, in_place(src, stride, plan.shape), lines, plan, 0, n, k, ws);
            return;
        }
        if (apart && stride == 1) {
            for (int line = 0; line < lines; ++line)
                synth_row(dest + line * pitch, src + line * pitch, plan, k, ws);
            return;
        }
        /* Any other layout, or overlapping buffers: each line is copied out
         * before its outputs are written, as the reference does. */
        std::vector<float> in(static_cast<size_t>(n)), out(static_cast<size_t>(n));
        for (int line = 0; line < lines; ++line) {
            for (int i = 0; i < n; ++i)
                in[static_cast<size_t>(i)] = src[line * pitch + i * stride];
            synth_row(out.data(), in.data(), plan, k, ws);
            for (int i = 0; i < n; ++i)
                dest[line * pitch + i * stride] = out[static_cast<size_t>(i)];
        }
    } catch (const std::bad_alloc &) {
        wsq_synthesize_lines_reference(dest, src, lines, n, pitch, stride, high_pass, hsz, low_pass, lsz,
                                       invert);
    }
}

int wsq_reconstruct(float *image, int width, int height, const WsqWaveletTree *tree,
                    const WsqTransformTable *transform)
{
    return reconstruct(image, width, height, tree, transform, 0.0f, 0.0f, nullptr, WSQ_FOURTH_ANY, 0, nullptr,
                       nullptr);
}

int wsq_reconstruct_to_bytes(float *image, int width, int height, const WsqWaveletTree *tree,
                             const WsqTransformTable *transform, float shift, float scale,
                             unsigned char **pixels, int fourth_quadrant, unsigned done_groups,
                             const WsqZeroRows *zero_rows, WsqLazySubbands *lazy)
{
    return reconstruct(image, width, height, tree, transform, shift, scale, pixels, fourth_quadrant,
                       done_groups, zero_rows, lazy);
}

bool wsq_synth_reads_lazily(const WsqWaveletTree *tree, const WsqQuantTree *quant_tree, uint64_t subbands)
{
    return wsq_synth_level() != WSQ_SYNTH_REFERENCE && moved_layout(tree) &&
           lazy_layout(tree, quant_tree, subbands);
}

unsigned wsq_synthesize_early(float *image, int width, int height, const WsqWaveletTree *tree,
                              const WsqTransformTable *table, const std::atomic<int> *stop)
{
    const int level = wsq_synth_level();
    if (level == WSQ_SYNTH_REFERENCE || wsq_check_transform_table(table) != 0)
        return 0;
    try {
        Transform tr(image, width, height, table, level, 1);
        KeptLease lease(tr);
        size_t area = 1;
        int longest = 1;
        for (int g = kFirstEarlyGroup; g < kNodeGroupCount; ++g)
            for (const int8_t *node = kNodeGroups[g]; *node >= 0; ++node) {
                const WsqWaveletNode &w = tree->nodes[*node];
                area = std::max(area, static_cast<size_t>(std::max(w.lenx, 0)) * static_cast<size_t>(std::max(w.leny, 0)));
                longest = std::max({longest, w.lenx, w.leny});
            }
        if (tr.ws.empty())
            tr.ws.resize(1);
        Workspace &ws = tr.ws[0];
        ws.reserve(tr.f, longest);
        ws.poison_if_asked();
        prepare_plans(tr, tree, 4);
        std::unique_ptr<float, decltype(&wsq_free_lines)> scratch(
            static_cast<float *>(wsq_alloc_lines(area * sizeof(float))), &wsq_free_lines);
        if (!scratch)
            return 0;
        unsigned done = 0;
        for (int g = kFirstEarlyGroup; g < kNodeGroupCount && !stop->load(std::memory_order_acquire); ++g) {
            synth_group(tr, tree, g, scratch.get(), ws);
            done |= 1u << g;
        }
        return done;
    } catch (const std::bad_alloc &) {
        return 0;
    }
}
