// Whole-frame loops of the floating-point mode, built twice (baseline and AVX2).
#include "float_frame.h"

#include <cfenv>
#include <cmath>
#include <initializer_list>

#include "api_checks.h"
#include "api_condition.h"
#include "simd4.h"

namespace kfft {
namespace {

    using kfft_simd::load4;
    using kfft_simd::M4;
    using kfft_simd::splat;
    using kfft_simd::store4;
    using kfft_simd::V4;

    typedef float F4 __attribute__((vector_size(16)));
    typedef uint64_t U4 __attribute__((vector_size(32)));

    [[gnu::always_inline]] inline U4 splat_bits(uint64_t v) { return U4 { v, v, v, v }; }

    // No lane of m set.
    [[gnu::always_inline]] inline bool none(const M4& m)
    {
        return ((m[0] | m[1]) | (m[2] | m[3])) == 0;
    }

    // double(float(x)) lane by lane, rounded as the scalar conversion is.
    [[gnu::always_inline]] inline V4 through_single(const V4& x)
    {
        return __builtin_convertvector(__builtin_convertvector(x, F4), V4);
    }

    [[gnu::always_inline]] inline V4 magnitude(const V4& x)
    {
        return (V4)((U4)x & splat_bits(INT64_MAX));
    }

    // Rounding to nearest: |float(x)| = float(|x|), zero for |x| <= 2^-150, denormal below
    // 2^-126 - 2^-150 (the tie goes to 2^-126), normal below 2^128 - 2^103 (from there an
    // infinity). The largest single magnitude is then the single value of the largest |x|.
    [[gnu::always_inline]] inline bool scan_nearest(
        const double* re, const double* im, int32_t n, double& max_mag)
    {
        const V4 zero_below = splat(0x1p-150), normal_from = splat(0x1p-126 - 0x1p-150);
        const V4 infinite_from = splat(0x1p128 - 0x1p103);
        V4 peak = splat(0.0);
        M4 bad = {};
        for (int32_t i = 0; i < n; i += 4) {
            const V4 a = magnitude(load4(re + i));
            const V4 b = magnitude(load4(im + i));
            // NaN fails a < infinite_from.
            bad |= ((a > zero_below) & (a < normal_from)) | ~(a < infinite_from);
            bad |= ((b > zero_below) & (b < normal_from)) | ~(b < infinite_from);
            peak = kfft_simd::select(a > peak, a, peak);
            peak = kfft_simd::select(b > peak, b, peak);
        }
        if (!none(bad))
            return false;
        double m = 0.0;
        for (int k = 0; k < 4; ++k)
            if (peak[k] > m)
                m = peak[k];
        max_mag = static_cast<double>(static_cast<float>(m));
        return true;
    }

    // Any rounding mode: every sample through single precision.
    [[gnu::always_inline]] inline bool scan_any_mode(
        const double* re, const double* im, int32_t n, double& max_mag)
    {
        const V4 smallest = splat(0x1p-126), largest = splat(kFloatMax), zero = splat(0.0);
        V4 peak = zero;
        M4 bad = {};
        for (int32_t i = 0; i < n; i += 4) {
            const V4 a = magnitude(through_single(load4(re + i)));
            const V4 b = magnitude(through_single(load4(im + i)));
            // A denormal lies strictly between 0 and the smallest normal; NaN fails a <= largest.
            bad |= ((a < smallest) & (a != zero)) | ~(a <= largest);
            bad |= ((b < smallest) & (b != zero)) | ~(b <= largest);
            peak = kfft_simd::select(a > peak, a, peak);
            peak = kfft_simd::select(b > peak, b, peak);
        }
        if (!none(bad))
            return false;
        double m = 0.0;
        for (int k = 0; k < 4; ++k)
            if (peak[k] > m)
                m = peak[k];
        max_mag = m;
        return true;
    }

    [[gnu::always_inline]] inline bool scan_loop(
        const double* re, const double* im, int32_t n, double& max_mag, bool nearest)
    {
        return nearest ? scan_nearest(re, im, n, max_mag) : scan_any_mode(re, im, n, max_mag);
    }

    // The single-precision factors of condition_float_sample: f * factor[j] in turn stands for its
    // multiplications, and for its divisions by 2^k (an exact 2^-k: the product is the same
    // correctly rounded value). Returns the count, or -1 beyond 8 factors.
    int single_factors(int32_t exponent, float* factors)
    {
        int count = 0;
        int32_t left = exponent < 0 ? -exponent : exponent;
        while (left > 0) {
            if (count == 8)
                return -1;
            const int32_t k = left > 62 ? 62 : left;
            factors[count++] = std::ldexp(1.0f, exponent < 0 ? k : -k);
            left -= k;
        }
        return count;
    }

