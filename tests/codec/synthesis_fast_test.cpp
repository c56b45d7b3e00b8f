// The fast synthesis, dequantization and byte conversion against the
// reference routines: every kernel level the processor runs, several thread
// counts, bit for bit.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "codestream.h"
#include "dequantize.h"
#include "memory.h"
#include "reconstruct.h"
#include "synth_kernels.h"
#include "synthprint.h"
#include "thread_pool.h"
#include "trees.h"
#include "wsq.h"
#include "wsq_encoder.h"

namespace fs = std::filesystem;

namespace {

/* Forces a kernel level for one scope. */
class ForcedLevel {
public:
    explicit ForcedLevel(int level) : m_previous(wsq_synth_force_level(level)) { EXPECT_NE(m_previous, -2); }
    ~ForcedLevel() { wsq_synth_force_level(m_previous); }
    ForcedLevel(const ForcedLevel &) = delete;
    ForcedLevel &operator=(const ForcedLevel &) = delete;

private:
    int m_previous;
};

class DecodeThreads {
public:
    explicit DecodeThreads(int threads) : m_previous(wsq_set_decode_threads(threads)) {}
    ~DecodeThreads() { wsq_set_decode_threads(m_previous); }
    DecodeThreads(const DecodeThreads &) = delete;
    DecodeThreads &operator=(const DecodeThreads &) = delete;

private:
    int m_previous;
};

std::vector<int> fast_levels()
{
    std::vector<int> levels;
    for (int level = WSQ_SYNTH_PORTABLE; level < WSQ_SYNTH_LEVELS; ++level)
        if (wsq_synth_level_supported(level))
            levels.push_back(level);
    return levels;
}

/* Equal bits; any two NaNs count as equal. */
bool same(float a, float b)
{
    if (std::isnan(a) && std::isnan(b))
        return true;
    uint32_t x, y;
    std::memcpy(&x, &a, 4);
    std::memcpy(&y, &b, 4);
    return x == y;
}

/* Index of the first differing element, or -1. */
long first_difference(const std::vector<float> &a, const std::vector<float> &b)
{
    if (a.size() != b.size())
        return 0;
    for (size_t i = 0; i < a.size(); ++i)
        if (!same(a[i], b[i]))
            return static_cast<long>(i);
    return -1;
}

std::vector<float> random_floats(std::mt19937 &rng, size_t n, float range)
{
    std::uniform_real_distribution<float> d(-range, range);
    std::vector<float> v(n);
    for (float &x : v)
        x = d(rng);
    return v;
}

/* Mostly zeros of either sign, as quantized subbands are: the sign of a
 * zero sum depends on exactly which terms were taken. */
std::vector<float> sparse_floats(std::mt19937 &rng, size_t n, float range, int zero_percent)
{
    std::vector<float> v = random_floats(rng, n, range);
    std::uniform_int_distribution<int> percent(0, 99);
    for (float &x : v)
        if (percent(rng) < zero_percent)
            x = percent(rng) < 50 ? 0.0f : -0.0f;
    return v;
}

struct FilterPair {
    std::vector<float> lo, hi;
    std::string name;
};

/* The transform table of a sample file: the standard 9/7 synthesis pair. */
FilterPair standard_filters()
{
    FilterPair f;
    f.name = "standard 9/7";
    const std::string path = std::string(VELLUMO_SOURCE_DIR) + "/samples/loop-500x500.wsq";
    unsigned char *data = nullptr;
    int length = 0;
    if (wsq_load_file(path.c_str(), &data, &length) != 0)
        return f;
    WsqTables tables;
    wsq_tables_init(&tables);
    ByteCursor cursor = wsq_cursor(data, static_cast<size_t>(length));
    WsqFrameHeader header{};
    if (wsq_read_up_to_frame(&cursor, &tables, &header) == 0) {
        f.lo.assign(tables.transform.low_pass, tables.transform.low_pass + tables.transform.low_pass_length);
        f.hi.assign(tables.transform.high_pass, tables.transform.high_pass + tables.transform.high_pass_length);
    }
    wsq_transform_table_release(&tables.transform);
    std::free(data);
    return f;
}

FilterPair random_filters(std::mt19937 &rng, int lsz, int hsz)
{
    FilterPair f;
    f.lo = random_floats(rng, static_cast<size_t>(lsz), 1.0f);
    f.hi = random_floats(rng, static_cast<size_t>(hsz), 1.0f);
    f.name = "random " + std::to_string(lsz) + "/" + std::to_string(hsz);
    return f;
}

std::vector<FilterPair> all_filters()
{
    std::mt19937 rng(97);
    std::vector<FilterPair> filters;
    filters.push_back(standard_filters());
    const int pairs[][2] = {{9, 7}, {7, 9}, {5, 3}, {3, 5}, {1, 1}, {3, 1}, {5, 5}, {13, 11}, {31, 33},
                            {8, 8}, {2, 2}, {4, 4}, {6, 6}, {4, 2}, {4, 6}, {10, 8}, {16, 16}, {30, 32}};
    for (const auto &p : pairs)
        filters.push_back(random_filters(rng, p[0], p[1]));
    return filters;
}

std::vector<int> line_lengths()
{
    std::vector<int> lengths;
    for (int n = 1; n <= 70; ++n)
        lengths.push_back(n);
    for (int n : {97, 128, 255, 256, 513})
        lengths.push_back(n);
    return lengths;
}

enum class Layout { Rows, Columns, Strided };

/* Lines as the passes lay them out: rows (pitch = line length plus some
 * padding, stride 1), columns (pitch 1, stride = number of lines plus
 * padding), or neither. Returns the buffer size. */
size_t layout(Layout kind, int lines, int n, ptrdiff_t *pitch, ptrdiff_t *stride)
{
    *pitch = *stride = 1;
    switch (kind) {
    case Layout::Rows: *pitch = n + 3; *stride = 1; break;
    case Layout::Columns: *pitch = 1; *stride = lines + 5; break;
    case Layout::Strided: *pitch = 2 * n + 1; *stride = 2; break;
    }
    return static_cast<size_t>((lines - 1) * *pitch + (n - 1) * *stride + 1);
}

TEST(FastSynthesis, LinesMatchTheReferenceEverywhere)
{
    const std::vector<int> levels = fast_levels();
    ASSERT_FALSE(levels.empty());
    std::mt19937 rng(2024);
    for (const FilterPair &f : all_filters()) {
        ASSERT_FALSE(f.lo.empty()) << f.name;
        const int lsz = static_cast<int>(f.lo.size()), hsz = static_cast<int>(f.hi.size());
        for (int n : line_lengths()) {
            for (Layout kind : {Layout::Rows, Layout::Columns, Layout::Strided}) {
                /* Line counts around the kernels' block sizes and tails. */
                const int lines = kind == Layout::Strided ? 2 : 1 + (n * 7 + lsz * 3 + static_cast<int>(kind)) % 41;
                ptrdiff_t pitch, stride;
                const size_t size = layout(kind, lines, n, &pitch, &stride);
                const std::vector<float> src = sparse_floats(rng, size, 64.0f, n % 2 ? 20 : 80);
                for (int invert = 0; invert < 2; ++invert) {
                    std::vector<float> expected(size, -7.0f);
                    wsq_synthesize_lines_reference(expected.data(), src.data(), lines, n, pitch, stride, f.hi.data(),
                                                   hsz, f.lo.data(), lsz, invert);
                    for (int level : levels) {
                        ForcedLevel forced(level);
                        std::vector<float> got(size, -7.0f);
                        wsq_synthesize_lines(got.data(), src.data(), lines, n, pitch, stride, f.hi.data(), hsz,
                                             f.lo.data(), lsz, invert);
                        const long at = first_difference(expected, got);
                        ASSERT_EQ(at, -1) << f.name << " n=" << n << " lines=" << lines << " layout="
                                          << static_cast<int>(kind) << " invert=" << invert << " level=" << level;
                    }
                }
            }
        }
    }
}

TEST(FastSynthesis, InPlaceLinesAreReadBeforeTheyAreWritten)
{
    std::mt19937 rng(5);
    const FilterPair f = standard_filters();
    const FilterPair even = random_filters(rng, 8, 8);
    for (const FilterPair *filters : {&f, &even}) {
        for (Layout kind : {Layout::Rows, Layout::Columns}) {
            const int lines = 19, n = 37;
            ptrdiff_t pitch, stride;
            const size_t size = layout(kind, lines, n, &pitch, &stride);
            const std::vector<float> src = random_floats(rng, size, 10.0f);
            std::vector<float> expected = src;
            wsq_synthesize_lines_reference(expected.data(), expected.data(), lines, n, pitch, stride,
                                           filters->hi.data(), static_cast<int>(filters->hi.size()),
                                           filters->lo.data(), static_cast<int>(filters->lo.size()), 1);
            for (int level : fast_levels()) {
                ForcedLevel forced(level);
                std::vector<float> got = src;
                wsq_synthesize_lines(got.data(), got.data(), lines, n, pitch, stride, filters->hi.data(),
                                     static_cast<int>(filters->hi.size()), filters->lo.data(),
                                     static_cast<int>(filters->lo.size()), 1);
                EXPECT_EQ(first_difference(expected, got), -1) << filters->name << " level=" << level;
            }
        }
    }
}

WsqTransformTable table_of(FilterPair &f)
{
    WsqTransformTable t{};
    t.low_pass = f.lo.data();
    t.high_pass = f.hi.data();
    t.low_pass_length = static_cast<uint8_t>(f.lo.size());
    t.high_pass_length = static_cast<uint8_t>(f.hi.size());
    t.low_pass_defined = 1;
    t.high_pass_defined = 1;
    return t;
}

TEST(FastSynthesis, WholeTransformMatchesWithAnyThreadCount)
{
    std::mt19937 rng(77);
    std::vector<FilterPair> filters = {standard_filters(), random_filters(rng, 7, 9), random_filters(rng, 8, 8),
                                       random_filters(rng, 4, 6)};
    /* Sizes from single samples up to ones whose big nodes are split over
     * threads. */
    const int sizes[][2] = {{1, 1}, {2, 3}, {13, 9}, {64, 64}, {97, 131}, {97, 130}, {300, 257}, {301, 258}, {513, 389}};
    const float shift = 131.5f, scale = 1.37f;
    for (FilterPair &f : filters) {
        const WsqTransformTable table = table_of(f);
        for (const auto &size : sizes) {
            const int width = size[0], height = size[1];
            WsqWaveletTree tree;
            WsqQuantTree quant;
            wsq_build_trees(&tree, &quant, width, height);
            std::vector<float> input = random_floats(rng, static_cast<size_t>(width) * height, 90.0f);
            /* Then again with the uncoded quadrant zero, as a decoder has
             * it, and the bytes pass told so; then also with many rows of
             * the subbands zero (one subband entirely), and told which. */
            WsqZeroRows zero_rows(&quant);
            for (const int zeros : {0, 1, 2}) {
                const int fourth_zero = zeros ? 1 : 0;
                if (zeros == 1)
                    for (int y = tree.nodes[3].y; y < height; ++y)
                        for (int x = tree.nodes[2].x; x < width; ++x)
                            input[static_cast<size_t>(y) * width + x] = 0.0f;
                if (zeros == 2)
                    for (int band = 0; band < WSQ_SUBBANDS; ++band) {
                        const WsqQuantNode &q = quant.nodes[band];
                        for (int r = 0; r < q.leny; ++r) {
                            if (band != 55 && rng() % 5 >= 3)
                                continue;
                            for (int x = q.x; x < q.x + q.lenx; ++x)
                                input[static_cast<size_t>(q.y + r) * width + x] = 0.0f;
                            zero_rows.rows[static_cast<size_t>(zero_rows.first[band] + r)] = 1;
                        }
                    }
                const WsqZeroRows *known = zeros == 2 ? &zero_rows : nullptr;
                std::vector<float> expected = input;
                ASSERT_EQ(wsq_reconstruct_reference(expected.data(), width, height, &tree, &table), 0);
                std::vector<unsigned char> expected_bytes(expected.size());
                wsq_float_to_bytes(expected_bytes.data(), expected.data(), width, height, shift, scale);
                for (int level : fast_levels()) {
                    ForcedLevel forced(level);
                    for (int threads : {1, 2, 3}) {
                        DecodeThreads using_threads(threads);
                        const std::string where = f.name + " " + std::to_string(width) + "x" + std::to_string(height) +
                                                  " level=" + std::to_string(level) +
                                                  " threads=" + std::to_string(threads) +
                                                  " zeros=" + std::to_string(zeros);
                        std::vector<float> got = input;
                        ASSERT_EQ(wsq_reconstruct(got.data(), width, height, &tree, &table), 0);
                        ASSERT_EQ(first_difference(expected, got), -1) << where;
                        got = input;
                        unsigned char *pixels = nullptr;
                        ASSERT_EQ(wsq_reconstruct_to_bytes(got.data(), width, height, &tree, &table, shift, scale,
                                                           &pixels, fourth_zero, 0, known),
                                  0);
                        const bool equal = std::memcmp(pixels, expected_bytes.data(), expected_bytes.size()) == 0;
                        std::free(pixels);
                        ASSERT_TRUE(equal) << where;

                        /* A quadrant said to be unwritten may hold anything
                         * (here NaN, which would show through any term). */
                        if (fourth_zero) {
                            got = input;
                            for (int y = tree.nodes[3].y; y < height; ++y)
                                for (int x = tree.nodes[2].x; x < width; ++x)
                                    got[static_cast<size_t>(y) * width + x] = std::nanf("");
                            pixels = nullptr;
                            ASSERT_EQ(wsq_reconstruct_to_bytes(got.data(), width, height, &tree, &table, shift, scale,
                                                               &pixels, WSQ_FOURTH_UNWRITTEN, 0, known),
                                      0);
                            const bool alike = std::memcmp(pixels, expected_bytes.data(), expected_bytes.size()) == 0;
                            std::free(pixels);
                            ASSERT_TRUE(alike) << where << " unwritten quadrant";
                        }
                        /* Likewise the zero rows of subbands said to be
                         * unwritten: each node must leave them out or
                         * clear them before it reads them. */
                        if (known) {
                            WsqZeroRows unwritten(&quant);
                            std::copy(zero_rows.rows.get(), zero_rows.rows.get() + zero_rows.first[WSQ_SUBBANDS],
                                      unwritten.rows.get());
                            got = input;
                            for (int band = 0; band < WSQ_CODED_SUBBANDS; ++band) {
                                unwritten.unwritten[band] = true;
                                const WsqQuantNode &q = quant.nodes[band];
                                for (int r = 0; r < q.leny; ++r)
                                    if (unwritten.rows[static_cast<size_t>(unwritten.first[band] + r)])
                                        for (int x = q.x; x < q.x + q.lenx; ++x)
                                            got[static_cast<size_t>(q.y + r) * width + x] = std::nanf("");
                            }
                            pixels = nullptr;
                            ASSERT_EQ(wsq_reconstruct_to_bytes(got.data(), width, height, &tree, &table, shift, scale,
                                                               &pixels, fourth_zero, 0, &unwritten),
                                      0);
                            const bool alike = std::memcmp(pixels, expected_bytes.data(), expected_bytes.size()) == 0;
                            std::free(pixels);
                            ASSERT_TRUE(alike) << where << " unwritten zero rows";
                        }

                        /* The subtrees below node 1 done ahead (all of them,
                         * or none when told to stop at once), the rest after. */
                        for (const int stop_at_once : {0, 1}) {
                            got = input;
                            const std::atomic<int> stop{stop_at_once};
                            const unsigned done =
                                wsq_synthesize_early(got.data(), width, height, &tree, &table, &stop);
                            EXPECT_EQ(done, stop_at_once ? 0u : 0x1Cu) << where;
                            pixels = nullptr;
                            ASSERT_EQ(wsq_reconstruct_to_bytes(got.data(), width, height, &tree, &table, shift,
                                                               scale, &pixels, fourth_zero, done, known),
                                      0);
                            const bool same = std::memcmp(pixels, expected_bytes.data(), expected_bytes.size()) == 0;
                            std::free(pixels);
                            ASSERT_TRUE(same) << where << " early, stop=" << stop_at_once;
                        }
                    }
                }
            }
        }
    }
}

/* A defined quantization table with random bin widths up to `widest`,
 * zero (no coefficients) for the subbands where none(i) holds. */
template <class None>
WsqQuantTable random_quant_table(std::mt19937 &rng, float widest, None &&none)
{
    WsqQuantTable table{};
    table.defined = 1;
    table.bin_center = 0.44f;
    std::uniform_real_distribution<float> width_of(0.5f, widest);
    for (int i = 0; i < WSQ_SUBBANDS; ++i) {
        table.bin_width[i] = none(i) ? 0.0f : width_of(rng);
        table.zero_bin_width[i] = 1.2f * table.bin_width[i];
    }
    return table;
}

/* NaN into all working memory the synthesis keeps, for one scope: a pass
 * that read what it had not written would show. */
class PoisonedWorkspaces {
public:
    PoisonedWorkspaces()
    {
        wsq_synth_release_kept();
        wsq_synth_poison_workspaces(true);
    }
    ~PoisonedWorkspaces()
    {
        wsq_synth_poison_workspaces(false);
        wsq_synth_release_kept();
    }
};

/* Nodes 2 and 3 reading their subbands (52 to 59) straight from the
 * coefficients, a window of rows at a time: the bytes are the reference's
 * for any filters, thread count and zero rows, and the float image's copy
 * of those subbands (NaN here) is never read. Where the layout does not
 * allow it (odd sizes), the subbands go into the image first. */
TEST(FastSynthesis, LazySubbandsMatchTheReference)
{
    PoisonedWorkspaces poisoned;
    std::mt19937 rng(91);
    std::vector<FilterPair> filters = {standard_filters(), random_filters(rng, 8, 8), random_filters(rng, 4, 6)};
    const int sizes[][2] = {{64, 64}, {300, 256}, {514, 390}, {301, 258}, {300, 257}};
    const float shift = 127.5f, scale = 1.9f;
    uint64_t lazy_subbands = 0;
    for (int i = 52; i < 60; ++i)
        lazy_subbands |= uint64_t{1} << i;
    int case_number = 0;
    for (FilterPair &f : filters) {
        const WsqTransformTable transform = table_of(f);
        for (const auto &size : sizes) {
            const int width = size[0], height = size[1];
            const bool even = width % 2 == 0 && height % 2 == 0;
            WsqWaveletTree tree;
            WsqQuantTree quant_tree;
            wsq_build_trees(&tree, &quant_tree, width, height);
            /* One lazy subband carries nothing. */
            const WsqQuantTable quant = random_quant_table(rng, 4.0f, [](int i) { return i == 57; });
            /* Coefficients subband after subband, as the blocks hold them,
             * with whole rows of zeros: many in one case (their terms are
             * then left out), few in the next. */
            const int zero_percent = case_number++ % 2 ? 3 : 45;
            std::vector<int16_t> coefficients(static_cast<size_t>(width) * height);
            WsqZeroRows zero_rows(&quant_tree);
            std::uniform_int_distribution<int> value(-40, 40), percent(0, 99);
            size_t next = 0;
            for (int i = 0; i < WSQ_SUBBANDS; ++i) {
                const WsqQuantNode &q = quant_tree.nodes[i];
                const bool coded = i < WSQ_CODED_SUBBANDS && quant.bin_width[i] != 0.0f;
                for (int r = 0; r < q.leny; ++r) {
                    bool zero = true;
                    if (coded && i != 54 && percent(rng) >= zero_percent)
                        for (int x = 0; x < q.lenx; ++x) {
                            const int v = percent(rng) < 40 ? value(rng) : 0;
                            coefficients[next + static_cast<size_t>(x)] = static_cast<int16_t>(v);
                            zero = zero && v == 0;
                        }
                    zero_rows.rows[static_cast<size_t>(zero_rows.first[i] + r)] = zero ? 1 : 0;
                    if (coded)
                        next += static_cast<size_t>(q.lenx);
                }
            }
            float *dequantized = nullptr;
            ASSERT_EQ(wsq_dequantize_reference(&quant, &quant_tree, coefficients.data(), width, height, &dequantized), 0);
            const std::vector<float> input(dequantized, dequantized + coefficients.size());
            std::free(dequantized);
            std::vector<float> expected = input;
            ASSERT_EQ(wsq_reconstruct_reference(expected.data(), width, height, &tree, &transform), 0);
            std::vector<unsigned char> expected_bytes(expected.size());
            wsq_float_to_bytes(expected_bytes.data(), expected.data(), width, height, shift, scale);

            std::vector<int> levels = fast_levels();
            levels.push_back(WSQ_SYNTH_REFERENCE);
            for (int level : levels) {
                ForcedLevel forced(level);
                if (level != WSQ_SYNTH_REFERENCE) {
                    EXPECT_EQ(wsq_synth_reads_lazily(&tree, &quant_tree, lazy_subbands), even);
                }
                for (int threads : {1, 2, 3}) {
                    DecodeThreads using_threads(threads);
                    const WsqZeroRows *const zero_rows_known[] = {nullptr, &zero_rows};
                    for (const WsqZeroRows *known : zero_rows_known) {
                        const std::string where = f.name + " " + std::to_string(width) + "x" + std::to_string(height) +
                                                  " level=" + std::to_string(level) +
                                                  " threads=" + std::to_string(threads) +
                                                  (known ? " zero rows known" : "");
                        std::vector<float> got = input;
                        for (int i = 52; i < 60; ++i) {
                            const WsqQuantNode &q = quant_tree.nodes[i];
                            for (int y = q.y; y < q.y + q.leny; ++y)
                                std::fill_n(got.begin() + static_cast<ptrdiff_t>(y) * width + q.x, q.lenx,
                                            std::nanf(""));
                        }
                        WsqLazySubbands lazy(&quant, &quant_tree, coefficients.data(), coefficients.size(),
                                             lazy_subbands);
                        unsigned char *pixels = nullptr;
                        ASSERT_EQ(wsq_reconstruct_to_bytes(got.data(), width, height, &tree, &transform, shift, scale,
                                                           &pixels, WSQ_FOURTH_ZERO, 0, known, &lazy),
                                  0)
                            << where;
                        const bool equal = std::memcmp(pixels, expected_bytes.data(), expected_bytes.size()) == 0;
                        std::free(pixels);
                        ASSERT_TRUE(equal) << where;
                    }
                }
            }
        }
    }
}

TEST(FastSynthesis, TableChecksComeFirst)
{
    std::vector<float> image(64, 1.0f);
    WsqWaveletTree tree;
    WsqQuantTree quant;
    wsq_build_trees(&tree, &quant, 8, 8);
    float taps[9] = {};
    WsqTransformTable t{};
    unsigned char *pixels = nullptr;
    EXPECT_EQ(wsq_reconstruct_to_bytes(image.data(), 8, 8, &tree, &t, 0.0f, 1.0f, &pixels, 0), WSQ_E_HIGHPASS);
    t.low_pass_defined = 1;
    EXPECT_EQ(wsq_reconstruct_to_bytes(image.data(), 8, 8, &tree, &t, 0.0f, 1.0f, &pixels, 0), WSQ_E_HIGHHALF);
    t.high_pass_defined = 1;
    t.low_pass = t.high_pass = taps;
    t.low_pass_length = 9;
    t.high_pass_length = 8;
    EXPECT_EQ(wsq_reconstruct_to_bytes(image.data(), 8, 8, &tree, &t, 0.0f, 1.0f, &pixels, 0), WSQ_E_BAD_TABLE);
    EXPECT_EQ(pixels, nullptr);
}

/* Floats of every magnitude and sign, NaN and infinities included. */
std::vector<float> any_floats(std::mt19937 &rng, size_t n)
{
    std::vector<float> v(n);
    for (float &x : v) {
        const uint32_t bits = static_cast<uint32_t>(rng());
        std::memcpy(&x, &bits, 4);
    }
    return v;
}

TEST(FastKernels, ByteConversionMatchesOneValueAtATime)
{
    std::mt19937 rng(3);
    std::vector<float> values = {-0.5f, 0.49f, 0.5f, 254.4f, 254.5f, 255.0f, 255.49f, 255.5f, 300.0f, -3.0f, -0.0f,
                                 0.0f, 1e30f, -1e30f, INFINITY, -INFINITY, NAN, -NAN, 127.49999f, 1e-40f,
                                 0.49999997f, 8388607.5f, 16777215.0f};
    const std::vector<float> more = random_floats(rng, 4000, 400.0f);
    values.insert(values.end(), more.begin(), more.end());
    const std::vector<float> odd = any_floats(rng, 4000);
    values.insert(values.end(), odd.begin(), odd.end());
    std::vector<std::pair<float, float>> params = {{0.0f, 1.0f}, {127.5f, 1.31f}, {-20.0f, 0.75f}, {NAN, 1.0f}};
    std::uniform_real_distribution<float> shift(-300.0f, 300.0f), scale(-4.0f, 4.0f);
    for (int i = 0; i < 20; ++i)
        params.push_back({shift(rng), scale(rng)});
    for (int level : fast_levels()) {
        const WsqSynthKernels &k = *wsq_synth_kernels(level);
        for (auto [shift, scale] : params) {
            for (size_t count : {values.size(), size_t{1}, size_t{7}, size_t{15}, size_t{33}}) {
                std::vector<unsigned char> got(count, 99);
                k.to_bytes(got.data(), values.data(), static_cast<ptrdiff_t>(count), shift, scale);
                for (size_t i = 0; i < count; ++i)
                    ASSERT_EQ(got[i], wsq_float_to_byte(values[i], shift, scale))
                        << "level=" << level << " v=" << values[i] << " shift=" << shift << " scale=" << scale;
            }
        }
    }
}

TEST(FastKernels, DequantizationMatchesOneValueAtATime)
{
    std::mt19937 rng(11);
    std::vector<int16_t> e = {0, 1, -1, 2, -2, 32767, -32768, 3, -3, 0, 0, 100, -100};
    std::uniform_int_distribution<int> small(-40, 40), any(-32768, 32767);
    for (int i = 0; i < 300; ++i)
        e.push_back(static_cast<int16_t>(i % 3 ? small(rng) : any(rng)));
    /* (P, Q, Z): usual values, ones where e - P is exactly 0 (the sign of a
     * zero result must match too), a Z whose half is no float, and random
     * ones of all magnitudes. */
    std::vector<std::array<float, 3>> params = {{0.44f, 10.0f, 12.0f}, {0.44f, 1.7f, 2.03f}, {1.0f, 3.0f, 0.0f},
                                                {2.0f, -1.5f, 0.0f},   {0.0f, 0.01f, 0.0f}, {0.35f, 123.456f, 7.0f},
                                                {0.44f, 1.0f, 1e-45f}, {0.44f, 1e30f, 3e38f}};
    std::uniform_real_distribution<float> unit(0.0f, 1.0f), exponent(-20.0f, 20.0f);
    for (int i = 0; i < 200; ++i)
        params.push_back({unit(rng), std::exp2(exponent(rng)), std::exp2(exponent(rng)) * unit(rng)});
    for (int level : fast_levels()) {
        const WsqSynthKernels &k = *wsq_synth_kernels(level);
        for (const auto &p : params) {
            const double half_z = static_cast<double>(p[2]) * 0.5;
            const bool half_is_float = static_cast<double>(p[2] * 0.5f) == half_z;
            for (size_t count : {e.size(), size_t{1}, size_t{3}, size_t{9}, size_t{21}}) {
                std::vector<float> got(count, -1.0f), got_float(count, -1.0f);
                k.dequantize_run(got.data(), e.data(), static_cast<ptrdiff_t>(count), p[0], p[1], half_z);
                if (half_is_float)
                    k.dequantize_run_float(got_float.data(), e.data(), static_cast<ptrdiff_t>(count), p[0], p[1],
                                           p[2] * 0.5f);
                for (size_t i = 0; i < count; ++i) {
                    const float expected = wsq_dequantize_value(e[i], p[0], p[1], p[2]);
                    ASSERT_TRUE(same(got[i], expected))
                        << "level=" << level << " e=" << e[i] << " P=" << p[0] << " Q=" << p[1] << " Z=" << p[2];
                    if (half_is_float) {
                        ASSERT_TRUE(same(got_float[i], expected))
                            << "float sum, level=" << level << " e=" << e[i] << " P=" << p[0] << " Q=" << p[1]
                            << " Z=" << p[2];
                    }
                }
            }
        }
    }
}

TEST(FastKernels, DequantizedImageMatchesWithAnyThreadCount)
{
    std::mt19937 rng(19);
    for (auto [width, height] : {std::pair{37, 29}, std::pair{600, 457}}) {
        WsqWaveletTree tree;
        WsqQuantTree quant_tree;
        wsq_build_trees(&tree, &quant_tree, width, height);
        /* Some subbands skipped. */
        WsqQuantTable table = random_quant_table(rng, 30.0f, [](int i) { return i % 7 == 3; });
        table.zero_bin_width[5] = 1e-45f; /* its half is no float: the sum stays in double */
        std::uniform_int_distribution<int> value(-300, 300);
        std::vector<int16_t> coefficients(static_cast<size_t>(width) * height);
        for (int16_t &c : coefficients)
            c = static_cast<int16_t>(value(rng) / 4 * (value(rng) % 3 == 0));
        float *expected = nullptr;
        ASSERT_EQ(wsq_dequantize_reference(&table, &quant_tree, coefficients.data(), width, height, &expected), 0);
        for (int level : fast_levels()) {
            ForcedLevel forced(level);
            for (int threads : {1, 2, 3}) {
                DecodeThreads using_threads(threads);
                float *got = nullptr;
                ASSERT_EQ(wsq_dequantize(&table, &quant_tree, coefficients.data(), width, height, &got), 0);
                const bool equal = std::memcmp(got, expected, coefficients.size() * sizeof(float)) == 0;
                wsq_free_lines(got);
                EXPECT_TRUE(equal) << width << "x" << height << " level=" << level << " threads=" << threads;
            }
        }
        std::free(expected);
        table.defined = 0;
        float *none = nullptr;
        EXPECT_EQ(wsq_dequantize(&table, &quant_tree, coefficients.data(), width, height, &none), WSQ_E_MARKER_RANGE);
        EXPECT_EQ(none, nullptr);
    }
}

TEST(ThreadPool, EveryTaskRunsOnceOnAValidWorker)
{
    for (bool split : {false, true}) {
        for (int threads : {1, 2, 3, 8}) {
            for (int tasks : {0, 1, 2, 5, 100}) {
                std::vector<std::atomic<int>> runs(static_cast<size_t>(tasks));
                std::atomic<int> bad_worker{0};
                /* Split: the caller's tasks come in increasing order from
                 * the first, a single helper's in decreasing order from
                 * the last (several helpers share the back). */
                std::atomic<int> out_of_order{0};
                int caller_last = -1;
                std::atomic<int> helper_last{tasks};
                auto body = [&](int task, int worker) {
                    if (worker < 0 || worker >= threads)
                        ++bad_worker;
                    ++runs[static_cast<size_t>(task)];
                    if (!split)
                        return;
                    if (worker == 0) {
                        if (task != caller_last + 1)
                            ++out_of_order;
                        caller_last = task;
                    } else if (threads == 2 && task >= helper_last.exchange(task)) {
                        ++out_of_order;
                    }
                };
                if (split)
                    wsq_parallel_for_split(threads, tasks, body);
                else
                    wsq_parallel_for(threads, tasks, body);
                const std::string where =
                    "split=" + std::to_string(split) + " threads=" + std::to_string(threads);
                EXPECT_EQ(bad_worker.load(), 0) << where;
                EXPECT_EQ(out_of_order.load(), 0) << where;
                for (int i = 0; i < tasks; ++i)
                    ASSERT_EQ(runs[static_cast<size_t>(i)].load(), 1) << where << " task=" << i;
            }
        }
    }
}

TEST(ThreadPool, NestedAndConcurrentCallsFinish)
{
    /* A task that starts another job, and two callers at once: the busy
     * pool makes the inner or second caller run its tasks itself. */
    std::atomic<int> inner{0};
    wsq_parallel_for(2, 4, [&](int, int) { wsq_parallel_for(2, 3, [&](int, int) { ++inner; }); });
    EXPECT_EQ(inner.load(), 12);

    std::atomic<int> total{0};
    auto job = [&] {
        for (int round = 0; round < 50; ++round)
            wsq_parallel_for(3, 7, [&](int, int) { ++total; });
    };
    std::thread a(job), b(job);
    a.join();
    b.join();
    EXPECT_EQ(total.load(), 2 * 50 * 7);
}

/* The decoded pixels of a codestream: reference pipeline, then every fast
 * level with one thread and with one per core; all must be equal. */
void expect_decodes_alike(const unsigned char *data, int length, const std::string &what)
{
    GrayImage reference{};
    {
        ForcedLevel forced(WSQ_SYNTH_REFERENCE);
        ASSERT_EQ(wsq_decode_image(data, length, &reference), 0) << what;
    }
    const size_t size = static_cast<size_t>(reference.width) * static_cast<size_t>(reference.height);
    for (int level : fast_levels()) {
        ForcedLevel forced(level);
        for (int threads : {1, 0}) {
            DecodeThreads using_threads(threads);
            GrayImage got{};
            ASSERT_EQ(wsq_decode_image(data, length, &got), 0) << what;
            EXPECT_EQ(got.width, reference.width);
            EXPECT_EQ(got.height, reference.height);
            EXPECT_EQ(std::memcmp(got.pixels, reference.pixels, size), 0)
                << what << " level=" << level << " threads=" << threads;
            wsq_free_image(&got);
        }
    }
    wsq_free_image(&reference);
}

void expect_file_decodes_alike(const fs::path &path)
{
    unsigned char *data = nullptr;
    int length = 0;
    ASSERT_EQ(wsq_load_file(path.string().c_str(), &data, &length), 0) << path;
    expect_decodes_alike(data, length, path.filename().string());
    std::free(data);
}

TEST(FastDecode, BundledSamplesDecodeAsTheReference)
{
    int files = 0;
    for (const auto &entry : fs::directory_iterator(fs::path(VELLUMO_SOURCE_DIR) / "samples"))
        if (entry.path().extension() == ".wsq") {
            expect_file_decodes_alike(entry.path());
            ++files;
        }
    EXPECT_GE(files, 1);
}

TEST(FastDecode, SharedFilesDecodeAsTheReference)
{
    const fs::path dir(VELLUMO_SHARED_DATA_DIR);
    if (!fs::is_directory(dir))
        GTEST_SKIP() << "no shared data folder";
    for (const auto &entry : fs::directory_iterator(dir))
        if (entry.path().extension() == ".wsq")
            expect_file_decodes_alike(entry.path());
}

/* A picture encoded at a bit rate decodes as the reference decodes it. */
void expect_encoded_decodes_alike(const std::vector<uint8_t> &pixels, int width, int height, float bitrate)
{
    WsqEncodeParams params;
    wsq_encode_default_params(&params);
    params.bitrate = bitrate;
    unsigned char *out = nullptr;
    int length = 0;
    ASSERT_EQ(wsq_encode(pixels.data(), width, height, &params, &out, &length, nullptr), 0);
    expect_decodes_alike(out, length, std::to_string(width) + "x" + std::to_string(height) + " at " +
                                          std::to_string(bitrate));
    std::free(out);
}

/* Prints of several sizes, one after another, so that each decode finds
 * what the synthesis kept from a differently sized one. */
void expect_encoded_prints_decode_alike()
{
    using vellumo::synth::Pattern;
    const struct {
        int width, height;
        Pattern pattern;
    } prints[] = {{97, 131, Pattern::Loop}, {256, 256, Pattern::Whorl}, {333, 517, Pattern::Arch},
                  {640, 481, Pattern::Loop}};
    uint32_t seed = 1;
    for (const auto &p : prints) {
        const std::vector<uint8_t> pixels = vellumo::synth::MakeFingerprint(p.width, p.height, seed++, p.pattern);
        for (float bitrate : {0.75f, 2.25f})
            expect_encoded_decodes_alike(pixels, p.width, p.height, bitrate);
    }
}

TEST(FastDecode, EncodedSyntheticPrintsDecodeAsTheReference)
{
    expect_encoded_prints_decode_alike();
}

/* Damage inside one block of a print big enough for the blocks to be
 * decoded side by side: whatever each thread count makes of the blocks
 * finishing early, failing, or standing with wrong coefficients (work
 * beside them then starts on the blocks that are done), the status and the
 * bytes are the reference's. */
void expect_damaged_blocks_decode_alike(int width, int height)
{
    using vellumo::synth::Pattern;
    const std::vector<uint8_t> pixels = vellumo::synth::MakeFingerprint(width, height, 7, Pattern::Loop);
    unsigned char *encoded = nullptr;
    int length = 0;
    ASSERT_EQ(wsq_encode(pixels.data(), width, height, nullptr, &encoded, &length, nullptr), 0);
    const std::vector<uint8_t> file(encoded, encoded + length);
    std::free(encoded);
    /* The data of each block: from after its header (marker, length, table
     * id) to the next marker. */
    std::vector<std::pair<size_t, size_t>> blocks;
    for (size_t i = 0; i + 1 < file.size(); ++i)
        if (file[i] == 0xFF && file[i + 1] == 0xA3) {
            size_t end = i + 5;
            while (end + 1 < file.size() && !(file[end] == 0xFF && file[end + 1] != 0x00))
                ++end;
            blocks.push_back({i + 5, end});
        }
    ASSERT_EQ(blocks.size(), 3u);

    uint32_t state = 0x5EED0009;
    const auto next = [&] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    int failed = 0, decoded = 0;
    for (int round = 0; round < 24; ++round) {
        const auto [begin, end] = blocks[static_cast<size_t>(round % 3)];
        std::vector<uint8_t> damaged = file;
        for (int k = 0; k < 1 + round % 3; ++k)
            damaged[begin + next() % (end - begin)] = static_cast<uint8_t>(round % 4 == 0 ? 0xFF : next());
        const std::string what = "round " + std::to_string(round) + ", block " + std::to_string(round % 3);
        GrayImage reference{};
        int expected;
        {
            ForcedLevel forced(WSQ_SYNTH_REFERENCE);
            DecodeThreads one(1);
            expected = wsq_decode_image(damaged.data(), static_cast<int>(damaged.size()), &reference);
        }
        (expected == 0 ? decoded : failed) += 1;
        for (int level : fast_levels()) {
            ForcedLevel forced(level);
            for (int threads : {1, 2, 3}) {
                DecodeThreads using_threads(threads);
                GrayImage got{};
                ASSERT_EQ(wsq_decode_image(damaged.data(), static_cast<int>(damaged.size()), &got), expected)
                    << what << " level=" << level << " threads=" << threads;
                if (expected == 0) {
                    EXPECT_EQ(std::memcmp(got.pixels, reference.pixels, static_cast<size_t>(width) * height), 0)
                        << what << " level=" << level << " threads=" << threads;
                }
                wsq_free_image(&got);
            }
        }
        wsq_free_image(&reference);
    }
    EXPECT_GT(decoded, 0);
    EXPECT_GT(failed, 0);
}

TEST(FastDecode, DamagedBlocksDecodeAsTheReferenceAtEveryThreadCount)
{
    expect_damaged_blocks_decode_alike(640, 481);
}

/* Working memory kept from an earlier decode holds its old rows: with it
 * all NaN, a pass that read what it had not written would show. */
TEST(FastDecode, KeptWorkingMemoryIsWrittenBeforeItIsRead)
{
    PoisonedWorkspaces poisoned;
    expect_encoded_prints_decode_alike();
}

/* Nodes 2 and 3 reading their subbands from the coefficients, which the
 * decoder does only for very large prints, here for every size: prints of
 * even sizes (the layout this needs) and odd ones, the damaged blocks of
 * one, all with poisoned working memory. */
TEST(FastDecode, LazySubbandsDecodeAsTheReference)
{
    struct AnySize {
        size_t previous = wsq_set_lazy_pixels(0);
        ~AnySize() { wsq_set_lazy_pixels(previous); }
    } any_size;
    PoisonedWorkspaces poisoned;
    using vellumo::synth::Pattern;
    uint32_t seed = 40;
    for (auto [width, height] : {std::pair{256, 256}, std::pair{640, 480}, std::pair{502, 724}}) {
        const std::vector<uint8_t> pixels = vellumo::synth::MakeFingerprint(width, height, seed++, Pattern::Whorl);
        for (float bitrate : {0.3f, 2.25f})
            expect_encoded_decodes_alike(pixels, width, height, bitrate);
    }
    expect_encoded_prints_decode_alike();
    expect_damaged_blocks_decode_alike(640, 480);
}

} // namespace
