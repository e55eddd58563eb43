// Whole-frame loops of the floating-point mode, built twice (baseline and AVX2).
#include "float_frame.h"

#include <cfenv>
#include <cmath>
#include <initializer_list>

#include "api_checks.h"
#include "api_condition.h"
#include "path_plan.h"
#include "simd4.h"

// Lambdas handing vectors around are inlined like the helpers: called, they would pass vectors
// between functions built for different processors.
#define KFFT_INLINE __attribute__((always_inline))

namespace kfft {
namespace {

    // Vectors of L lanes: 4 in the AVX2 build, 2 (the SSE2 width, which GCC compiles without
    // taking comparisons apart) in the baseline build.
    template <int L> struct Lanes;
    template <> struct Lanes<4> {
        typedef double D __attribute__((vector_size(32)));
        typedef int64_t M __attribute__((vector_size(32)));
        typedef uint64_t U __attribute__((vector_size(32)));
        typedef float F __attribute__((vector_size(16)));
    };
    template <> struct Lanes<2> {
        typedef double D __attribute__((vector_size(16)));
        typedef int64_t M __attribute__((vector_size(16)));
        typedef uint64_t U __attribute__((vector_size(16)));
        typedef float F __attribute__((vector_size(8)));
    };

    template <class T, class S> [[gnu::always_inline]] inline T splat(S x) { return T {} + x; }

    template <class T> [[gnu::always_inline]] inline T load(const double* p)
    {
        T v;
        __builtin_memcpy(&v, p, sizeof v);
        return v;
    }

    template <class T> [[gnu::always_inline]] inline void store(double* p, const T& v)
    {
        __builtin_memcpy(p, &v, sizeof v);
    }

    // No lane of m set.
    template <class M> [[gnu::always_inline]] inline bool none(const M& m)
    {
        int64_t any = 0;
        for (unsigned k = 0; k < sizeof m / sizeof any; ++k)
            any |= m[k];
        return any == 0;
    }

    template <class D> [[gnu::always_inline]] inline D magnitude(const D& x)
    {
        typedef int64_t M __attribute__((vector_size(sizeof(D))));
        return (D)((M)x & splat<M>(INT64_MAX));
    }

    template <class M, class D>
    [[gnu::always_inline]] inline D select(const M& m, const D& a, const D& b)
    {
        return (D)((m & (M)a) | (~m & (M)b));
    }

    // Rounding to nearest: |float(x)| = float(|x|), zero for |x| <= 2^-150, denormal below
    // 2^-126 - 2^-150 (the tie goes to 2^-126), normal below 2^128 - 2^103 (from there an
    // infinity). The largest single magnitude is then the single value of the largest |x|.
    template <int L>
    [[gnu::always_inline]] inline bool scan_nearest(
        const double* re, const double* im, int32_t n, double& max_mag)
    {
        typedef typename Lanes<L>::D D;
        typedef typename Lanes<L>::M M;
        const D zero_below = splat<D>(0x1p-150), normal_from = splat<D>(0x1p-126 - 0x1p-150);
        const D infinite_from = splat<D>(0x1p128 - 0x1p103);
        D peak = splat<D>(0.0);
        M bad = {};
        for (int32_t i = 0; i < n; i += L) {
            const D a = magnitude(load<D>(re + i));
            const D b = magnitude(load<D>(im + i));
            // NaN fails a < infinite_from.
            bad |= ((a > zero_below) & (a < normal_from)) | ~(a < infinite_from);
            bad |= ((b > zero_below) & (b < normal_from)) | ~(b < infinite_from);
            peak = select(a > peak, a, peak);
            peak = select(b > peak, b, peak);
        }
        if (!none(bad))
            return false;
        double m = 0.0;
        for (int k = 0; k < L; ++k)
            if (peak[k] > m)
                m = peak[k];
        max_mag = static_cast<double>(static_cast<float>(m));
        return true;
    }

    // Any rounding mode: every sample through single precision.
    template <int L>
    [[gnu::always_inline]] inline bool scan_any_mode(
        const double* re, const double* im, int32_t n, double& max_mag)
    {
        typedef typename Lanes<L>::D D;
        typedef typename Lanes<L>::M M;
        typedef typename Lanes<L>::F F;
        // double(float(x)) lane by lane, rounded as the scalar conversion is.
        const auto through_single = [](const D& x) KFFT_INLINE {
            return __builtin_convertvector(__builtin_convertvector(x, F), D);
        };
        const D smallest = splat<D>(0x1p-126), largest = splat<D>(kFloatMax);
        const D zero = splat<D>(0.0);
        D peak = zero;
        M bad = {};
        for (int32_t i = 0; i < n; i += L) {
            const D a = magnitude(through_single(load<D>(re + i)));
            const D b = magnitude(through_single(load<D>(im + i)));
            // A denormal lies strictly between 0 and the smallest normal; NaN fails a <= largest.
            bad |= ((a < smallest) & (a != zero)) | ~(a <= largest);
            bad |= ((b < smallest) & (b != zero)) | ~(b <= largest);
            peak = select(a > peak, a, peak);
            peak = select(b > peak, b, peak);
        }
        if (!none(bad))
            return false;
        double m = 0.0;
        for (int k = 0; k < L; ++k)
            if (peak[k] > m)
                m = peak[k];
        max_mag = m;
        return true;
    }