    // Runs blocks of 4 * G values from i through group(i, ok), which returns the results of
    // the four values at i and clears lanes of ok that need the per-value route; the results of
    // a block are stored when no lane was cleared. Stops at the first block that is not, or
    // when fewer than 4 * G values remain; returns where it stopped.
    template <int G, class Group>
    [[gnu::always_inline]] inline int32_t run_blocks(double* out, int32_t i, int32_t n, Group group)
    {
        for (; i + 4 * G <= n; i += 4 * G) {
            V4 v[G];
            M4 ok = ~M4 {};
            for (int g = 0; g < G; ++g)
                v[g] = group(i + 4 * g, ok);
            if (!none(~ok))
                return i;
            for (int g = 0; g < G; ++g)
                store4(out + i + 4 * g, v[g]);
        }
        return i;
    }

    // Every group of four values of [0, n) through group, blocks of sixteen at a time; a group
    // with a lane that needs it through single(i + k) for each of its values.
    template <class Group, class Single>
    [[gnu::always_inline]] inline void run_frame(double* out, int32_t n, Group group, Single single)
    {
        for (int32_t i = 0; i < n;) {
            i = run_blocks<4>(out, i, n, group);
            const int32_t end = i + 16 < n ? i + 16 : n;
            while ((i = run_blocks<1>(out, i, end, group)) < end) {
                for (int k = 0; k < 4; ++k)
                    single(i + k);
                i += 4;
            }
        }
    }

    // Single precision, the factors, rounding to the w-bit grid by adding and removing
    // 1.5 * 2^52 (rounding to nearest mode). Values beyond 2^51 on the grid (none for
    // conditioned samples, which stay below 1) take condition_float_sample.
    [[gnu::always_inline]] inline void condition_loop(const double* x, int32_t n, int32_t exponent,
        int w, const float* factors, int count, double* out)
    {
        const double s = std::ldexp(1.0, w - 1);
        const V4 sv = splat(s), inv_s = splat(1.0 / s), limit = splat(0x1p51);
        const V4 magic = splat(kfft_simd::kMagic);
        run_frame(
            out, n,
            [&](int32_t i, M4& ok) {
                F4 f = __builtin_convertvector(load4(x + i), F4);
                for (int j = 0; j < count; ++j)
                    f = f * factors[j];
                const V4 y = sv * __builtin_convertvector(f, V4);
                ok &= magnitude(y) < limit;
                return ((y + magic) - magic) * inv_s;
            },
            [&](int32_t i) { out[i] = condition_float_sample(x[i], exponent, w); });
    }

    // Rounding to 24 significant bits on the bits of the double (ties to even; a carry out of
    // the fraction moves to the next power of two, as the formula's result does), then the
    // scale factors and the range test. Values within 2^-39 relative of a power of two or of
    // extreme exponent (the margins of round_to_single_significance_fast), and values beyond
    // the single range after scaling, take the per-value functions. Zeros stay zeros of their
    // sign either way.
    [[gnu::always_inline]] inline bool finish_loop(
        double* p, int32_t n, const double* factors, int count, const Pow2Scaler& scale)
    {
        const U4 abs_mask = splat_bits(INT64_MAX), sign = ~abs_mask;
        const U4 near_add = splat_bits(uint64_t { 1 } << 13);
        const U4 near_mask
            = splat_bits(((uint64_t { 1 } << 52) - 1) & ~((uint64_t { 1 } << 14) - 1));
        const U4 half_less_one = splat_bits((uint64_t { 1 } << 28) - 1), one = splat_bits(1);
        const U4 keep = splat_bits(~((uint64_t { 1 } << 29) - 1));
        const V4 lowest = splat(0x1p-923), highest = splat(0x1p878), largest = splat(kFloatMax);
        const V4 zero = splat(0.0);
        bool overflow = false;
        run_frame(
            p, n,
            [&](int32_t i, M4& ok) {
                const U4 b = (U4)load4(p + i);
                const U4 mb = b & abs_mask;
                const V4 mag = (V4)mb;
                ok &= ((mag >= lowest) & (mag < highest) & ((M4)((mb + near_add) & near_mask) > 0))
                    | (mag == zero);
                const U4 r = ((mb + half_less_one + ((mb >> 29) & one)) & keep) | (b & sign);
                V4 v = (V4)r;
                for (int j = 0; j < count; ++j)
                    v = v * factors[j];
                ok &= magnitude(v) <= largest;
                return v;
            },
            [&](int32_t i) {
                double y = round_to_single_significance_fast(p[i]);
                overflow |= restore_float_range(y, scale);
                p[i] = y;
            });
        return overflow;
    }

