// Conditioning of a frame's samples before the engine loads them (see frame_condition.h).
#include "frame_condition.h"

#include <cfenv>
#include <cmath>

#include "api_checks.h"
#include "api_messages.h"
#include "frame_lanes.h"
#include "path_plan.h"
#include "simd4.h"

namespace kfft {

ConditionedFrame condition_frame(const kelvar_ip_kfft_v8_0_generics& g, const FFT_CONFIG& cfg,
    double* re, double* im, int32_t n, double* a, double* b, Path loops)
{
    ConditionedFrame c;
    c.re = re;
    c.im = im;
    if (g.C_USE_FLT_PT != 1) {
        // Samples on the C_INPUT_WIDTH grid (input_width in fixed-point mode) enter as they
        // are; otherwise every sample is rounded, with the warning.
        if (condition_fixed(re, im, n, g.C_INPUT_WIDTH, cfg.input_width, a, b, loops)) {
            c.re = a;
            c.im = b;
        }
        return c;
    }
    const FloatFrame frame = scan_float_frame(re, im, n, loops);
    c.exponent = frame.exponent;
    c.invalid = frame.invalid;
    if (frame.invalid)
        return c;
    condition_float_frame(re, n, frame.exponent, cfg.input_width, a, loops);
    condition_float_frame(im, n, frame.exponent, cfg.input_width, b, loops);
    c.re = a;
    c.im = b;
    return c;
}

double round_half_even(double v)
{
    const double r = std::floor(v);
    const double d = v - r; // exact: r and v are within one unit
    if (d > 0.5 || (d == 0.5 && std::fmod(r, 2.0) != 0.0))
        return r + 1.0;
    return r;
}

double quantise_input(double x, int w, bool guard)
{
    const double s = std::ldexp(1.0, w - 1);
    const double y = s * x;
    double r = round_half_even(y);
    if (guard) {
        if (r >= s)
            r = std::floor(y);
        else if (r < -s)
            r = std::ceil(y);
    }
    return r / s;
}

bool on_input_grid(const double* re, const double* im, int32_t n, int w, Path loops)
{
    const double s = std::ldexp(1.0, w - 1);
    if (grid_clean(re, im, n, s, loops))
        return true;
    // Off the grid somewhere, or too large for the whole-frame test: the plain test.
    const double limit = std::ldexp(1.0, 62);
    bool on_grid = true;
    for (int32_t i = 0; i < n; ++i) {
        const double yr = s * re[i];
        const double yi = s * im[i];
        if (!(std::fabs(yr) < limit && std::fabs(yi) < limit))
            return false;
        on_grid &= (static_cast<double>(static_cast<int64_t>(yr)) == yr)
            & (static_cast<double>(static_cast<int64_t>(yi)) == yi);
    }
    return on_grid;
}

bool condition_fixed(const double* re, const double* im, int32_t n, int input_width_generic, int w,
    double* a, double* b, Path loops)
{
    if (on_input_grid(re, im, n, input_width_generic, loops))
        return false;
    emit_line(MessageLine()
        << "WARNING:kfft_v8_0:simulate called with real and/or imaginary data values that "
           "are not pre-quantized to signed two's-complement fixed-point values of "
           "precision C_INPUT_WIDTH = "
        << input_width_generic
        << " bits.  All real and imaginary data will be internally rounded to the nearest "
           "quantization level for this precision (using convergent rounding to nearest "
           "even).");
    for (int32_t i = 0; i < n; ++i) {
        a[i] = quantise_input(re[i], w, true);
        b[i] = quantise_input(im[i], w, true);
    }
    return true;
}

namespace {

    // Flushes one sample that is denormal in single precision; returns true when it did.
    bool flush_denormal(double& x)
    {
        if (std::fpclassify(static_cast<float>(x)) != FP_SUBNORMAL)
            return false;
        x = 0.0;
        return true;
    }

    // Raises the running maximum by the sample's single-precision magnitude; returns true when the
    // sample is an infinity or a NaN.
    bool track_sample(double x, double& max_mag)
    {
        const float f = static_cast<float>(x);
        const double mag = static_cast<double>(f > 0.0f ? f : -f);
        if (mag > max_mag)
            max_mag = mag;
        return std::isnan(f) || std::isinf(f);
    }

} // namespace

FloatFrame scan_float_frame(double* re, double* im, int32_t n, Path loops)
{
    FloatFrame frame;
    double max_mag = 0.0;
    // Frames with nothing to flush or invalidate need only their largest magnitude.
    const bool clean = scan_float_clean(re, im, n, max_mag, loops);
    for (int32_t i = 0; i < n && !clean; ++i) {
        if (flush_denormal(re[i]))
            emit_line("WARNING:kfft_v8_0:simulate called with a denormalized real data value, "
                      "this value will be set to zero");
        if (flush_denormal(im[i]))
            emit_line("WARNING:kfft_v8_0:simulate called with a denormalized imag data value, "
                      "this value will be set to zero");
        if (track_sample(re[i], max_mag)) {
            frame.invalid = true;
            emit_line("WARNING:kfft_v8_0:simulate called with real data values set to inf or "
                      "NaN, output will be invalidated");
        }
        if (track_sample(im[i], max_mag)) {
            frame.invalid = true;
            emit_line("WARNING:kfft_v8_0:simulate called with imag data values set to inf or "
                      "NaN, output will be invalidated");
        }
    }
    // An invalid frame has no meaningful exponent (the maximum may be infinite).
    if (!frame.invalid && max_mag > 0.0)
        frame.exponent
            = static_cast<int32_t>(std::floor(std::log10(max_mag) / std::log10(2.0)) + 1.0);
    return frame;
}

double condition_float_sample(double x, int32_t exponent, int w)
{
    float f = static_cast<float>(x);
    const float step = std::ldexp(1.0f, 62);
    int32_t left = exponent < 0 ? -exponent : exponent;
    while (left > 0) {
        const int32_t k = left > 62 ? 62 : left;
        const float factor = k == 62 ? step : std::ldexp(1.0f, k);
        f = exponent < 0 ? f * factor : f / factor;
        left -= k;
    }
    return quantise_input(static_cast<double>(f), w, false);
}

// ---- whole-frame loops, built twice (baseline and AVX2)

namespace {

