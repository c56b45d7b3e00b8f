/*
 * synth_avx2.cpp - the kernels with AVX2, compiled with -mavx2 (and no
 * FMA) on x86-64 and chosen at run time when the processor has it. Same
 * operations per lane as the portable kernels.
 *
 * Everything here has internal linkage, and the file includes no header
 * with inline functions, so no AVX2 code can stand in for a baseline one.
 */
#include "../synth_kernels.h"

#if defined(__AVX2__) && (defined(__x86_64__) || defined(_M_X64))

#include <immintrin.h>

namespace {

inline __m256 combine(int op, __m256 acc, __m256 p, __m256 sign)
{
    switch (op) {
    case WSQ_TERM_ADD: return _mm256_add_ps(acc, p);
    case WSQ_TERM_SUB: return _mm256_sub_ps(acc, p);
    case WSQ_TERM_SUB_NEG: return _mm256_sub_ps(acc, _mm256_xor_ps(p, sign));
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

/* Coefficient of a term as an addition: c * x subtracted is (-c) * x
 * added, bit for bit (rounding is symmetric, and a - b is a + (-b)). */
inline float added_coef(const WsqSynthTerm &t) { return t.op == WSQ_TERM_SUB ? -t.coef : t.coef; }

/* The common case: a first term that sets the sums and N - 1 that add or
 * subtract, all of band samples. Six vectors at a time keep both adders
 * busy through the latency of each sum's chain. Returns the outputs done
 * (all of them unless there are fewer than 8). dst must not overlap a
 * source. */
template <int N>
ptrdiff_t apply_fixed(float *dst, const WsqSynthTerm *terms, ptrdiff_t count)
{
    const float *s[N];
    __m256 c[N];
    for (int k = 0; k < N; ++k) {
        s[k] = terms[k].src;
        c[k] = _mm256_set1_ps(added_coef(terms[k]));
    }
    ptrdiff_t i = 0;
    for (; i + 48 <= count; i += 48) {
        __m256 a0 = _mm256_mul_ps(c[0], _mm256_loadu_ps(s[0] + i));
        __m256 a1 = _mm256_mul_ps(c[0], _mm256_loadu_ps(s[0] + i + 8));
        __m256 a2 = _mm256_mul_ps(c[0], _mm256_loadu_ps(s[0] + i + 16));
        __m256 a3 = _mm256_mul_ps(c[0], _mm256_loadu_ps(s[0] + i + 24));
        __m256 a4 = _mm256_mul_ps(c[0], _mm256_loadu_ps(s[0] + i + 32));
        __m256 a5 = _mm256_mul_ps(c[0], _mm256_loadu_ps(s[0] + i + 40));
        for (int k = 1; k < N; ++k) {
            a0 = _mm256_add_ps(a0, _mm256_mul_ps(c[k], _mm256_loadu_ps(s[k] + i)));
            a1 = _mm256_add_ps(a1, _mm256_mul_ps(c[k], _mm256_loadu_ps(s[k] + i + 8)));
            a2 = _mm256_add_ps(a2, _mm256_mul_ps(c[k], _mm256_loadu_ps(s[k] + i + 16)));
            a3 = _mm256_add_ps(a3, _mm256_mul_ps(c[k], _mm256_loadu_ps(s[k] + i + 24)));
            a4 = _mm256_add_ps(a4, _mm256_mul_ps(c[k], _mm256_loadu_ps(s[k] + i + 32)));
            a5 = _mm256_add_ps(a5, _mm256_mul_ps(c[k], _mm256_loadu_ps(s[k] + i + 40)));
        }
        _mm256_storeu_ps(dst + i, a0);
        _mm256_storeu_ps(dst + i + 8, a1);
        _mm256_storeu_ps(dst + i + 16, a2);
        _mm256_storeu_ps(dst + i + 24, a3);
        _mm256_storeu_ps(dst + i + 32, a4);
        _mm256_storeu_ps(dst + i + 40, a5);
    }
    for (; i + 8 <= count; i += 8) {
        __m256 a = _mm256_mul_ps(c[0], _mm256_loadu_ps(s[0] + i));
        for (int k = 1; k < N; ++k)
            a = _mm256_add_ps(a, _mm256_mul_ps(c[k], _mm256_loadu_ps(s[k] + i)));
        _mm256_storeu_ps(dst + i, a);
    }
    /* The last few outputs as one more vector ending at count: the ones it
     * overlaps come out the same again. */
    if (i < count && count >= 8) {
        i = count - 8;
        __m256 a = _mm256_mul_ps(c[0], _mm256_loadu_ps(s[0] + i));
        for (int k = 1; k < N; ++k)
            a = _mm256_add_ps(a, _mm256_mul_ps(c[k], _mm256_loadu_ps(s[k] + i)));
        _mm256_storeu_ps(dst + i, a);
        i = count;
    }
    return i;
}

using FixedFn = ptrdiff_t (*)(float *, const WsqSynthTerm *, ptrdiff_t);
constexpr int kMaxFixed = 12;
constexpr FixedFn kFixed[kMaxFixed + 1] = {nullptr,         apply_fixed<1>,  apply_fixed<2>,  apply_fixed<3>,
                                           apply_fixed<4>,  apply_fixed<5>,  apply_fixed<6>,  apply_fixed<7>,
                                           apply_fixed<8>,  apply_fixed<9>,  apply_fixed<10>, apply_fixed<11>,
                                           apply_fixed<12>};

bool fixed_form(const WsqSynthTerm *terms, int nterms)
{
    if (nterms < 1 || nterms > kMaxFixed || terms[0].op != WSQ_TERM_SET)
        return false;
    for (int k = 0; k < nterms; ++k)
        if (!terms[k].src || (k > 0 && terms[k].op == WSQ_TERM_SET))
            return false;
    return true;
}

void apply_terms(float *dst, const WsqSynthTerm *terms, int nterms, ptrdiff_t count)
{
    if (fixed_form(terms, nterms)) {
        const ptrdiff_t done = kFixed[nterms](dst, terms, count);
        for (ptrdiff_t i = done; i < count; ++i) {
            float a = terms[0].coef * terms[0].src[i];
            for (int k = 1; k < nterms; ++k)
                a = combine1(terms[k].op, a, terms[k].coef * terms[k].src[i]);
            dst[i] = a;
        }
        return;
    }
    const __m256 sign = _mm256_set1_ps(-0.0f);
    const int start = nterms > 0 && terms[0].op == WSQ_TERM_SET ? 1 : 0;
    ptrdiff_t i = 0;
    for (; i + 32 <= count; i += 32) {
        __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
        for (int k = 0; k < nterms; ++k) {
            const __m256 c = _mm256_set1_ps(terms[k].coef);
            const float *s = terms[k].src;
            const int op = terms[k].op;
            __m256 p0, p1, p2, p3;
            if (s) {
                p0 = _mm256_mul_ps(c, _mm256_loadu_ps(s + i));
                p1 = _mm256_mul_ps(c, _mm256_loadu_ps(s + i + 8));
                p2 = _mm256_mul_ps(c, _mm256_loadu_ps(s + i + 16));
                p3 = _mm256_mul_ps(c, _mm256_loadu_ps(s + i + 24));
            } else {
                p0 = p1 = p2 = p3 = _mm256_set1_ps(terms[k].coef * 0.0f);
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
        _mm256_storeu_ps(dst + i, a0);
        _mm256_storeu_ps(dst + i + 8, a1);
        _mm256_storeu_ps(dst + i + 16, a2);
        _mm256_storeu_ps(dst + i + 24, a3);
    }
    for (; i + 8 <= count; i += 8) {
        __m256 a = _mm256_setzero_ps();
        for (int k = 0; k < nterms; ++k) {
            const float *s = terms[k].src;
            const __m256 p = s ? _mm256_mul_ps(_mm256_set1_ps(terms[k].coef), _mm256_loadu_ps(s + i))
                               : _mm256_set1_ps(terms[k].coef * 0.0f);
            a = k < start ? p : combine(terms[k].op, a, p, sign);
        }
        _mm256_storeu_ps(dst + i, a);
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
    for (; i + 8 <= pairs; i += 8) {
        const __m256 e = _mm256_loadu_ps(even + i);
        const __m256 o = _mm256_loadu_ps(odd + i);
        const __m256 lo = _mm256_unpacklo_ps(e, o); /* e0 o0 e1 o1 | e4 o4 e5 o5 */
        const __m256 hi = _mm256_unpackhi_ps(e, o); /* e2 o2 e3 o3 | e6 o6 e7 o7 */
        _mm256_storeu_ps(dst + 2 * i, _mm256_permute2f128_ps(lo, hi, 0x20));
        _mm256_storeu_ps(dst + 2 * i + 8, _mm256_permute2f128_ps(lo, hi, 0x31));
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
    const __m256 vscale = _mm256_set1_ps(scale), vshift = _mm256_set1_ps(shift);
    const __m256 half = _mm256_set1_ps(0.5f);
    const __m256 zero = _mm256_setzero_ps(), top = _mm256_set1_ps(255.0f);
    ptrdiff_t i = 0;
    for (; i + 16 <= count; i += 16) {
        __m256 u0 = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(vscale, _mm256_loadu_ps(values + i)), vshift), half);
        __m256 u1 =
            _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(vscale, _mm256_loadu_ps(values + i + 8)), vshift), half);
        /* max gives its second operand for NaN: NaN and negatives become 0. */
        u0 = _mm256_min_ps(_mm256_max_ps(u0, zero), top);
        u1 = _mm256_min_ps(_mm256_max_ps(u1, zero), top);
        /* packs works within 128-bit lanes: words 0-3 8-11 | 4-7 12-15. */
        const __m256i w = _mm256_packs_epi32(_mm256_cvttps_epi32(u0), _mm256_cvttps_epi32(u1));
        const __m256i b = _mm256_packus_epi16(w, w); /* bytes 0-3 8-11 0-3 8-11 | 4-7 12-15 ... */
        const __m256i ordered = _mm256_permutevar8x32_epi32(b, _mm256_setr_epi32(0, 4, 1, 5, 0, 0, 0, 0));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(pixels + i), _mm256_castsi256_si128(ordered));
    }
    for (; i < count; ++i)
        pixels[i] = to_byte(values[i], shift, scale);
}

void dequantize_run(float *out, const int16_t *in, ptrdiff_t count, float p, float q, double half_z)
{
    const __m256 vp = _mm256_set1_ps(p), vminus_p = _mm256_set1_ps(-p), vq = _mm256_set1_ps(q);
    const __m256d vhz = _mm256_set1_pd(half_z), vminus_hz = _mm256_set1_pd(-half_z);
    const __m256i zero = _mm256_setzero_si256();
    ptrdiff_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256i e = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i)));
        const __m256i positive = _mm256_cmpgt_epi32(e, zero);
        /* e - p is e + (-p), and x - z/2 is x + (-z/2), in IEEE arithmetic. */
        const __m256 offset = _mm256_blendv_ps(vp, vminus_p, _mm256_castsi256_ps(positive));
        const __m256 product = _mm256_mul_ps(_mm256_add_ps(_mm256_cvtepi32_ps(e), offset), vq);
        const __m256d pos_lo = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm256_castsi256_si128(positive)));
        const __m256d pos_hi = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm256_extracti128_si256(positive, 1)));
        const __m128 lo = _mm256_cvtpd_ps(_mm256_add_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(product)),
                                                        _mm256_blendv_pd(vminus_hz, vhz, pos_lo)));
        const __m128 hi = _mm256_cvtpd_ps(_mm256_add_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(product, 1)),
                                                        _mm256_blendv_pd(vminus_hz, vhz, pos_hi)));
        const __m256 zeros = _mm256_castsi256_ps(_mm256_cmpeq_epi32(e, zero));
        _mm256_storeu_ps(out + i, _mm256_andnot_ps(zeros, _mm256_set_m128(hi, lo)));
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
    const __m256 vp = _mm256_set1_ps(p), vminus_p = _mm256_set1_ps(-p), vq = _mm256_set1_ps(q);
    const __m256 vhz = _mm256_set1_ps(half_z), vminus_hz = _mm256_set1_ps(-half_z);
    const __m256i zero = _mm256_setzero_si256();
    ptrdiff_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256i e = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i)));
        const __m256 pos = _mm256_castsi256_ps(_mm256_cmpgt_epi32(e, zero));
        const __m256 product =
            _mm256_mul_ps(_mm256_add_ps(_mm256_cvtepi32_ps(e), _mm256_blendv_ps(vp, vminus_p, pos)), vq);
        const __m256 v = _mm256_add_ps(product, _mm256_blendv_ps(vminus_hz, vhz, pos));
        const __m256 zeros = _mm256_castsi256_ps(_mm256_cmpeq_epi32(e, zero));
        _mm256_storeu_ps(out + i, _mm256_andnot_ps(zeros, v));
    }
    for (; i < count; ++i) {
        const int e = in[i];
        const float fe = static_cast<float>(e);
        const float product = (fe + (e > 0 ? -p : p)) * q;
        const float v = product + (e > 0 ? half_z : -half_z);
        out[i] = e == 0 ? 0.0f : v;
    }
}

const WsqSynthKernels kKernels = {apply_terms, interleave, to_bytes, dequantize_run, dequantize_run_float};

} // namespace

const WsqSynthKernels *wsq_synth_kernels_avx2(void) { return &kKernels; }

#else

const WsqSynthKernels *wsq_synth_kernels_avx2(void) { return nullptr; }

#endif
