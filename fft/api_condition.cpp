#include "api_condition.h"

#include <cfenv>
#include <cmath>
#include <cstring>
#include <limits>

#include "api_checks.h"
#include "api_messages.h"
#include "float_frame.h"
#include "simd4.h"

namespace kfft {

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

bool on_input_grid(const double* re, const double* im, int32_t n, int w)
{
    // |s x| <= 2^33 for accepted samples. Below 2^51 in magnitude a value is an integer when
    // adding and removing 1.5 * 2^52 leaves it unchanged (in every rounding mode).
    {
        using namespace kfft_simd;
        const V2 sv = splat2(std::ldexp(1.0, w - 1)), big = splat2(std::ldexp(1.0, 51));
        AllTrue ok;
        int32_t i = 0;
        for (; i + 2 <= n; i += 2) {
            const V2 yr = sv * load2(re + i);
            const V2 yi = sv * load2(im + i);
            ok.add((round_int(yr) == yr) & (round_int(yi) == yi) & (yr < big) & (yr > -big)
                & (yi < big) & (yi > -big));
        }
        if (i == n && ok.get())
            return true;
    }
    // Off the grid somewhere, or too large for the test above: the plain test.
    const double s = std::ldexp(1.0, w - 1);
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
    double* a, double* b)
{
    if (on_input_grid(re, im, n, input_width_generic))
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

FloatFrame scan_float_frame(double* re, double* im, int32_t n, bool vector_loops)
{
    FloatFrame frame;
    double max_mag = 0.0;
    // Frames with nothing to flush or invalidate need only their largest magnitude.
    const bool clean = n % 4 == 0 && scan_float_clean(re, im, n, max_mag, vector_loops);
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