    using namespace kfft_lanes;

    // Whether every re[i] * s and im[i] * s, i in [0, n), is an integer below 2^51 in
    // magnitude (|s x| <= 2^33 for accepted samples): there adding and removing 1.5 * 2^52
    // leaves exactly the integers unchanged, in every rounding mode; NaN fails. False as well
    // when n is not a multiple of L.
    template <int L>
    [[gnu::always_inline]] inline bool grid_loop(
        const double* re, const double* im, int32_t n, double s)
    {
        typedef typename Lanes<L>::D D;
        typedef typename Lanes<L>::M M;
        const D sv = splat<D>(s), limit = splat<D>(0x1p51), magic = splat<D>(kfft_simd::kMagic);
        // Two accumulators of lanes that passed, for the processor's two adders.
        M ok0 = ~M {}, ok1 = ~M {};
        int32_t i = 0;
        for (; i + L <= n; i += L) {
            const D yr = sv * load<D>(re + i);
            const D yi = sv * load<D>(im + i);
            ok0 &= ((yr + magic) - magic == yr) & (magnitude(yr) < limit);
            ok1 &= ((yi + magic) - magic == yi) & (magnitude(yi) < limit);
        }
        const M off = ~(ok0 & ok1);
        return i == n && none(off);
    }

    // One group of the scan to nearest: a denormal lies strictly between 2^-150 and
    // 2^-126 - 2^-150, a finite value below 2^128 - 2^103.
    template <int L>
    [[gnu::always_inline]] inline void scan_group(const double* re, const double* im,
        typename Lanes<L>::D& peak, typename Lanes<L>::M& finite, typename Lanes<L>::M& denormal)
    {
        typedef typename Lanes<L>::D D;
        const D zero_below = splat<D>(0x1p-150), normal_from = splat<D>(0x1p-126 - 0x1p-150);
        const D infinite_from = splat<D>(0x1p128 - 0x1p103);
        const D a = magnitude(load<D>(re));
        const D b = magnitude(load<D>(im));
        finite &= (a < infinite_from) & (b < infinite_from); // NaN fails
        denormal |= ((a > zero_below) & (a < normal_from)) | ((b > zero_below) & (b < normal_from));
        const D ab = select(a > b, a, b);
        peak = select(ab > peak, ab, peak);
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
        // Two groups a step, each with its own running maximum: the maxima are the chain that
        // takes time.
        D peak0 = splat<D>(0.0), peak1 = peak0;
        M finite = ~M {}, denormal = {};
        int32_t i = 0;
        for (; i + 2 * L <= n; i += 2 * L) {
            scan_group<L>(re + i, im + i, peak0, finite, denormal);
            scan_group<L>(re + i + L, im + i + L, peak1, finite, denormal);
        }
        for (; i < n; i += L)
            scan_group<L>(re + i, im + i, peak0, finite, denormal);
        if (!none(~finite) || !none(denormal))
            return false;
        const D peak = select(peak1 > peak0, peak1, peak0);
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
        const D smallest = splat<D>(0x1p-126), largest = splat<D>(kFloatMax);
        const D zero = splat<D>(0.0);
        D peak = zero;
        M bad = {};
        for (int32_t i = 0; i < n; i += L) {
            // double(float(x)) lane by lane, rounded as the scalar conversion is.
            const D a = magnitude(
                __builtin_convertvector(__builtin_convertvector(load<D>(re + i), F), D));
            const D b = magnitude(
                __builtin_convertvector(__builtin_convertvector(load<D>(im + i), F), D));
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

    // One sample of the scan: false when it is denormal, infinite or NaN in single precision;
    // otherwise raises peak to its single-precision magnitude.
    bool scan_one(double x, double& peak)
    {
        const float f = static_cast<float>(x);
        const int c = std::fpclassify(f);
        if (c == FP_SUBNORMAL || c == FP_NAN || c == FP_INFINITE)
            return false;
        const double mag = std::fabs(static_cast<double>(f));
        peak = mag > peak ? mag : peak;
        return true;
    }

    template <int L>
    [[gnu::always_inline]] inline bool scan_loop(
        const double* re, const double* im, int32_t n, double& max_mag, bool nearest)
    {
        // The samples beyond the last whole group, one by one.
        const int32_t whole = n - n % L;
        double tail = 0.0;
        for (int32_t i = whole; i < n; ++i)
            if (!scan_one(re[i], tail) || !scan_one(im[i], tail))
                return false;
        double groups = 0.0;
        if (!(nearest ? scan_nearest<L>(re, im, whole, groups)
                      : scan_any_mode<L>(re, im, whole, groups)))
            return false;
        max_mag = groups > tail ? groups : tail;
        return true;
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

    // Single precision, the factors, rounding to the w-bit grid by adding and removing
    // 1.5 * 2^52 (rounding to nearest mode). A frame with a value beyond 2^51 on the grid (none
    // for conditioned samples, which stay below 1) is then written again by
    // condition_float_sample. The first factor, or 1 (which changes nothing) for a frame
    // exponent of 0, is set up once: frame exponents within 62 of zero need no other.
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
        const F first = splat<F>(count > 0 ? factors[0] : 1.0f);
        M in_range = ~M {};
        const int32_t whole = n - n % L;
        for (int32_t i = n - 1; i >= whole; --i) // fewer than L at the end
            out[i] = condition_float_sample(x[i], exponent, w);
        for (int32_t i = 0; i < whole; i += L) {
            F f = __builtin_convertvector(load<D>(x + i), F) * first;
            for (int j = 1; j < count; ++j)
                f = f * factors[j];
            const D y = sv * __builtin_convertvector(f, D);
            in_range &= magnitude(y) < limit;
            store(out + i, ((y + magic) - magic) * inv_s);
        }
        if (!none(~in_range))
            for (int32_t i = 0; i < whole; ++i)
                out[i] = condition_float_sample(x[i], exponent, w);
    }

    bool grid_portable(const double* re, const double* im, int32_t n, double s)
    {
        return grid_loop<2>(re, im, n, s);
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

#if defined(KFFT_X86_DISPATCH)

    [[gnu::target("avx2")]] bool grid_avx2(const double* re, const double* im, int32_t n, double s)
    {
        return grid_loop<4>(re, im, n, s);
    }

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

    KFFT_AVX512_BEGIN
    template bool grid_loop<8>(const double*, const double*, int32_t, double);
    template void scan_group<8>(
        const double*, const double*, Lanes<8>::D&, Lanes<8>::M&, Lanes<8>::M&);
    template bool scan_nearest<8>(const double*, const double*, int32_t, double&);
    template bool scan_any_mode<8>(const double*, const double*, int32_t, double&);
    template bool scan_loop<8>(const double*, const double*, int32_t, double&, bool);
    template void condition_loop<8>(
        const double*, int32_t, int32_t, int, const float*, int, double*);

    [[gnu::target("avx512f")]] bool grid_avx512(
        const double* re, const double* im, int32_t n, double s)
    {
        return grid_loop<8>(re, im, n, s);
    }

    [[gnu::target("avx512f")]] bool scan_avx512(
        const double* re, const double* im, int32_t n, double& max_mag, bool nearest)
    {
        return scan_loop<8>(re, im, n, max_mag, nearest);
    }

    [[gnu::target("avx512f")]] void condition_avx512(const double* x, int32_t n, int32_t exponent,
        int w, const float* factors, int count, double* out)
    {
        condition_loop<8>(x, n, exponent, w, factors, count, out);
    }
    KFFT_AVX512_END
#endif

} // namespace

bool grid_clean(const double* re, const double* im, int32_t n, double s, Path loops)
{
#if defined(KFFT_X86_DISPATCH)
    switch (kfft_lanes::lane_count(loops)) {
    case 8:
        return grid_avx512(re, im, n, s);
    case 4:
        return grid_avx2(re, im, n, s);
    default:
        break;
    }
#else
    (void)loops;
#endif
    return grid_portable(re, im, n, s);
}

bool scan_float_clean(const double* re, const double* im, int32_t n, double& max_mag, Path loops)
{
    const bool nearest = std::fegetround() == FE_TONEAREST;
#if defined(KFFT_X86_DISPATCH)
    switch (kfft_lanes::lane_count(loops)) {
    case 8:
        return scan_avx512(re, im, n, max_mag, nearest);
    case 4:
        return scan_avx2(re, im, n, max_mag, nearest);
    default:
        break;
    }
#else
    (void)loops;
#endif
    return scan_portable(re, im, n, max_mag, nearest);
}

void condition_float_frame(
    const double* x, int32_t n, int32_t exponent, int w, double* out, Path loops)
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
    switch (kfft_lanes::lane_count(loops)) {
    case 8:
        return condition_avx512(x, n, exponent, w, factors, count, out);
    case 4:
        return condition_avx2(x, n, exponent, w, factors, count, out);
    default:
        break;
    }
#else
    (void)loops;
#endif
    condition_portable(x, n, exponent, w, factors, count, out);
}

} // namespace kfft
