/*
 * synth_sse2.cpp - the kernels with SSE2, which every x86-64 processor
 * has. Same operations per lane as the portable kernels.
 */
#include "../synth_kernels.h"

#if defined(__x86_64__) || defined(_M_X64)

#include <emmintrin.h>

namespace {

inline __m128 combine(int op, __m128 acc, __m128 p, __m128 sign)
{
    switch (op) {
    case WSQ_TERM_ADD: return _mm_add_ps(acc, p);
    case WSQ_TERM_SUB: return _mm_sub_ps(acc, p);
    case WSQ_TERM_SUB_NEG: return _mm_sub_ps(acc, _mm_xor_ps(p, sign));
    default: return p;
    }
}

inline float combine1(int op, float acc, float p)
{
    switch (op) {
    case WSQ_TERM_ADD: return acc + p;
    case WSQ_TERM_SUB: return acc - p;
    case WSQ_TERM_SUB_NEG: return acc - (-p);
    default: return p;
    }
}

void apply_terms(float *dst, const WsqSynthTerm *terms, int nterms, ptrdiff_t count)
{
    const __m128 sign = _mm_set1_ps(-0.0f);
    const int start = nterms > 0 && terms[0].op == WSQ_TERM_SET ? 1 : 0;
    ptrdiff_t i = 0;
    for (; i + 16 <= count; i += 16) {
        __m128 a0 = _mm_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
        for (int k = 0; k < nterms; ++k) {
            const __m128 c = _mm_set1_ps(terms[k].coef);
            const float *s = terms[k].src;
            const int op = terms[k].op;
            __m128 p0, p1, p2, p3;
            if (s) {
                p0 = _mm_mul_ps(c, _mm_loadu_ps(s + i));
                p1 = _mm_mul_ps(c, _mm_loadu_ps(s + i + 4));
                p2 = _mm_mul_ps(c, _mm_loadu_ps(s + i + 8));
                p3 = _mm_mul_ps(c, _mm_loadu_ps(s + i + 12));
            } else {
                p0 = p1 = p2 = p3 = _mm_set1_ps(terms[k].coef * 0.0f);
            }
            if (k < start) {
                a0 = p0, a1 = p1, a2 = p2, a3 = p3;
            } else {
                a0 = combine(op, a0, p0, sign);
                a1 = combine(op, a1, p1, sign);
                a2 = combine(op, a2, p2, sign);
                a3 = combine(op, a3, p3, sign);
            }
        }
        _mm_storeu_ps(dst + i, a0);
        _mm_storeu_ps(dst + i + 4, a1);
        _mm_storeu_ps(dst + i + 8, a2);
        _mm_storeu_ps(dst + i + 12, a3);
    }
    for (; i + 4 <= count; i += 4) {
        __m128 a = _mm_setzero_ps();
        for (int k = 0; k < nterms; ++k) {
            const float *s = terms[k].src;
            const __m128 p = s ? _mm_mul_ps(_mm_set1_ps(terms[k].coef), _mm_loadu_ps(s + i))
                               : _mm_set1_ps(terms[k].coef * 0.0f);
            a = k < start ? p : combine(terms[k].op, a, p, sign);
        }
        _mm_storeu_ps(dst + i, a);
    }
    for (; i < count; ++i) {
        float a = 0.0f;
        for (int k = 0; k < nterms; ++k) {
            const float *s = terms[k].src;
            const float p = terms[k].coef * (s ? s[i] : 0.0f);
            a = k < start ? p : combine1(terms[k].op, a, p);
        }
        dst[i] = a;
    }
}

void interleave(float *dst, const float *even, const float *odd, ptrdiff_t pairs)
{
    ptrdiff_t i = 0;
    for (; i + 4 <= pairs; i += 4) {
        const __m128 e = _mm_loadu_ps(even + i);
        const __m128 o = _mm_loadu_ps(odd + i);
        _mm_storeu_ps(dst + 2 * i, _mm_unpacklo_ps(e, o));
        _mm_storeu_ps(dst + 2 * i + 4, _mm_unpackhi_ps(e, o));
    }
    for (; i < pairs; ++i) {
        dst[2 * i] = even[i];
        dst[2 * i + 1] = odd[i];
    }
}

unsigned char to_byte(float v, float shift, float scale)
{
    const float product = scale * v;
    const float sum = product + shift;
    const float u = sum + 0.5f; /* equal to the sum in double rounded to float */
    return u >= 0.0f ? (u > 255.0f ? 255 : static_cast<unsigned char>(u)) : 0;
}

void to_bytes(unsigned char *pixels, const float *values, ptrdiff_t count, float shift, float scale)
{
    const __m128 vscale = _mm_set1_ps(scale), vshift = _mm_set1_ps(shift), half = _mm_set1_ps(0.5f);
    const __m128 top = _mm_set1_ps(255.0f);
    ptrdiff_t i = 0;
    for (; i + 8 <= count; i += 8) {
        __m128 u0 = _mm_add_ps(_mm_add_ps(_mm_mul_ps(vscale, _mm_loadu_ps(values + i)), vshift), half);
        __m128 u1 = _mm_add_ps(_mm_add_ps(_mm_mul_ps(vscale, _mm_loadu_ps(values + i + 4)), vshift), half);
        /* Only the top needs a clamp: min gives its second operand for
         * NaN, which truncates to INT_MIN like any value below -2^31, and
         * the saturating packs below take everything under 0 to 0. */
        u0 = _mm_min_ps(top, u0);
        u1 = _mm_min_ps(top, u1);
        const __m128i w = _mm_packs_epi32(_mm_cvttps_epi32(u0), _mm_cvttps_epi32(u1));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(pixels + i), _mm_packus_epi16(w, w));
    }
    for (; i < count; ++i)
        pixels[i] = to_byte(values[i], shift, scale);
}

