// Eight-lane double vectors (GCC and Clang vector extensions) for the loops built for
// AVX-512F: one 512-bit operation per step. Every operation is the IEEE operation of each lane,
// so the lanes give the bits of scalar code.
//
// The helpers are built for AVX-512F themselves, so that they inline only into functions built
// for it and an 8-lane vector never passes between functions built for different processors.
#ifndef KFFT_SIMD8_H
#define KFFT_SIMD8_H

#include <cstdint>

#include "path_plan.h"
#include "simd4.h"

#if defined(KFFT_X86_DISPATCH)

#include <immintrin.h>

// The attributes of a function built for AVX-512F (the 8-lane loops and their helpers).
#define KFFT_AVX512 gnu::target("avx512f")

namespace kfft_simd {

typedef double V8 __attribute__((vector_size(64)));
typedef int64_t M8 __attribute__((vector_size(64))); // lane masks of comparisons

// Every lane rounded to an integer, to nearest (ties to even) or towards minus infinity, in any
// rounding mode. Not always_inline: the generic helpers they pass through on their way into
// the 8-lane loops are built for the baseline processor, where a function built for AVX-512F
// cannot inline; the 8-lane loops are flattened, which inlines them there.
[[KFFT_AVX512]] inline void round_nearest(V8& out, const V8& v)
{
    const __m512d x = (__m512d)v;
    out = (V8)_mm512_mask_roundscale_pd(x, 0xff, x, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
}

[[KFFT_AVX512]] inline void round_floor(V8& out, const V8& v)
{
    const __m512d x = (__m512d)v;
    out = (V8)_mm512_mask_roundscale_pd(x, 0xff, x, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
}

} // namespace kfft_simd

#endif // KFFT_X86_DISPATCH

#endif // KFFT_SIMD8_H
