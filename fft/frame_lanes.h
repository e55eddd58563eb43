// Vectors of doubles for the whole-frame loops of the frame route (the call's sample test,
// conditioning, finishing). Each loop is one template over the lane count, built for the
// baseline processor and in functions with a target attribute: every helper here is always
// inlined into the function that uses it, so no vector passes between functions built for
// different processors. (GCC and Clang still note that such vectors pass differently without
// AVX: the files of the loops turn that note off for themselves, fft/CMakeLists.txt.)
#ifndef KFFT_FRAME_LANES_H
#define KFFT_FRAME_LANES_H

#include <cstdint>

#include "path_plan.h"

// GCC builds the vector operations of a function template for the target in force where it is
// instantiated, before inlining it: an 8-lane loop instantiated implicitly, for the baseline
// processor, has its 512-bit comparisons taken apart lane by lane. The 8-lane instantiations
// are therefore made explicitly between these two, for AVX-512F. (Clang builds them for the
// function they are inlined into.)
#if defined(__GNUC__) && !defined(__clang__)
#define KFFT_AVX512_BEGIN _Pragma("GCC push_options") _Pragma("GCC target(\"avx512f\")")
#define KFFT_AVX512_END _Pragma("GCC pop_options")
#else
#define KFFT_AVX512_BEGIN
#define KFFT_AVX512_END
#endif

namespace kfft_lanes {

// The lanes of the loops a level of whole-frame loops runs (kfft::PathPlan::loops), for the
// level the processor has (kfft::vector_level): 8 for FloatAvx512, 4 for FloatAvx2, else 2.
inline int lane_count(kfft::Path loops)
{
    const kfft::Path level = kfft::vector_level(loops);
    return level == kfft::Path::FloatAvx512 ? 8 : level == kfft::Path::FloatAvx2 ? 4 : 2;
}

// Vectors of L lanes: 8 in AVX-512F builds, 4 in AVX2 builds, 2 (the SSE2 width, which GCC
// compiles without taking comparisons apart) in the baseline build.
template <int L> struct Lanes;
template <> struct Lanes<8> {
    typedef double D __attribute__((vector_size(64)));
    typedef int64_t M __attribute__((vector_size(64)));
    typedef uint64_t U __attribute__((vector_size(64)));
    typedef float F __attribute__((vector_size(32)));
};
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

} // namespace kfft_lanes

#endif // KFFT_FRAME_LANES_H
