/*
 * synth_portable.cpp - the kernels in plain C++, for any processor. The
 * loops are written over short fixed blocks so that the compiler can
 * vectorise them; each lane still follows the reference order of
 * operations exactly.
 */
#include <cstring>

#include "synth_kernels.h"

namespace {

constexpr ptrdiff_t kBlock = 64;

void apply_terms(float *dst, const WsqSynthTerm *terms, int nterms, ptrdiff_t count)
{
    float acc[kBlock];
    for (ptrdiff_t base = 0; base < count; base += kBlock) {
        const ptrdiff_t len = count - base < kBlock ? count - base : kBlock;
        int k = 0;
        if (nterms > 0 && terms[0].op == WSQ_TERM_SET) {
            const float c = terms[0].coef;
            if (terms[0].src) {
                const float *s = terms[0].src + base;
                for (ptrdiff_t i = 0; i < len; ++i)
                    acc[i] = c * s[i];
            } else {
                const float p = c * 0.0f;
                for (ptrdiff_t i = 0; i < len; ++i)
                    acc[i] = p;
            }
            k = 1;
        } else {
            for (ptrdiff_t i = 0; i < len; ++i)
                acc[i] = 0.0f;
        }
        for (; k < nterms; ++k) {
            const float c = terms[k].coef;
            const int op = terms[k].op;
            if (!terms[k].src) {
                const float p = c * 0.0f;
                for (ptrdiff_t i = 0; i < len; ++i) {
                    if (op == WSQ_TERM_ADD)
                        acc[i] = acc[i] + p;
                    else if (op == WSQ_TERM_SUB)
                        acc[i] = acc[i] - p;
                    else if (op == WSQ_TERM_SUB_NEG)
                        acc[i] = acc[i] - (-p);
                    else
                        acc[i] = p;
                }
                continue;
            }
            const float *s = terms[k].src + base;
            switch (op) {
            case WSQ_TERM_ADD:
                for (ptrdiff_t i = 0; i < len; ++i)
                    acc[i] = acc[i] + c * s[i];
                break;
            case WSQ_TERM_SUB:
                for (ptrdiff_t i = 0; i < len; ++i)
                    acc[i] = acc[i] - c * s[i];
                break;
            case WSQ_TERM_SUB_NEG:
                for (ptrdiff_t i = 0; i < len; ++i)
                    acc[i] = acc[i] - (-(c * s[i]));
                break;
            default:
                for (ptrdiff_t i = 0; i < len; ++i)
                    acc[i] = c * s[i];
                break;
            }
        }
        std::memcpy(dst + base, acc, static_cast<size_t>(len) * sizeof(float));
    }
}

void interleave(float *dst, const float *even, const float *odd, ptrdiff_t pairs)
{
    for (ptrdiff_t i = 0; i < pairs; ++i) {
        dst[2 * i] = even[i];
        dst[2 * i + 1] = odd[i];
    }
}

void to_bytes(unsigned char *pixels, const float *values, ptrdiff_t count, float shift, float scale)
{
    for (ptrdiff_t i = 0; i < count; ++i) {
        const float product = scale * values[i];
        const float sum = product + shift;
        const float u = sum + 0.5f; /* equal to the sum in double rounded to float */
        /* False for NaN as for negative values. */
        pixels[i] = u >= 0.0f ? (u > 255.0f ? 255 : static_cast<unsigned char>(u)) : 0;
    }
}

void dequantize_run(float *out, const int16_t *in, ptrdiff_t count, float p, float q, double half_z)
{
    /* x - y is x + (-y) in IEEE arithmetic, so both signs share one form. */
    const float minus_p = -p;
    const double minus_half_z = -half_z;
    for (ptrdiff_t i = 0; i < count; ++i) {
        const int e = in[i];
        const float fe = static_cast<float>(e);
        const float product = (fe + (e > 0 ? minus_p : p)) * q;
        const float v = static_cast<float>(static_cast<double>(product) + (e > 0 ? half_z : minus_half_z));
        out[i] = e == 0 ? 0.0f : v;
    }
}

void dequantize_run_float(float *out, const int16_t *in, ptrdiff_t count, float p, float q, float half_z)
{
    const float minus_p = -p;
    const float minus_half_z = -half_z;
    for (ptrdiff_t i = 0; i < count; ++i) {
        const int e = in[i];
        const float fe = static_cast<float>(e);
        const float product = (fe + (e > 0 ? minus_p : p)) * q;
        const float v = product + (e > 0 ? half_z : minus_half_z);
        out[i] = e == 0 ? 0.0f : v;
    }
}

} // namespace

const WsqSynthKernels wsq_synth_kernels_portable = {apply_terms, interleave, to_bytes, dequantize_run,
                                                    dequantize_run_float, nullptr, nullptr};
