// Finishing of a frame's results after the engine's bins were read (see frame_finish.h).
#include "frame_finish.h"

#include <cfenv>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>

#include "api_checks.h"
#include "frame_condition.h"
#include "frame_lanes.h"
#include "path_plan.h"

namespace kfft {

void finish_frame(kelvar_ip_kfft_v8_0_outputs& out, int32_t n,
    const kelvar_ip_kfft_v8_0_generics& g, const FFT_CONFIG& cfg, int32_t exponent, bool invalid,
    int32_t blk_exp, int32_t overflow, Path loops)
{
    const bool flt = g.C_USE_FLT_PT == 1;
    if (invalid) {
        // Nothing meaningful came out of the engine: every bin is invalidated.
        const double nan = std::numeric_limits<double>::quiet_NaN();
        for (int32_t k = 0; k < n; ++k)
            out.xk_re[k] = out.xk_im[k] = nan;
        blk_exp = 0;
        overflow = 0;
    } else if (flt) {
        const int32_t t = g.C_ARCH == 3 ? g.C_NFFT_MAX + exponent + 1 : exponent + blk_exp;
        if (finish_float_frame(out.xk_re, out.xk_im, n, t, loops))
            overflow = 1;
    }
    out.blk_exp = blk_exp;
    out.overflow = overflow;
    set_final_fields(out, n, flt, cfg.C_HAS_SCALING, cfg.C_HAS_BFP);
}

double round_to_single_significance(double y)
{
    if (y == 0.0)
        return y;
    const double mag = std::fabs(y);
    const double e = std::floor(std::log10(mag) / std::log10(2.0));
    const double m = std::pow(2.0, -1.0 - e);
    const double two24 = 16777216.0;
    const double r = round_half_even(mag * m * two24) / two24 / m;
    return y < 0.0 ? -r : r;
}

namespace {

    double from_bits(uint64_t b)
    {
        double v;
        std::memcpy(&v, &b, sizeof v);
        return v;
    }

    // 2^k for a normal exponent k.
    double pow2(int k) { return from_bits(static_cast<uint64_t>(1023 + k) << 52); }

} // namespace

double round_to_single_significance_fast(double y)
{
    const double mag = std::fabs(y);
    uint64_t b;
    std::memcpy(&b, &mag, sizeof b);
    const int biased = static_cast<int>(b >> 52); // mag = 1.mant 2^(biased - 1023)
    const uint64_t mant = b & ((uint64_t { 1 } << 52) - 1);
    // log2(mag) = biased - 1023 + log2(1.mant): the formula's quotient can only miss
    // biased - 1023 when log2(1.mant) lies within its few-ulp error of 0 or 1, so values
    // within 2^-39 relative of a power of two (and zero, subnormals, extremes) take the
    // formula itself.
    const uint64_t near = uint64_t { 1 } << 13;
    if (mant < near || (uint64_t { 1 } << 52) - mant <= near || biased < 100 || biased > 1900)
        return round_to_single_significance(y);
    const int e = biased - 1023; // floor(log2(mag)); m = 2^(-1-e)
    // mag m 2^24 in [2^23, 2^24), rounded half to even; then / 2^24 / m, all exact.
    const double x = mag * pow2(23 - e);
    double q = static_cast<double>(static_cast<int64_t>(x));
    const double d = x - q;
    if (d > 0.5 || (d == 0.5 && (static_cast<int64_t>(q) & 1) != 0))
        q += 1.0;
    const double r = q * pow2(e - 23);
    return y < 0.0 ? -r : r;
}

Pow2Scaler::Pow2Scaler(int32_t p)
    : divide_(p < 0)
{
    int32_t left = p < 0 ? -p : p;
    while (left > 0 && count_ < 40) {
        const int32_t k = left > 62 ? 62 : left;
        factors_[count_++] = k == 62 ? std::ldexp(1.0, 62) : std::ldexp(1.0, k);
        left -= k;
    }
}

bool restore_float_range(double& v, const Pow2Scaler& t)
{
    v = t.apply(v);
    if (std::fabs(v) <= kFloatMax)
        return false;
    v = static_cast<double>(static_cast<float>(v));
    return true;
}

// ---- the whole-frame loop, built twice (baseline and AVX2)

namespace {

    using namespace kfft_lanes;

    template <int L> struct FinishConstants {
        typedef typename Lanes<L>::D D;
        typedef typename Lanes<L>::U U;
        U abs_mask = splat<U>(uint64_t { INT64_MAX }), sign = ~abs_mask;
        U near_add = splat<U>(uint64_t { 1 } << 13);
        U near_mask = splat<U>(((uint64_t { 1 } << 52) - 1) & ~((uint64_t { 1 } << 14) - 1));
        U half_less_one = splat<U>((uint64_t { 1 } << 28) - 1), one = splat<U>(uint64_t { 1 });
        U keep = splat<U>(~((uint64_t { 1 } << 29) - 1));
        D lowest = splat<D>(0x1p-923), highest = splat<D>(0x1p878);
        D largest = splat<D>(kFloatMax), zero = splat<D>(0.0);
    };

