// Shared pieces of the engines' stages on exact doubles: every register holds its raw integer
// value within the bounds of path_plan.h, so the IEEE operations below are exact and reproduce
// the integer datapath bit for bit.
#ifndef KFFT_FP_STAGE_H
#define KFFT_FP_STAGE_H

#include <algorithm>
#include <cstdint>

#include "path_plan.h"
#include "simd4.h"
#include "simd8.h"

namespace kfft_fp {

using kfft_simd::M4;
using kfft_simd::V4;

// The pieces below work on any lane count (V: a vector of doubles, 4 or 8 lanes, or 2). No
// vector passes by value into or out of a function here: they inline into loops built for
// different processors, and a vector passed by value between functions built for different
// processors changes its calling convention (which -Wpsabi reports).

// Lanes of v from p[0..], and back.
template <class V> [[gnu::always_inline]] inline void load(V& v, const double* p)
{
    __builtin_memcpy(&v, p, sizeof v);
}

template <class V> [[gnu::always_inline]] inline void store(double* p, const V& v)
{
    __builtin_memcpy(p, &v, sizeof v);
}

// Whether the lanes of V round with one instruction (8 lanes: simd8.h) rather than by adding
// and removing 1.5 * 2^52.
template <class V> inline constexpr bool kRoundsDirectly = false;
#if defined(KFFT_X86_DISPATCH)
template <> inline constexpr bool kRoundsDirectly<kfft_simd::V8> = true;
#endif

// v rounded to an integer (|v| < 2^51, rounding to nearest, ties to even); a zero is +0.
template <class V> [[gnu::always_inline]] inline void round_to(V& out, const V& v)
{
    out = (v + kfft_simd::kMagic) - kfft_simd::kMagic;
}

// The same where the sign of a zero result does not matter (the parts of a split product,
// which a later sum with a nonzero or +0 term absorbs): one instruction where the lanes round
// directly, which gives -0 for small negative v.
template <class V> [[gnu::always_inline]] inline void round_part(V& out, const V& v)
{
#if defined(KFFT_X86_DISPATCH)
    if constexpr (kRoundsDirectly<V>) {
        kfft_simd::round_nearest(out, v);
        return;
    }
#endif
    round_to(out, v);
}

// (n + K) >> d for integers n (|n| < 2^51) with K = 2^(d-1) - 1 and c = 2^-d: round((n - 1/2) c),
// never a tie, or floor((n + K) c) where the lanes round directly (the same integer: n + 1/2
// and n + K + 1/2 lie between the same multiples of 2^d). Never -0: n + K is +0 for n = -0.
template <class V, class C>
[[gnu::always_inline]] inline void round_shifted(V& out, const V& n, const C& c)
{
#if defined(KFFT_X86_DISPATCH)
    if constexpr (kRoundsDirectly<V>) {
        kfft_simd::round_floor(out, (n + (0.5 / c - 1.0)) * c);
        return;
    }
#endif
    round_to(out, (n - 0.5) * c);
}

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
//
// When truncating, the outputs y arrive plus `shift`, which the callers fold into a term every
// output of a butterfly shares (x0): -(2^(d-1) - 1/2), which turns the rounding to nearest
// into a floor, or +0 where the lanes take the floor directly (it keeps -0 out of the words:
// a sum is -0 only when every term is). y + shift is exact: a multiple of 1/2 below 2^51 in
// magnitude. Rounding to nearest, the callers add nothing.
template <bool Round, bool Bfp, class V = V4> struct OutputQuant {
    double shift;
    V c_out, largest;
    double hi, lo; // y + shift from hi on, or below lo: y outside [-lim, lim) (exact)
    double top; // largest data word
    double b1, b2, b3;
    // Extremes of y + shift (overflow) and largest magnitude key max(z, -1 - z) of the words
    // (block floating point), kept in kSlots independent accumulators: one would chain every
    // output of a loop step to the previous one.
    static constexpr int kSlots = 4;
    V ymax[kSlots] {}, ymin[kSlots] {};
    V zkey[kSlots] {};

    // Truncation: floor(y 2^-d) directly where the lanes round directly, else rounding to
    // nearest after the shift.
    static constexpr bool kFloor = !Round && kRoundsDirectly<V>;

    [[gnu::always_inline]] explicit OutputQuant(const OutputFormat& f)
        : shift(Round || kFloor ? 0.0 : -f.bias)
        , c_out(V {} + f.c_out)
        , largest(V {} + f.largest)
        , hi(f.lim + shift)
        , lo(-f.lim + shift)
        , top(f.largest)
        , b1(f.b1)
        , b2(f.b2)
        , b3(f.b3)
    {
    }

    // Data word z of output y, given y + shift (TRUNCATE, or CONVERGENT_NOSAT when Round);
    // valid when no output of the stage lies outside [-1, 1), which overflow() reports. slot:
    // the accumulator (a constant, taken modulo kSlots).
    [[gnu::always_inline]] void operator()(const V& ys, V& z, int slot)
    {
        const int i = slot % kSlots;
        if (Round || !Bfp) {
            ymax[i] = ys > ymax[i] ? ys : ymax[i];
            ymin[i] = ys < ymin[i] ? ys : ymin[i];
        }
#if defined(KFFT_X86_DISPATCH)
        if constexpr (kFloor)
            kfft_simd::round_floor(z, ys * c_out);
        else
#endif
            // Adding and removing 1.5 * 2^52 (never -0, unlike a rounding instruction).
            z = (ys * c_out + kfft_simd::kMagic) - kfft_simd::kMagic;
        if (Round)
            z = z < largest ? z : largest;
        if (Bfp) {
            const V m = -1.0 - z;
            const V k = z > m ? z : m;
            zkey[i] = k > zkey[i] ? k : zkey[i];
        }
    }

    // The largest lane of the accumulators (sign -1: the smallest, negated).
    [[gnu::always_inline]] static double lane_max(const V* v, double sign = 1.0)
    {
        double k = sign * v[0][0];
        for (int j = 0; j < kSlots; ++j)
            for (unsigned i = 0; i < sizeof(V) / sizeof(double); ++i)
                k = sign * v[j][i] > k ? sign * v[j][i] : k;
        return k;
    }

    [[gnu::always_inline]] bool overflow() const
    {
        // Truncating, z = floor(y / 2^d) and lim = 2^(W-1) 2^d: y lies outside [-lim, lim)
        // exactly when z lies outside the word, that is when its key exceeds the largest word.
        if (!Round && Bfp)
            return lane_max(zkey) > top;
        return lane_max(ymax) >= hi || -lane_max(ymin, -1.0) < lo;
    }
    // Number of class bounds reached by the largest word.
    [[gnu::always_inline]] int32_t bfp_class() const
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
template <class V, class C>
[[gnu::always_inline]] inline void twiddle(
    const V& xr, const V& xi, const V& g, const V& h, const C& c, V& tr, V& ti)
{
    round_shifted(tr, xr * g - xi * h, c);
    round_shifted(ti, xr * h + xi * g, c);
}

// Twiddled operands whose products exceed exact doubles: the twiddle splits into three
// parts g = g2 2^2s + g1 2^s + g0 (|g1|, |g0| <= 2^(s-1)) whose partial sums x g_k are exact,
// and the quotient by 2^d is taken part by part, each remainder folded into the next part.
// The constants are powers of two, applied to every lane.
struct WideTwiddle {
    double c; // 2^-d
    double inv_s, s1; // 2^-s, 2^s
    double inv_2s, s2; // 2^-2s, 2^2s
    double q2c, q2p; // 2^(2s-d), 2^(d-2s)
    double q1c, q1p; // 2^(s-d), 2^(d-s)
};

// The split s for operands of at most xb bits, twiddles of tw bits and a quotient by 2^d
// (the bounds of kfft::bounds); 0 when there is none.
inline int wide_split(int xb, int tw, int d)
{
    using namespace kfft::bounds;
    // The smallest s with xb + tw - 2s <= kSplitProductBits.
    const int s = std::max((xb + tw - kSplitProductBits + 1) / 2, 1);
    return xb + s <= kSplitLowBits && xb + tw - d <= kSplitQuotientBits ? s : 0;
}

inline WideTwiddle wide_twiddle(int s, int d)
{
    WideTwiddle k;
    k.c = __builtin_ldexp(1.0, -d);
    k.inv_s = __builtin_ldexp(1.0, -s);
    k.s1 = __builtin_ldexp(1.0, s);
    k.inv_2s = __builtin_ldexp(1.0, -2 * s);
    k.s2 = __builtin_ldexp(1.0, 2 * s);
    k.q2c = __builtin_ldexp(1.0, 2 * s - d);
    k.q2p = __builtin_ldexp(1.0, d - 2 * s);
    k.q1c = __builtin_ldexp(1.0, s - d);
    k.q1p = __builtin_ldexp(1.0, d - s);
    return k;
}

// Parts g2, g1, g0 of twiddles g (g = g2 2^2s + g1 2^s + g0, |g1|, |g0| <= 2^(s-1)).
template <class V>
[[gnu::always_inline]] inline void split_twiddle(const V& g, const WideTwiddle& k, V p[3])
{
    round_part(p[0], g * k.inv_2s);
    const V m = g - p[0] * k.s2;
    round_part(p[1], m * k.inv_s);
    p[2] = m - p[1] * k.s1;
}

// The same for one twiddle, for tables built once.
inline void split_twiddle(double g, int s, double p[3])
{
    const double magic = kfft_simd::kMagic;
    p[0] = (g * __builtin_ldexp(1.0, -2 * s) + magic) - magic;
    const double m = g - p[0] * __builtin_ldexp(1.0, 2 * s);
    p[1] = (m * __builtin_ldexp(1.0, -s) + magic) - magic;
    p[2] = m - p[1] * __builtin_ldexp(1.0, s);
}

// Quotient q by 2^d of p2 2^2s + p1 2^s + p0, part by part (a three-part split).
template <class V>
[[gnu::always_inline]] inline void quotient3(
    const V& p2, const V& p1, const V& p0, const WideTwiddle& k, V& q)
{
    V q2, q1, r;
    round_part(q2, p2 * k.q2c);
    const V f1 = (p2 - q2 * k.q2p) * k.s1 + p1;
    round_part(q1, f1 * k.q1c);
    const V f0 = (f1 - q1 * k.q1p) * k.s1 + p0;
    round_shifted(r, f0, k.c);
    q = (q2 + q1) + r;
}

// Quotient q by 2^d of p1 2^s + p0 (a two-part split).
template <class V>
[[gnu::always_inline]] inline void quotient2(const V& p1, const V& p0, const WideTwiddle& k, V& q)
{
    V q1, r;
    round_part(q1, p1 * k.q1c);
    const V f0 = (p1 - q1 * k.q1p) * k.s1 + p0;
    round_shifted(r, f0, k.c);
    q = q1 + r;
}

// (x W + K) >> d as twiddle() gives it, for a split found by wide_split(), from the parts
// of the twiddle's real part g and imaginary part h.
template <class V>
[[gnu::always_inline]] inline void twiddle_parts(
    const V& xr, const V& xi, const V g[3], const V h[3], const WideTwiddle& k, V& tr, V& ti)
{
    quotient3<V>(xr * g[0] - xi * h[0], xr * g[1] - xi * h[1], xr * g[2] - xi * h[2], k, tr);
    quotient3<V>(xr * h[0] + xi * g[0], xr * h[1] + xi * g[1], xr * h[2] + xi * g[2], k, ti);
}

template <class V>
[[gnu::always_inline]] inline void twiddle_wide(
    const V& xr, const V& xi, const V& g, const V& h, const WideTwiddle& k, V& tr, V& ti)
{
    V gp[3], hp[3];
    split_twiddle(g, k, gp);
    split_twiddle(h, k, hp);
    twiddle_parts(xr, xi, gp, hp, k, tr, ti);
}

// A split in two parts, g = g1 2^s + g0 (|g0| <= 2^(s-1)), when one exists for operands of
// at most xb bits, twiddles of tw bits and a quotient by 2^d: s > 0, else 0. The constants
// are those of wide_twiddle(s, d) (q1c, q1p, s1, inv_s and c are used).
inline int wide_split2(int xb, int tw, int d)
{
    using namespace kfft::bounds;
    const int s = std::max(xb + tw - kSplitProductBits, 1);
    return xb + s <= kSplitLowBits && xb + tw - d <= kSplitQuotientBits ? s : 0;
}

// (x W + K) >> d for a split found by wide_split2().
template <class V>
[[gnu::always_inline]] inline void twiddle_wide2(
    const V& xr, const V& xi, const V& g, const V& h, const WideTwiddle& k, V& tr, V& ti)
{
    V g1, h1;
    round_part(g1, g * k.inv_s);
    round_part(h1, h * k.inv_s);
    const V g0 = g - g1 * k.s1, h0 = h - h1 * k.s1;
    quotient2<V>(xr * g1 - xi * h1, xr * g0 - xi * h0, k, tr);
    quotient2<V>(xr * h1 + xi * g1, xr * h0 + xi * g0, k, ti);
}

// A split of the operand instead, x = x1 2^a + x0 (|x0| <= 2^(a-1)), the twiddle whole: a > 0
// when one exists for operands of at most xb bits, twiddles of tw bits and a quotient by 2^d,
// else 0. The constants are those of wide_twiddle(a, d) (q1c, q1p, s1, inv_s and c).
inline int operand_split(int xb, int tw, int d)
{
    using namespace kfft::bounds;
    const int a = std::max(xb + tw - kSplitProductBits, 1);
    return a + tw <= kSplitLowBits && xb + tw - d <= kSplitQuotientBits ? a : 0;
}

// (x W + K) >> d for a split found by operand_split().
template <class V>
[[gnu::always_inline]] inline void twiddle_operand_split(
    const V& xr, const V& xi, const V& g, const V& h, const WideTwiddle& k, V& tr, V& ti)
{
    V xr1, xi1;
    round_part(xr1, xr * k.inv_s);
    round_part(xi1, xi * k.inv_s);
    const V xr0 = xr - xr1 * k.s1, xi0 = xi - xi1 * k.s1;
    quotient2<V>(xr1 * g - xi1 * h, xr0 * g - xi0 * h, k, tr);
    quotient2<V>(xr1 * h + xi1 * g, xr0 * h + xi0 * g, k, ti);
}

// Twiddle product by the number of twiddle parts (1: twiddle(), 2: twiddle_wide2(),
// 3: twiddle_wide()), chosen at compile time.
template <int Parts, class V, class C>
[[gnu::always_inline]] inline void twiddle_any(const V& xr, const V& xi, const V& g, const V& h,
    const C& c, const WideTwiddle& k, V& tr, V& ti)
{
    if (Parts == 3)
        twiddle_wide(xr, xi, g, h, k, tr, ti);
    else if (Parts == 2)
        twiddle_wide2(xr, xi, g, h, k, tr, ti);
    else
        twiddle(xr, xi, g, h, c, tr, ti);
}

// Block floating point class bounds of the radix-2 and radix-4 engines (8-bit codes; 0: none).
constexpr int kR4Bounds[3] = { 24, 48, 97 };
constexpr int kR2Bounds[3] = { 53, 106, 0 };

// The stage function of a plan with double stages: Loops::portable<Round, Bfp, Parts>, or
// Loops::avx2<...> or Loops::avx512<...> when the plan takes 4 or 8 lanes (Loops::Fn their
// pointer type).
template <class Loops, bool Round, bool Bfp>
typename Loops::Fn stage_function(const kfft::PathPlan& plan)
{
#if defined(KFFT_X86_DISPATCH)
    if (plan.stages == kfft::Path::FloatAvx512)
        return plan.parts == 3 ? &Loops::template avx512<Round, Bfp, 3>
            : plan.parts == 2  ? &Loops::template avx512<Round, Bfp, 2>
                               : &Loops::template avx512<Round, Bfp, 1>;
    if (plan.stages == kfft::Path::FloatAvx2)
        return plan.parts == 3 ? &Loops::template avx2<Round, Bfp, 3>
            : plan.parts == 2  ? &Loops::template avx2<Round, Bfp, 2>
                               : &Loops::template avx2<Round, Bfp, 1>;
#endif
    return plan.parts == 3 ? &Loops::template portable<Round, Bfp, 3>
        : plan.parts == 2  ? &Loops::template portable<Round, Bfp, 2>
                           : &Loops::template portable<Round, Bfp, 1>;
}

} // namespace kfft_fp

#endif // KFFT_FP_STAGE_H
