// Four-lane double vectors (GCC and Clang vector extensions) for the whole-frame loops: two
// SSE2 operations per step on a baseline x86-64, one in functions built for AVX2. Every
// operation is the IEEE operation of each lane, so the lanes give the bits of scalar code.
#ifndef KFFT_SIMD4_H
#define KFFT_SIMD4_H

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kfft_simd {

typedef double V4 __attribute__((vector_size(32)));
typedef int64_t M4 __attribute__((vector_size(32))); // lane masks of comparisons

// The helpers returning a vector are templates, built only where they are used: a 4-lane
// vector returned by a function built for the baseline processor is passed in memory, by one
// built for AVX in a register, which GCC and Clang report (-Wpsabi) where such a function is
// built or called. The files whose baseline loops use them say so (fft/CMakeLists.txt).
template <class V = V4> [[gnu::always_inline]] inline V splat(double x) { return V {} + x; }

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
// mode, and keeps integers unchanged in every mode. To nearest, a zero result is +0 (a rounding
// instruction would keep the sign of -0.3), as the integer datapath gives it.
constexpr double kMagic = 0x1.8p52;

template <class V> [[gnu::always_inline]] inline V round_int(const V& v)
{
    return (v + kMagic) - kMagic;
}

} // namespace kfft_simd

#endif // KFFT_SIMD4_H