void dequantize_run(float *out, const int16_t *in, ptrdiff_t count, float p, float q, double half_z)
{
    const __m128 vp = _mm_set1_ps(p), vminus_p = _mm_set1_ps(-p), vq = _mm_set1_ps(q);
    const __m128d vhz = _mm_set1_pd(half_z), vminus_hz = _mm_set1_pd(-half_z);
    const __m128i zero = _mm_setzero_si128();
    ptrdiff_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m128i e16 = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(in + i));
        const __m128i e = _mm_srai_epi32(_mm_unpacklo_epi16(e16, e16), 16);
        const __m128i positive = _mm_cmpgt_epi32(e, zero);
        const __m128 pos = _mm_castsi128_ps(positive);
        /* e - p is e + (-p), and x - z/2 is x + (-z/2), in IEEE arithmetic. */
        const __m128 offset = _mm_or_ps(_mm_and_ps(pos, vminus_p), _mm_andnot_ps(pos, vp));
        const __m128 product = _mm_mul_ps(_mm_add_ps(_mm_cvtepi32_ps(e), offset), vq);
        const __m128d pos_lo = _mm_castsi128_pd(_mm_unpacklo_epi32(positive, positive));
        const __m128d pos_hi = _mm_castsi128_pd(_mm_unpackhi_epi32(positive, positive));
        const __m128d hz_lo = _mm_or_pd(_mm_and_pd(pos_lo, vhz), _mm_andnot_pd(pos_lo, vminus_hz));
        const __m128d hz_hi = _mm_or_pd(_mm_and_pd(pos_hi, vhz), _mm_andnot_pd(pos_hi, vminus_hz));
        const __m128 lo = _mm_cvtpd_ps(_mm_add_pd(_mm_cvtps_pd(product), hz_lo));
        const __m128 hi = _mm_cvtpd_ps(_mm_add_pd(_mm_cvtps_pd(_mm_movehl_ps(product, product)), hz_hi));
        const __m128 zeros = _mm_castsi128_ps(_mm_cmpeq_epi32(e, zero));
        _mm_storeu_ps(out + i, _mm_andnot_ps(zeros, _mm_movelh_ps(lo, hi)));
    }
    for (; i < count; ++i) {
        const int e = in[i];
        const float fe = static_cast<float>(e);
        const float product = (fe + (e > 0 ? -p : p)) * q;
        const float v = static_cast<float>(static_cast<double>(product) + (e > 0 ? half_z : -half_z));
        out[i] = e == 0 ? 0.0f : v;
    }
}

void dequantize_run_float(float *out, const int16_t *in, ptrdiff_t count, float p, float q, float half_z)
{
    const __m128 vp = _mm_set1_ps(p), vminus_p = _mm_set1_ps(-p), vq = _mm_set1_ps(q);
    const __m128 vhz = _mm_set1_ps(half_z), vminus_hz = _mm_set1_ps(-half_z);
    const __m128i zero = _mm_setzero_si128();
    ptrdiff_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i e16 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i));
        const __m128i halves[2] = {_mm_srai_epi32(_mm_unpacklo_epi16(e16, e16), 16),
                                   _mm_srai_epi32(_mm_unpackhi_epi16(e16, e16), 16)};
        for (int h = 0; h < 2; ++h) {
            const __m128i e = halves[h];
            const __m128 pos = _mm_castsi128_ps(_mm_cmpgt_epi32(e, zero));
            const __m128 offset = _mm_or_ps(_mm_and_ps(pos, vminus_p), _mm_andnot_ps(pos, vp));
            const __m128 hz = _mm_or_ps(_mm_and_ps(pos, vhz), _mm_andnot_ps(pos, vminus_hz));
            const __m128 product = _mm_mul_ps(_mm_add_ps(_mm_cvtepi32_ps(e), offset), vq);
            const __m128 zeros = _mm_castsi128_ps(_mm_cmpeq_epi32(e, zero));
            _mm_storeu_ps(out + i + 4 * h, _mm_andnot_ps(zeros, _mm_add_ps(product, hz)));
        }
    }
    for (; i < count; ++i) {
        const int e = in[i];
        const float fe = static_cast<float>(e);
        const float product = (fe + (e > 0 ? -p : p)) * q;
        const float v = product + (e > 0 ? half_z : -half_z);
        out[i] = e == 0 ? 0.0f : v;
    }
}

const WsqSynthKernels kKernels = {apply_terms, interleave, to_bytes, dequantize_run, dequantize_run_float,
                                  nullptr, nullptr};

} // namespace

const WsqSynthKernels *wsq_synth_kernels_sse2(void) { return &kKernels; }

#else

const WsqSynthKernels *wsq_synth_kernels_sse2(void) { return nullptr; }

#endif
