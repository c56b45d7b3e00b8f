/*
 * reconstruct.cpp - the reference wavelet synthesis and conversion to
 * bytes. The fast forms in synth_fast.cpp are checked against these.
 */
#include "reconstruct.h"

#include <cmath>
#include <cstdlib>
#include <vector>

#include "wsq.h"

namespace {

/* Whole-sample symmetric reflection into 0..n-1 (n > 1). */
int mirror_whole(int j, int n)
{
    const int period = 2 * (n - 1);
    j %= period;
    if (j < 0)
        j += period;
    return j > n - 1 ? period - j : j;
}

bool is_even(int j) { return (j & 1) == 0; }

/* Odd-length filters: the interleaved sequence x[2i] = L[i], x[2i+1] = H[i],
 * extended about its first and last sample without repetition. */
float interleaved_sample(const std::vector<float> &low, const std::vector<float> &high, int n, int j)
{
    const int m = n > 1 ? mirror_whole(j, n) : 0;
    if (is_even(m) != is_even(j))
        return 0.0f; /* a one-sample line has no high band */
    return is_even(m) ? low[static_cast<size_t>(m / 2)] : high[static_cast<size_t>((m - 1) / 2)];
}

/* Even-length filters: the low band mirrored with repetition at the left,
 * and at the right with repetition for even n, without it for odd n. */
float low_extended(const std::vector<float> &low, int n, int i)
{
    const int nl = static_cast<int>(low.size());
    for (int guard = 0; guard < 4096; ++guard) {
        if (i < 0)
            i = -1 - i;
        else if (i >= nl)
            i = (n % 2 == 0) ? 2 * nl - 1 - i : 2 * (nl - 1) - i;
        else
            return low[static_cast<size_t>(i)];
    }
    return 0.0f;
}

/* The high band extended with sign reversal; *sign receives +1, -1 or 0
 * (the zero sample past the end of an odd line). */
float high_extended(const std::vector<float> &high, int n, int i, int *sign)
{
    const int nh = static_cast<int>(high.size());
    int s = 1;
    for (int guard = 0; guard < 4096 && nh > 0; ++guard) {
        if (i < 0) {
            i = -1 - i;
            s = -s;
        } else if (i >= nh) {
            if (n % 2 == 0) {
                i = 2 * nh - 1 - i;
            } else {
                if (i == nh)
                    break;
                i = 2 * nh - i;
            }
            s = -s;
        } else {
            *sign = s;
            return high[static_cast<size_t>(i)];
        }
    }
    *sign = 0;
    return 0.0f;
}

void synthesize_line(float *dest, const float *src, int n, ptrdiff_t stride, const float *hi, int hsz,
                     const float *lo, int lsz, int invert, std::vector<float> &low,
                     std::vector<float> &high)
{
    const int nl = (n + 1) / 2;
    const int nh = n / 2;
    low.resize(static_cast<size_t>(nl));
    high.resize(static_cast<size_t>(nh));
    const int low_start = invert ? nh : 0;
    const int high_start = invert ? 0 : nl;
    for (int i = 0; i < nl; ++i)
        low[static_cast<size_t>(i)] = src[(low_start + i) * stride];
    for (int i = 0; i < nh; ++i)
        high[static_cast<size_t>(i)] = src[(high_start + i) * stride];

    if (lsz % 2 == 1) {
        const int a = (lsz - 1) / 2;
        const int b = (hsz - 1) / 2;
        for (int t = 0; t < n; ++t) {
            float acc = 0.0f;
            bool first = true;
            for (int k = 0; k < lsz; ++k) {
                const int j = t + k - a;
                if (!is_even(j))
                    continue;
                const float product = lo[k] * interleaved_sample(low, high, n, j);
                if (first) {
                    acc = product;
                    first = false;
                } else {
                    acc += product;
                }
            }
            for (int k = 0; k < hsz; ++k) {
                const int j = t + k - b;
                if (is_even(j))
                    continue;
                acc += hi[k] * interleaved_sample(low, high, n, j);
            }
            dest[t * stride] = acc;
        }
        return;
    }

    const int half_l = lsz / 2;
    const int half_h = hsz / 2;
    for (int t = 0; t < n; ++t) {
        float acc = 0.0f;
        bool first = true;
        for (int k = 0; k < lsz; ++k) {
            const int j = t + k - half_l;
            if (!is_even(j))
                continue;
            const float product = lo[k] * low_extended(low, n, j / 2);
            if (first) {
                acc = product;
                first = false;
            } else {
                acc += product;
            }
        }
        for (int k = 0; k < hsz; ++k) {
            const int j = t + k - half_h;
            if (!is_even(j))
                continue;
            int sign = 0;
            const float sample = high_extended(high, n, j / 2, &sign);
            if (sign == 0)
                continue; /* the term is zero */
            const float product = hi[k] * sample;
            acc -= sign > 0 ? product : -product;
        }
        dest[t * stride] = acc;
    }
}

} // namespace