    // The L values at p through the rounding and the factors; clears the lanes of ok whose
    // value needs the per-value route.
    template <int L>
    [[gnu::always_inline]] inline typename Lanes<L>::D finish_group(const double* p,
        const FinishConstants<L>& c, const double* factors, int count, typename Lanes<L>::M& ok)
    {
        typedef typename Lanes<L>::D D;
        typedef typename Lanes<L>::U U;
        const U b = (U)load<D>(p);
        const U mb = b & c.abs_mask;
        const D mag = (D)mb;
        const D near = (D)((mb + c.near_add) & c.near_mask);
        ok &= ((mag >= c.lowest) & (mag < c.highest) & (near != c.zero)) | (mag == c.zero);
        const U r = ((mb + c.half_less_one + ((mb >> 29) & c.one)) & c.keep) | (b & c.sign);
        D v = (D)r;
        for (int j = 0; j < count; ++j)
            v = v * factors[j];
        ok &= magnitude(v) <= c.largest;
        return v;
    }

    // The per-value route of one value; returns true when it exceeded the single range.
    bool finish_one(double& v, const Pow2Scaler& scale)
    {
        double y = round_to_single_significance_fast(v);
        const bool over = restore_float_range(y, scale);
        v = y;
        return over;
    }

    // Rounding to 24 significant bits on the bits of the double (ties to even; a carry out of
    // the fraction moves to the next power of two, as the formula's result does), then the
    // scale factors and the range test, two groups of L values at a time. Values within 2^-39
    // relative of a power of two or of extreme exponent (the margins of
    // round_to_single_significance_fast), and values beyond the single range after scaling,
    // take the per-value functions, and so do the two groups around them and the values after
    // the last pair of groups. Zeros stay zeros of their sign either way. The margin test looks
    // at fraction bits as a double below the smallest normal: a processor treating such values
    // as zero sends more values the per-value way.
    template <int L>
    [[gnu::always_inline]] inline bool finish_loop(
        double* p, int32_t n, const double* factors, int count, const Pow2Scaler& scale)
    {
        typedef typename Lanes<L>::D D;
        typedef typename Lanes<L>::M M;
        const FinishConstants<L> c;
        bool overflow = false;
        int32_t i = 0;
        for (; i + 2 * L <= n; i += 2 * L) {
            M ok = ~M {};
            const D v0 = finish_group<L>(p + i, c, factors, count, ok);
            const D v1 = finish_group<L>(p + i + L, c, factors, count, ok);
            if (none(~ok)) {
                store(p + i, v0);
                store(p + i + L, v1);
            } else {
                for (int k = 0; k < 2 * L; ++k)
                    overflow |= finish_one(p[i + k], scale);
            }
        }
        for (; i < n; ++i)
            overflow |= finish_one(p[i], scale);
        return overflow;
    }

    bool finish_portable(
        double* p, int32_t n, const double* factors, int count, const Pow2Scaler& scale)
    {
        return finish_loop<2>(p, n, factors, count, scale);
    }

#if defined(KFFT_X86_DISPATCH)
    [[gnu::target("avx2")]] bool finish_avx2(
        double* p, int32_t n, const double* factors, int count, const Pow2Scaler& scale)
    {
        return finish_loop<4>(p, n, factors, count, scale);
    }

    KFFT_AVX512_BEGIN
    template struct FinishConstants<8>;
    template Lanes<8>::D finish_group<8>(
        const double*, const FinishConstants<8>&, const double*, int, Lanes<8>::M&);
    template bool finish_loop<8>(double*, int32_t, const double*, int, const Pow2Scaler&);

    [[gnu::target("avx512f")]] bool finish_avx512(
        double* p, int32_t n, const double* factors, int count, const Pow2Scaler& scale)
    {
        return finish_loop<8>(p, n, factors, count, scale);
    }
    KFFT_AVX512_END
#endif

} // namespace

bool finish_float_frame(double* re, double* im, int32_t n, int32_t t, Path loops)
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
    switch (kfft_lanes::lane_count(loops)) {
    case 8:
        loop = finish_avx512;
        break;
    case 4:
        loop = finish_avx2;
        break;
    default:
        break;
    }
#else
    (void)loops;
#endif
    const bool re_over = loop(re, n, factors, count, scale);
    const bool im_over = loop(im, n, factors, count, scale);
    return re_over || im_over;
}

void set_final_fields(kelvar_ip_kfft_v8_0_outputs& out, int32_t n, bool floating_point,
    int scaling_flag, int bfp_flag)
{
    out.xk_re_size = n;
    out.xk_im_size = n;
    if (floating_point) {
        out.blk_exp = 0;
    } else if (scaling_flag == 0) {
        out.blk_exp = 0;
        out.overflow = 0;
    } else if (bfp_flag == 0) {
        out.blk_exp = 0;
    } else {
        out.overflow = 0;
    }
}

} // namespace kfft
