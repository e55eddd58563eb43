// Shared pieces of the burst engines' stages on exact doubles: every register holds its raw
// integer value below 2^52, so the IEEE operations below are exact and reproduce the integer
// datapath bit for bit. Rounding to an integer adds and removes 1.5 * 2^52, which needs the
// default rounding mode (the engines check it per frame).
#ifndef KFFT_FP_STAGE_H
#define KFFT_FP_STAGE_H

#include <cstdint>

#include "simd4.h"

namespace kfft_fp {

using kfft_simd::M4;
using kfft_simd::splat;
using kfft_simd::V4;

// Quantisation of butterfly outputs with W + 2 fraction bits to data words of W bits after a
// right shift by s (d = 3 + s bits dropped), and the frame results it feeds.
struct OutputFormat {
    double c_out; // 2^-d
    double bias; // 2^(d-1) - 1/2: turns rounding to nearest into a floor
    double largest; // largest data word 2^(W-1) - 1
    double lim; // 2^(W + 2 + s): outputs from here on (or below -lim) lie outside [-1, 1)
    double b1, b2, b3; // block floating point class bounds as data words
};

// Running extremes use the vector conditional a > b ? a : b, which compilers turn into the
// max and min instructions (same result: no operand is ever NaN here).
template <bool Round, bool Bfp> struct OutputQuant {
    V4 c_out, bias, largest;
    double lim, b1, b2, b3;
    V4 ymax {}, ymin {}; // extremes of the butterfly outputs (overflow)
    V4 zkey {}; // largest magnitude key max(z, -1 - z) of the words (block floating point)

    explicit OutputQuant(const OutputFormat& f)
        : c_out(splat(f.c_out))
        , bias(splat(f.bias))
        , largest(splat(f.largest))
        , lim(f.lim)
        , b1(f.b1)
        , b2(f.b2)
        , b3(f.b3)
    {
    }

    // Data word of output y (TRUNCATE, or CONVERGENT_NOSAT when Round); valid when no
    // output of the stage lies outside [-1, 1), which overflow() reports.
    [[gnu::always_inline]] V4 operator()(const V4& y)
    {
        ymax = y > ymax ? y : ymax;
        ymin = y < ymin ? y : ymin;
        V4 z;
        if (Round) {
            z = kfft_simd::round_int(y * c_out);
            z = z < largest ? z : largest;
        } else {
            z = kfft_simd::round_int((y - bias) * c_out);
        }
        if (Bfp) {
            const V4 m = splat(-1.0) - z;
            const V4 k = z > m ? z : m;
            zkey = k > zkey ? k : zkey;
        }
        return z;
    }

    static double lane_max(const V4& v)
    {
        double k = v[0];
        for (int i = 1; i < 4; ++i)
            k = v[i] > k ? v[i] : k;
        return k;
    }

    bool overflow() const { return lane_max(ymax) >= lim || -lane_max(-ymin) < -lim; }
    // Number of class bounds reached by the largest word.
    int32_t bfp_class() const
    {
        const double k = lane_max(zkey);
        return k >= b3 ? 3 : k >= b2 ? 2 : k >= b1 ? 1 : 0;
    }
};

// The format for data width W, shift s and class bounds (8-bit codes; 0 for none).
inline OutputFormat output_format(int W, int s, int b1, int b2, int b3)
{
    const double unit = __builtin_ldexp(1.0, W - 8);
    OutputFormat f;
    f.c_out = __builtin_ldexp(1.0, -(3 + s));
    f.bias = __builtin_ldexp(1.0, 2 + s) - 0.5;
    f.largest = __builtin_ldexp(1.0, W - 1) - 1.0;
    f.lim = __builtin_ldexp(1.0, W + 2 + s);
    f.b1 = b1 ? b1 * unit : 1e300;
    f.b2 = b2 ? b2 * unit : 1e300;
    f.b3 = b3 ? b3 * unit : 1e300;
    return f;
}

// Twiddled operand: (x W + K) >> (TW - 4) = round((x W - 1/2) / 2^(TW - 4)), never a tie
// (c = 2^-(TW - 4)). The outputs must not alias the inputs.
[[gnu::always_inline]] inline void twiddle(
    const V4& xr, const V4& xi, const V4& g, const V4& h, const V4& c, V4& tr, V4& ti)
{
    const V4 half = splat(0.5);
    tr = kfft_simd::round_int((xr * g - xi * h - half) * c);
    ti = kfft_simd::round_int((xr * h + xi * g - half) * c);
}

// Block floating point class bounds of the radix-2 and radix-4 engines (8-bit codes).
constexpr int kR4Bounds[3] = { 24, 48, 97 };
constexpr int kR2Bounds[3] = { 53, 106, 0 };

} // namespace kfft_fp

#endif // KFFT_FP_STAGE_H