void wsq_synthesize_lines_reference(float *dest, const float *src, int lines, int n, ptrdiff_t pitch,
                                    ptrdiff_t stride, const float *high_pass, int hsz,
                                    const float *low_pass, int lsz, int invert)
{
    if (n <= 0 || lines <= 0)
        return;
    std::vector<float> low, high;
    for (int line = 0; line < lines; ++line)
        synthesize_line(dest + line * pitch, src + line * pitch, n, stride, high_pass, hsz, low_pass,
                        lsz, invert, low, high);
}

int wsq_check_transform_table(const WsqTransformTable *table)
{
    if (table->low_pass_defined != 1)
        return WSQ_E_HIGHPASS;
    if (table->high_pass_defined != 1)
        return WSQ_E_HIGHHALF;
    if (!table->low_pass || !table->high_pass || table->low_pass_length == 0 ||
        table->high_pass_length == 0)
        return WSQ_E_BAD_TABLE;
    /* Filters of unequal parity form no symmetric filter bank. */
    if (table->low_pass_length % 2 != table->high_pass_length % 2)
        return WSQ_E_BAD_TABLE;
    return 0;
}

int wsq_reconstruct_reference(float *image, int width, int height, const WsqWaveletTree *tree,
                              const WsqTransformTable *table)
{
    const int status = wsq_check_transform_table(table);
    if (status)
        return status;
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    float *scratch = static_cast<float *>(std::malloc((pixels ? pixels : 1) * sizeof(float)));
    if (!scratch)
        return WSQ_E_LOWHALF;
    for (int node = WSQ_WAVELET_NODES - 1; node >= 0; --node) {
        const WsqWaveletNode &w = tree->nodes[node];
        if (w.lenx <= 0 || w.leny <= 0)
            continue;
        float *origin = image + static_cast<size_t>(w.y) * width + w.x;
        wsq_synthesize_lines_reference(scratch, origin, w.lenx, w.leny, 1, width, table->high_pass,
                                       table->high_pass_length, table->low_pass,
                                       table->low_pass_length, w.invert_columns);
        wsq_synthesize_lines_reference(origin, scratch, w.leny, w.lenx, width, 1, table->high_pass,
                                       table->high_pass_length, table->low_pass,
                                       table->low_pass_length, w.invert_rows);
    }
    std::free(scratch);
    return 0;
}

unsigned char wsq_float_to_byte(float v, float shift, float scale)
{
    const float product = scale * v;
    const float sum = product + shift;
    const float u = static_cast<float>(static_cast<double>(sum) + 0.5);
    if (std::isnan(u) || u < 0.0f)
        return 0;
    if (u > 255.0f)
        return 255;
    return static_cast<unsigned char>(u);
}

void wsq_float_to_bytes(unsigned char *pixels, const float *image, int width, int height,
                        float shift, float scale)
{
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    for (size_t i = 0; i < count; ++i)
        pixels[i] = wsq_float_to_byte(image[i], shift, scale);
}
