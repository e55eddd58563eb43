// Four-lane double vectors (GCC and Clang vector extensions) for the whole-frame loops: two
// SSE2 operations per step on a baseline x86-64, one in functions built for AVX2. Every
// operation is the IEEE operation of each lane, so the lanes give the bits of scalar code.
#ifndef KFFT_SIMD4_H
#define KFFT_SIMD4_H

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(__GNUC__)
// The vectors only pass between inlined functions, never across an ABI boundary.
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace kfft_simd {

typedef double V4 __attribute__((vector_size(32)));
typedef int64_t M4 __attribute__((vector_size(32))); // lane masks of comparisons

[[gnu::always_inline]] inline V4 load4(const double* p)
{
    V4 v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

[[gnu::always_inline]] inline void store4(double* p, const V4& v)
{
    __builtin_memcpy(p, &v, sizeof v);
}

[[gnu::always_inline]] inline V4 splat(double x) { return V4 { x, x, x, x }; }

[[gnu::always_inline]] inline V4 select(const M4& m, const V4& a, const V4& b)
{
    return (V4)((m & (M4)a) | (~m & (M4)b));
}

[[gnu::always_inline]] inline bool any(const M4& m) { return (m[0] | m[1] | m[2] | m[3]) != 0; }

// Two lanes: the native width of baseline x86-64 (SSE2), for loops built without AVX.
typedef double V2 __attribute__((vector_size(16)));
typedef int64_t M2 __attribute__((vector_size(16)));

[[gnu::always_inline]] inline V2 load2(const double* p)
{
    V2 v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

[[gnu::always_inline]] inline V2 splat2(double x) { return V2 { x, x }; }

[[gnu::always_inline]] inline V2 select(const M2& m, const V2& a, const V2& b)
{
    return (V2)((m & (M2)a) | (~m & (M2)b));
}

[[gnu::always_inline]] inline bool all(const M2& m) { return (m[0] & m[1]) != 0; }

// An all-lanes truth accumulated over a loop. GCC keeps vector-extension masks in general
// registers inside such loops, so SSE2 builds use the intrinsics.
#if defined(__SSE2__)
struct AllTrue {
    __m128d acc = _mm_castsi128_pd(_mm_set1_epi64x(-1));
    [[gnu::always_inline]] void add(const M2& m)
    {
        acc = _mm_and_pd(acc, _mm_castsi128_pd((__m128i)m));
    }
    bool get() const { return _mm_movemask_pd(acc) == 3; }
};
#else
struct AllTrue {
    M2 acc = ~M2 {};
    [[gnu::always_inline]] void add(const M2& m) { acc &= m; }
    bool get() const { return (acc[0] & acc[1]) != 0; }
};
#endif

// Lane-wise a > b ? a : b.
[[gnu::always_inline]] inline V2 max2(const V2& a, const V2& b)
{
#if defined(__SSE2__)
    return (V2)_mm_max_pd((__m128d)b, (__m128d)a); // b unless a > b
#else
    return select(a > b, a, b);
#endif
}

// 1.5 * 2^52: adding and removing it rounds |v| < 2^51 to an integer in the current rounding
// mode, and keeps integers unchanged in every mode.
constexpr double kMagic = 0x1.8p52;

[[gnu::always_inline]] inline V4 round_int(const V4& v)
{
    const V4 m = splat(kMagic);
    return (v + m) - m;
}

[[gnu::always_inline]] inline V2 round_int(const V2& v)
{
    const V2 m = splat2(kMagic);
    return (v + m) - m;
}

} // namespace kfft_simd

#endif // KFFT_SIMD4_H
