// Raw-integer arithmetic on signed fixed-point registers.
//
// The engines keep every register as the two's complement integer of its KFix format
// (value = raw * 2^-fraction). All engine formats are signed, at most 62 bits wide
// (products at most 88 bits), and use WRAP overflow, so a register is modelled exactly by
// an int64_t (or __int128 for wide products) sign-extended from its width. The helpers
// below reproduce the KFix assignment rules the engines rely on: alignment by shifting,
// TRUNCATE (floor), CONVERGENT_NOSAT (ties to even, never rounding up from the largest
// positive code) and wrapping to the target width.
#ifndef KFFT_FIXED_RAW_H
#define KFFT_FIXED_RAW_H

#include <cstdint>

namespace kfft_raw {

using i128 = __int128;
using u128 = unsigned __int128;

// Keeps the low w bits of v (1 <= w <= 64) and sign-extends them.
inline int64_t wrap(int64_t v, int w)
{
    const int sh = 64 - w;
    return static_cast<int64_t>(static_cast<uint64_t>(v) << sh) >> sh;
}

// Keeps the low w bits of v (1 <= w <= 128) and sign-extends them.
inline i128 wrap(i128 v, int w)
{
    const int sh = 128 - w;
    return static_cast<i128>(static_cast<u128>(v) << sh) >> sh;
}

// v * 2^n for 0 <= n < 64, modulo 2^64 (defined for negative v, unlike <<).
inline int64_t shl(int64_t v, int n) { return static_cast<int64_t>(static_cast<uint64_t>(v) << n); }

// Assigns raw value v into a signed register of width w that has d fewer fraction bits
// (d >= 0), TRUNCATE and WRAP: floor, then the low w bits.
inline int64_t quant_trunc(int64_t v, int d, int w) { return wrap(v >> d, w); }

// The same with CONVERGENT_NOSAT. Valid when the target has no more integer bits than the
// source, which holds for every use in the engines: a kept value equal to the largest
// positive code is never rounded up; other ties go to the even neighbour.
inline int64_t quant_conv_nosat(int64_t v, int d, int w)
{
    if (d == 0)
        return wrap(v, w);
    const int64_t kept = wrap(v >> d, w);
    const int64_t largest = static_cast<int64_t>((uint64_t(1) << (w - 1)) - 1);
    if (kept == largest)
        return kept;
    const uint64_t dropped = static_cast<uint64_t>(v) & ((uint64_t(1) << d) - 1);
    const uint64_t half = uint64_t(1) << (d - 1);
    if (dropped > half || (dropped == half && (kept & 1)))
        return kept + 1; // cannot wrap: kept is below the largest code
    return kept;
}

// The same with the mode fixed at compile time.
template <bool Round> inline int64_t quant(int64_t v, int d, int w)
{
    return Round ? quant_conv_nosat(v, d, w) : quant_trunc(v, d, w);
}

// Quantises the n values v (f fraction bits, |v| < 2^62) to d fewer fraction bits in
// w-bit registers (w - 1 >= f - d: the register holds [-1, 1)) and returns 1 when any value
// lies outside [-1, 1) at f fraction bits. Values inside need no wrapping, so the common
// case skips it.
template <bool Round, int N>
inline int32_t quant_unit_range(const int64_t (&v)[N], int f, int d, int w, int64_t (&out)[N])
{
    const uint64_t one = uint64_t(1) << f;
    bool outside = false;
    for (int i = 0; i < N; ++i)
        outside |= static_cast<uint64_t>(v[i]) + one >= 2 * one;
    if (outside) {
        for (int i = 0; i < N; ++i)
            out[i] = quant<Round>(v[i], d, w);
        return 1;
    }
    if (!Round || d == 0) {
        for (int i = 0; i < N; ++i)
            out[i] = v[i] >> d;
        return 0;
    }
    const int64_t largest = static_cast<int64_t>((uint64_t(1) << (w - 1)) - 1);
    const uint64_t mask = (uint64_t(1) << d) - 1, half = uint64_t(1) << (d - 1);
    for (int i = 0; i < N; ++i) {
        const int64_t kept = v[i] >> d;
        const uint64_t dropped = static_cast<uint64_t>(v[i]) & mask;
        const bool up = kept != largest && (dropped > half || (dropped == half && (kept & 1)));
        out[i] = kept + up;
    }
    return 0;
}

// 1 when raw value v with f fraction bits lies outside [-1, 1), else 0 (|v| < 2^62).
inline int32_t outside_unit(int64_t v, int f)
{
    const uint64_t one = uint64_t(1) << f;
    return static_cast<uint64_t>(v) + one >= 2 * one;
}

// v with its low n bits in reverse order (1 <= n <= 32); digits = 2 reverses base-4
// digits (n even) instead of bits.
inline uint32_t reverse_low_bits(uint32_t v, int n, int digit_bits = 1)
{
    if (digit_bits == 1)
        v = ((v >> 1) & 0x55555555u) | ((v & 0x55555555u) << 1);
    v = ((v >> 2) & 0x33333333u) | ((v & 0x33333333u) << 2);
    v = ((v >> 4) & 0x0F0F0F0Fu) | ((v & 0x0F0F0F0Fu) << 4);
    v = ((v >> 8) & 0x00FF00FFu) | ((v & 0x00FF00FFu) << 8);
    v = (v >> 16) | (v << 16);
    return v >> (32 - n);
}

// A complex register.
struct CRaw {
    int64_t re;
    int64_t im;
};

} // namespace kfft_raw

#endif // KFFT_FIXED_RAW_H
