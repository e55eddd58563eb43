// num_small -- short paths of the fixed-point arithmetic for values of at most 127 bits, held
// as exact 128-bit integers: range tests, rounding decisions and the quantising conversion.
// Inline because the FFT butterflies run them hundreds of times per frame position.
#ifndef KFFT_NUM_SMALL_H
#define KFFT_NUM_SMALL_H

#include "knum.h"

#include <cstdint>

namespace num_internal {

using i128 = __int128;
using u128 = unsigned __int128;

// Whether the exact value v fits a format of width w (w <= 128).
inline bool fits128(i128 v, int32_t w, bool isSigned)
{
    if (isSigned) {
        if (w == 0)
            return v == 0;
        if (w >= 128)
            return true;
        const i128 half = (i128)1 << (w - 1);
        return v >= -half && v < half;
    }
    if (v < 0)
        return false;
    if (w >= 127)
        return true;
    return v < ((i128)1 << w);
}

// Bit patterns of the largest and smallest values of a format of width w <= 128.
inline u128 maxValue128(int32_t w, bool isSigned)
{
    if (w == 0)
        return 0;
    if (isSigned)
        return ((u128)1 << (w - 1)) - 1;
    return w >= 128 ? ~(u128)0 : ((u128)1 << w) - 1;
}

inline u128 minValue128(int32_t w, bool isSigned)
{
    if (w == 0 || !isSigned)
        return 0;
    return (u128)0 - ((u128)1 << (w - 1));
}

// Rounding decision for dropped bits: hi = highest dropped bit, lower = any lower dropped bit,
// keptLow = lowest kept bit, neg = the value is negative.
// Branch-free in the data (the mode is the same for every value of a register).
KNUM_HOT bool roundUp(int32_t quant, bool neg, int hi, bool lower, int keptLow)
{
    if (quant == TRUNCATE)
        return false;
    const int rest = quant == ROUND ? ((int)!neg | (int)lower) : ((int)lower | (keptLow & 1));
    return (hi & rest) != 0;
}

// Bit i of s (sign beyond bit 127).
inline int bit128(i128 s, int64_t i) { return i >= 127 ? (s < 0) : (int)((s >> i) & 1); }

// Any bit of s set in positions [0, k).
inline bool anyBelow128(i128 s, int64_t k)
{
    if (k <= 0)
        return false;
    if (k >= 128)
        return s != 0;
    return ((u128)s & (((u128)1 << k) - 1)) != 0;
}

// Quantise the exact value s (a format of width ws, binary point fs) into t, whose binary point
// is f and whose width is at most 127: align, round by t.quant (CONVERGENT_NOSAT never rounds
// up into the largest signed code when t has no more integer bits than the source), then
// overflow by t.ovfl. Status bit 0 is cleared, then set when the value or its round-up
// overflows; under WRAP the overflow test is skipped and the low bits remain.
inline void convertSmall(KNum& t, int32_t f, i128 s, int32_t ws, int32_t fs)
{
    t.status &= ~1u;
    const int32_t w = t.width;
    const bool tSigned = t.type == SIGNED;
    const int64_t d = (int64_t)fs - f;
    i128 fl;
    bool ovf;
    bool inc = false;
    if (d <= 0) {
        const int64_t sh = -d;
        if (s == 0) {
            fl = 0;
            ovf = false;
        } else if (sh >= w) {
            fl = sh >= 128 ? 0 : (i128)((u128)s << sh);
            ovf = true;
        } else {
            fl = (i128)((u128)s << sh);
            ovf = !fits128(s, (int32_t)(w - sh), tSigned);
        }
    } else {
        fl = s >> (d >= 127 ? 127 : d);
        ovf = !fits128(fl, w, tSigned);
        if (t.quant != TRUNCATE)
            inc = roundUp(t.quant, s < 0, bit128(s, d - 1), anyBelow128(s, d - 1), bit128(s, d));
    }
    const u128 wmask = w == 0 ? 0 : ((u128)1 << w) - 1;
    u128 r = (u128)fl & wmask;
    if (t.quant == CONVERGENT_NOSAT && w >= 1 && (int64_t)w - f <= (int64_t)ws - fs)
        inc = inc & (r != maxValue128(w, true));
    if (t.ovfl == WRAP) {
        t.set128(r + (inc ? 1u : 0u)); // no overflow test under WRAP
        return;
    }
    // A signed value of width 0 never changes sign, so its increment never overflows.
    const bool atTop = w == 0 ? !tSigned : r == maxValue128(w, tSigned);
    if (inc & atTop) {
        t.status |= 1u;
        if (t.ovfl == RAISE)
            throw KNumException::Overflow("Overflow on incr", 0);
    } else {
        r += inc ? 1u : 0u;
    }
    if (ovf) {
        t.status |= 1u;
        if (t.ovfl == SATURATE)
            r = s < 0 ? minValue128(w, tSigned) : maxValue128(w, tSigned);
        else if (t.ovfl == RAISE)
            throw KNumException::Overflow("during convert", s < 0 ? -1 : 1);
    }
    t.set128(r);
}

// Whether the value v fits a format of width w <= 64.
KNUM_HOT bool fits64(int64_t v, int32_t w, bool isSigned)
{
    if (isSigned) {
        if (w == 0)
            return v == 0;
        if (w >= 64)
            return true;
        const int64_t h = v >> (w - 1);
        return h == 0 || h == -1;
    }
    if (v < 0)
        return false;
    return w >= 63 || (v >> w) == 0;
}

// Whether convert64 applies: a source of at most 63 bits (64 when SIGNED), a target of at most
// 64 bits, binary points at most 63 apart.
inline bool convertible64(const KNum& t, int32_t f, const KNum& s, int32_t fs)
{
    const int64_t d = (int64_t)fs - f;
    return t.width <= 64 && (s.width <= 63 || (s.width == 64 && s.type == SIGNED)) && d >= -63
        && d <= 63;
}

// convertSmall for convertible64 operands, in 64-bit arithmetic.
KNUM_HOT void convert64(KNum& t, int32_t f, int64_t s, int32_t ws, int32_t fs)
{
    t.status &= ~1u;
    const int32_t w = t.width;
    const bool tSigned = t.type == SIGNED;
    const int d = (int)(fs - f);
    const uint64_t wmask = w >= 64 ? ~0ull : (1ull << w) - 1;
    const uint64_t maxSigned = wmask >> 1;
    const int64_t fl = d <= 0 ? (int64_t)((uint64_t)s << -d) : s >> d;
    bool inc = false;
    if (d > 0 && t.quant != TRUNCATE) {
        const uint64_t dropped = (uint64_t)s & ((1ull << d) - 1);
        const int hi = (int)(dropped >> (d - 1));
        const bool lower = (dropped & ((1ull << (d - 1)) - 1)) != 0;
        inc = roundUp(t.quant, s < 0, hi, lower, (int)(fl & 1));
    }
    uint64_t r = (uint64_t)fl & wmask;
    if (t.quant == CONVERGENT_NOSAT && w >= 1 && (int64_t)w - f <= (int64_t)ws - fs)
        inc = inc & (r != maxSigned);
    if (t.ovfl == WRAP) {
        t.set64(r + (inc ? 1u : 0u)); // no overflow test under WRAP
        return;
    }
    const bool ovf
        = d <= 0 ? (s != 0 && (-d >= w || !fits64(s, w + d, tSigned))) : !fits64(fl, w, tSigned);
    // The increment overflows at the largest value (never for a signed width-0 value).
    const bool atTop = w == 0 ? !tSigned : r == (tSigned ? maxSigned : wmask);
    if (inc & atTop) {
        t.status |= 1u;
        if (t.ovfl == RAISE)
            throw KNumException::Overflow("Overflow on incr", 0);
    } else {
        r += inc ? 1u : 0u;
    }
    if (ovf) {
        t.status |= 1u;
        if (t.ovfl == SATURATE)
            r = s < 0 ? (tSigned ? ~maxSigned & wmask : 0) : (tSigned ? maxSigned : wmask);
        else
            throw KNumException::Overflow("during convert", s < 0 ? -1 : 1);
    }
    t.set64(r);
}

// Quantise an exact value (format width ws <= 127, binary point fs) into t (width <= 127),
// in 64-bit arithmetic where the value and the shift allow it.
KNUM_HOT void convertExact(KNum& t, int32_t f, i128 s, int32_t ws, int32_t fs)
{
    const int64_t d = (int64_t)fs - f;
    if (t.width <= 64 && ws <= 63 && d >= -63 && d <= 63)
        convert64(t, f, (int64_t)s, ws, fs);
    else
        convertSmall(t, f, s, ws, fs);
}

// x * 2^n for the shadow doubles: the same as ldexp (both round once), without the call for
// the usual exponents.
inline double scale2(double x, int64_t n)
{
    if (n >= -1022 && n <= 1023) {
        const uint64_t bits = (uint64_t)(n + 1023) << 52;
        double p;
        __builtin_memcpy(&p, &bits, sizeof p);
        return x * p;
    }
    return __builtin_ldexp(x, n < -100000 ? -100000 : (n > 100000 ? 100000 : (int)n));
}

// Out-of-line paths for wider values (knum.cpp, kfix.cpp).
void convertGeneric(KNum& t, int32_t f, const KNum& s, int32_t fs);
// r = (a << -posA) +/- (b << -posB), operands sign-extended; r preformatted and wide enough.
void addInto(KNum& r, const KNum& a, long posA, const KNum& b, long posB, bool subtract);
// r = a * b exactly; r preformatted and wide enough.
void mulInto(KNum& r, const KNum& a, const KNum& b);
[[noreturn]] void throwBad();

// A width computed in 64 bits, passed on so that out-of-range values are refused.
inline int32_t widthArg(int64_t w)
{
    return w > KNum::MAX_WIDTH ? KNum::MAX_WIDTH + 1 : (int32_t)w;
}

// A binary point computed in 64 bits; refuses values beyond +-2^30.
inline int32_t binptArg(int64_t f)
{
    if (f < -(1 << 30) || f > (1 << 30))
        throwBad();
    return (int32_t)f;
}

} // namespace num_internal

#endif // KFFT_NUM_SMALL_H
