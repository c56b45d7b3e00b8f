/*
 * encoder_transform.cpp - forward 9/7 wavelet analysis over the WSQ
 * wavelet tree.
 *
 * A line x[0..n-1] is extended symmetrically about its end samples without
 * repeating them (x[-p] = x[p], x[n-1+p] = x[n-1-p]) and split into
 *   L[i] = sum_d h0(d) x[2i + d]       (9 taps, i < ceil(n/2))
 *   H[i] = sum_d h1(d) x[2i + 1 + d]   (7 taps, i < floor(n/2)).
 * With symmetric filters the interleaved bands of such a line are
 * symmetric about the same end samples, which is exactly the extension the
 * decoder's synthesis applies; so synthesis gives the line back.
 */
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "encoder.h"

/* FBI WSQ specification, 9/7 biorthogonal analysis filters. */
const double wsq_analysis_low[5] = {0.852698679009, 0.377402855613, -0.110624404418,
                                    -0.023849465020, 0.037828455507};
const double wsq_analysis_high[4] = {0.788485616406, -0.418092273222, -0.040689417609,
                                     0.064538882629};

namespace {

/* Index j mirrored into 0..n-1 (repeatedly, for lines shorter than the
 * filters). */
int reflect(int j, int n)
{
    if (n == 1)
        return 0;
    const int period = 2 * (n - 1);
    j %= period;
    if (j < 0)
        j += period;
    return j < n ? j : period - j;
}

/* Destination positions of the bands within a line of n. */
void band_starts(int n, int invert, int *low_start, int *high_start)
{
    const int low_count = (n + 1) / 2, high_count = n / 2;
    *low_start = invert ? high_count : 0;
    *high_start = invert ? 0 : low_count;
}

/* One line through an extended copy (any stride). */
void analyze_line(float *dest, const float *src, int n, ptrdiff_t stride, int invert,
                  std::vector<double> &ext)
{
    constexpr int pad = 4;
    ext.resize(static_cast<size_t>(n) + 2 * pad);
    double *x = ext.data() + pad;
    for (int j = -pad; j < n + pad; ++j)
        x[j] = src[reflect(j, n) * stride];

    int low_start, high_start;
    band_starts(n, invert, &low_start, &high_start);
    /* Taps in the same order as the many-lines path, so both give the
     * same bits. */
    auto tap_sum = [](const double *c, const double *h, int half) {
        double s = 0.0;
        for (int d = -half; d <= half; ++d)
            s += h[std::abs(d)] * c[d];
        return s;
    };
    for (int i = 0; i < (n + 1) / 2; ++i)
        dest[(low_start + i) * stride] = static_cast<float>(tap_sum(x + 2 * i, wsq_analysis_low, 4));
    for (int i = 0; i < n / 2; ++i)
        dest[(high_start + i) * stride] = static_cast<float>(tap_sum(x + 2 * i + 1, wsq_analysis_high, 3));
}

/* Many adjacent lines at once (pitch 1): each output sample is a weighted
 * sum of whole input rows, which keeps the memory access sequential. */
void analyze_adjacent_lines(float *dest, const float *src, int lines, int n, ptrdiff_t stride,
                            int invert, std::vector<double> &acc)
{
    acc.resize(static_cast<size_t>(lines));
    int low_start, high_start;
    band_starts(n, invert, &low_start, &high_start);
    auto band = [&](int count, int start, int first_offset, const double *h, int half) {
        for (int i = 0; i < count; ++i) {
            const int centre = 2 * i + first_offset;
            std::fill(acc.begin(), acc.end(), 0.0);
            for (int d = -half; d <= half; ++d) {
                const double w = h[std::abs(d)];
                const float *row = src + reflect(centre + d, n) * stride;
                for (int l = 0; l < lines; ++l)
                    acc[static_cast<size_t>(l)] += w * row[l];
            }
            float *out = dest + (start + i) * stride;
            for (int l = 0; l < lines; ++l)
                out[l] = static_cast<float>(acc[static_cast<size_t>(l)]);
        }
    };
    band((n + 1) / 2, low_start, 0, wsq_analysis_low, 4);
    band(n / 2, high_start, 1, wsq_analysis_high, 3);
}

}  // namespace

void wsq_analyze_lines(float *dest, const float *src, int lines, int n, ptrdiff_t pitch,
                       ptrdiff_t stride, int invert)
{
    if (lines <= 0 || n <= 0)
        return;
    std::vector<double> work;
    if (pitch == 1 && lines > 1) {
        analyze_adjacent_lines(dest, src, lines, n, stride, invert, work);
        return;
    }
    for (int l = 0; l < lines; ++l)
        analyze_line(dest + l * pitch, src + l * pitch, n, stride, invert, work);
}

void wsq_forward_transform(float *image, int width, int height, const WsqWaveletTree *tree)
{
    std::vector<float> scratch(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (int k = 0; k < WSQ_WAVELET_NODES; ++k) {
        const WsqWaveletNode &node = tree->nodes[k];
        if (node.lenx <= 0 || node.leny <= 0)
            continue;
        float *at = image + static_cast<ptrdiff_t>(node.y) * width + node.x;
        /* Rows into the scratch, then columns back: the reverse of the
         * synthesis, which runs columns first. */
        wsq_analyze_lines(scratch.data(), at, node.leny, node.lenx, width, 1, node.invert_rows);
        wsq_analyze_lines(at, scratch.data(), node.lenx, node.leny, 1, width, node.invert_columns);
    }
}