    template <int L>
    [[gnu::always_inline]] inline bool scan_loop(
        const double* re, const double* im, int32_t n, double& max_mag, bool nearest)
    {
        return nearest ? scan_nearest<L>(re, im, n, max_mag) : scan_any_mode<L>(re, im, n, max_mag);
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

    // Runs blocks of L * G values from i through group(i, ok), which returns the results of
    // the L values at i and clears lanes of ok that need the per-value route; the results of a
    // block are stored when no lane was cleared. Stops at the first block that is not, or when
    // fewer than L * G values remain; returns where it stopped.
    template <int L, int G, class Group>
    [[gnu::always_inline]] inline int32_t run_blocks(double* out, int32_t i, int32_t n, Group group)
    {
        typedef typename Lanes<L>::D D;
        typedef typename Lanes<L>::M M;
        for (; i + L * G <= n; i += L * G) {
            D v[G];
            M ok = ~M {};
            for (int g = 0; g < G; ++g)
                v[g] = group(i + L * g, ok);
            if (!none(~ok))
                return i;
            for (int g = 0; g < G; ++g)
                store(out + i + L * g, v[g]);
        }
        return i;
    }

    // Every group of L values of [0, n) through group, blocks of sixteen values at a time; a
    // group with a lane that needs it through single(i + k) for each of its values.
    template <int L, class Group, class Single>
    [[gnu::always_inline]] inline void run_frame(double* out, int32_t n, Group group, Single single)
    {
        for (int32_t i = 0; i < n;) {
            i = run_blocks<L, 16 / L>(out, i, n, group);
            const int32_t end = i + 16 < n ? i + 16 : n;
            while ((i = run_blocks<L, 1>(out, i, end, group)) < end) {
                for (int k = 0; k < L; ++k)
                    single(i + k);
                i += L;
            }
        }
    }

    // Single precision, the factors, rounding to the w-bit grid by adding and removing
    // 1.5 * 2^52 (rounding to nearest mode). Values beyond 2^51 on the grid (none for
    // conditioned samples, which stay below 1) take condition_float_sample.
    template <int L>
    [[gnu::always_inline]] inline void condition_loop(const double* x, int32_t n, int32_t exponent,
        int w, const float* factors, int count, double* out)
    {
        typedef typename Lanes<L>::D D;
        typedef typename Lanes<L>::M M;
        typedef typename Lanes<L>::F F;
        const double s = std::ldexp(1.0, w - 1);
        const D sv = splat<D>(s), inv_s = splat<D>(1.0 / s), limit = splat<D>(0x1p51);
        const D magic = splat<D>(kfft_simd::kMagic);
        run_frame<L>(
            out, n,
            [&](int32_t i, M& ok) KFFT_INLINE {
                F f = __builtin_convertvector(load<D>(x + i), F);
                for (int j = 0; j < count; ++j)
                    f = f * factors[j];
                const D y = sv * __builtin_convertvector(f, D);
                ok &= magnitude(y) < limit;
                return ((y + magic) - magic) * inv_s;
            },
            [&](int32_t i) KFFT_INLINE { out[i] = condition_float_sample(x[i], exponent, w); });
    }

    // Rounding to 24 significant bits on the bits of the double (ties to even; a carry out of
    // the fraction moves to the next power of two, as the formula's result does), then the
    // scale factors and the range test. Values within 2^-39 relative of a power of two or of
    // extreme exponent (the margins of round_to_single_significance_fast), and values beyond
    // the single range after scaling, take the per-value functions. Zeros stay zeros of their
    // sign either way. The margin test looks at fraction bits as a double below the smallest
    // normal: a processor treating such values as zero sends more values the per-value way.
    template <int L>
    [[gnu::always_inline]] inline bool finish_loop(
        double* p, int32_t n, const double* factors, int count, const Pow2Scaler& scale)
    {
        typedef typename Lanes<L>::D D;
        typedef typename Lanes<L>::M M;
        typedef typename Lanes<L>::U U;
        const U abs_mask = splat<U>(uint64_t { INT64_MAX }), sign = ~abs_mask;
        const U near_add = splat<U>(uint64_t { 1 } << 13);
        const U near_mask = splat<U>(((uint64_t { 1 } << 52) - 1) & ~((uint64_t { 1 } << 14) - 1));
        const U half_less_one = splat<U>((uint64_t { 1 } << 28) - 1),
                one = splat<U>(uint64_t { 1 });
        const U keep = splat<U>(~((uint64_t { 1 } << 29) - 1));
        const D lowest = splat<D>(0x1p-923), highest = splat<D>(0x1p878);
        const D largest = splat<D>(kFloatMax), zero = splat<D>(0.0);
        bool overflow = false;
        run_frame<L>(
            p, n,
            [&](int32_t i, M& ok) KFFT_INLINE {
                const U b = (U)load<D>(p + i);
                const U mb = b & abs_mask;
                const D mag = (D)mb;
                ok &= ((mag >= lowest) & (mag < highest)
                          & ((D)((mb + near_add) & near_mask) != zero))
                    | (mag == zero);
                const U r = ((mb + half_less_one + ((mb >> 29) & one)) & keep) | (b & sign);
                D v = (D)r;
                for (int j = 0; j < count; ++j)
                    v = v * factors[j];
                ok &= magnitude(v) <= largest;
                return v;
            },
            [&](int32_t i) KFFT_INLINE {
                double y = round_to_single_significance_fast(p[i]);
                overflow |= restore_float_range(y, scale);
                p[i] = y;
            });
        return overflow;
    }

    bool scan_portable(const double* re, const double* im, int32_t n, double& max_mag, bool nearest)
    {
        return scan_loop<2>(re, im, n, max_mag, nearest);
    }

    void condition_portable(const double* x, int32_t n, int32_t exponent, int w,
        const float* factors, int count, double* out)
    {
        condition_loop<2>(x, n, exponent, w, factors, count, out);
    }

    bool finish_portable(
        double* p, int32_t n, const double* factors, int count, const Pow2Scaler& scale)
    {
        return finish_loop<2>(p, n, factors, count, scale);
    }

#if defined(KFFT_X86_DISPATCH)

    [[gnu::target("avx2")]] bool scan_avx2(
        const double* re, const double* im, int32_t n, double& max_mag, bool nearest)
    {
        return scan_loop<4>(re, im, n, max_mag, nearest);
    }

    [[gnu::target("avx2")]] void condition_avx2(const double* x, int32_t n, int32_t exponent, int w,
        const float* factors, int count, double* out)
    {
        condition_loop<4>(x, n, exponent, w, factors, count, out);
    }

    [[gnu::target("avx2")]] bool finish_avx2(
        double* p, int32_t n, const double* factors, int count, const Pow2Scaler& scale)
    {
        return finish_loop<4>(p, n, factors, count, scale);
    }
#endif

#if defined(KFFT_X86_DISPATCH)
    // Whether the AVX2 build of the loops runs.
    bool avx2(bool vector_loops) { return vector_loops && cpu_has_avx2(); }
#endif

} // namespace

bool scan_float_clean(
    const double* re, const double* im, int32_t n, double& max_mag, bool vector_loops)
{
    const bool nearest = std::fegetround() == FE_TONEAREST;
#if defined(KFFT_X86_DISPATCH)
    if (avx2(vector_loops))
        return scan_avx2(re, im, n, max_mag, nearest);
#else
    (void)vector_loops;
#endif
    return scan_portable(re, im, n, max_mag, nearest);
}

void condition_float_frame(
    const double* x, int32_t n, int32_t exponent, int w, double* out, bool vector_loops)
{
    float factors[8];
    const int count = single_factors(exponent, factors);
    // The grid rounding relies on rounding to nearest.
    if (count < 0 || std::fegetround() != FE_TONEAREST) {
        for (int32_t i = 0; i < n; ++i)
            out[i] = condition_float_sample(x[i], exponent, w);
        return;
    }
#if defined(KFFT_X86_DISPATCH)
    if (avx2(vector_loops))
        return condition_avx2(x, n, exponent, w, factors, count, out);
#else
    (void)vector_loops;
#endif
    condition_portable(x, n, exponent, w, factors, count, out);
}

bool finish_float_frame(double* re, double* im, int32_t n, int32_t t, bool vector_loops)
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
#if defined(KFFT_X86_DISPATCH)
    if (avx2(vector_loops))
        loop = finish_avx2;
#else
    (void)vector_loops;
#endif
    const bool re_over = loop(re, n, factors, count, scale);
    const bool im_over = loop(im, n, factors, count, scale);
    return re_over || im_over;
}

} // namespace kfft