    bool scan_portable(const double* re, const double* im, int32_t n, double& max_mag, bool nearest)
    {
        return scan_loop(re, im, n, max_mag, nearest);
    }

    void condition_portable(const double* x, int32_t n, int32_t exponent, int w,
        const float* factors, int count, double* out)
    {
        condition_loop(x, n, exponent, w, factors, count, out);
    }

    bool finish_portable(
        double* p, int32_t n, const double* factors, int count, const Pow2Scaler& scale)
    {
        return finish_loop(p, n, factors, count, scale);
    }

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KFFT_FLOAT_AVX2 1

    [[gnu::target("avx2")]] bool scan_avx2(
        const double* re, const double* im, int32_t n, double& max_mag, bool nearest)
    {
        return scan_loop(re, im, n, max_mag, nearest);
    }

    [[gnu::target("avx2")]] void condition_avx2(const double* x, int32_t n, int32_t exponent, int w,
        const float* factors, int count, double* out)
    {
        condition_loop(x, n, exponent, w, factors, count, out);
    }

    [[gnu::target("avx2")]] bool finish_avx2(
        double* p, int32_t n, const double* factors, int count, const Pow2Scaler& scale)
    {
        return finish_loop(p, n, factors, count, scale);
    }
#endif

    bool avx2(FloatLoops loops)
    {
#if defined(KFFT_FLOAT_AVX2)
        return loops == FloatLoops::Avx2 && __builtin_cpu_supports("avx2");
#else
        (void)loops;
        return false;
#endif
    }

} // namespace

FloatLoops float_loops_auto()
{
    return avx2(FloatLoops::Avx2) ? FloatLoops::Avx2 : FloatLoops::Portable;
}

bool scan_float_clean(
    const double* re, const double* im, int32_t n, double& max_mag, FloatLoops loops)
{
    const bool nearest = std::fegetround() == FE_TONEAREST;
#if defined(KFFT_FLOAT_AVX2)
    if (avx2(loops))
        return scan_avx2(re, im, n, max_mag, nearest);
#endif
    (void)loops;
    return scan_portable(re, im, n, max_mag, nearest);
}

void condition_float_frame(
    const double* x, int32_t n, int32_t exponent, int w, double* out, FloatLoops loops)
{
    float factors[8];
    const int count = single_factors(exponent, factors);
    // The grid rounding relies on rounding to nearest.
    if (count < 0 || std::fegetround() != FE_TONEAREST) {
        for (int32_t i = 0; i < n; ++i)
            out[i] = condition_float_sample(x[i], exponent, w);
        return;
    }
#if defined(KFFT_FLOAT_AVX2)
    if (avx2(loops))
        return condition_avx2(x, n, exponent, w, factors, count, out);
#endif
    condition_portable(x, n, exponent, w, factors, count, out);
}

bool finish_float_frame(double* re, double* im, int32_t n, int32_t t, FloatLoops loops)
{
    const Pow2Scaler scale(t);
    // Away from rounding to nearest the formula's powers of two from pow need not be exact:
    // every value takes the formula.
    if (std::fegetround() != FE_TONEAREST) {
        bool overflow = false;
        for (double* p : { re, im })
            for (int32_t k = 0; k < n; ++k) {
                double y = round_to_single_significance(p[k]);
                overflow |= restore_float_range(y, scale);
                p[k] = y;
            }
        return overflow;
    }
    // Multiplying by 2^-k gives the same correctly rounded value as dividing by 2^k.
    double factors[40];
    int count = 0;
    for (int32_t left = t < 0 ? -t : t; left > 0 && count < 40;) {
        const int32_t k = left > 62 ? 62 : left;
        factors[count++] = std::ldexp(1.0, t < 0 ? -k : k);
        left -= k;
    }
    bool (*loop)(double*, int32_t, const double*, int, const Pow2Scaler&) = finish_portable;
#if defined(KFFT_FLOAT_AVX2)
    if (avx2(loops))
        loop = finish_avx2;
#endif
    const bool re_over = loop(re, n, factors, count, scale);
    const bool im_over = loop(im, n, factors, count, scale);
    return re_over || im_over;
}

} // namespace kfft
