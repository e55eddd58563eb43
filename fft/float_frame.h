// Whole-frame loops of the floating-point mode, a vector of samples at a time: the input scan,
// the conditioning into the engine's units and the rounding and range restore of the results.
// Each gives, for every frame, the bits of the per-sample functions of api_condition.h; where
// a sample needs the exact per-sample route (a denormal, a non-finite value, a result next to
// a power of two or beyond the single range) the loop says so or takes that route for its
// group. Rounding modes other than to nearest take the per-sample routes where the vector
// arithmetic would differ.
#ifndef KFFT_FLOAT_FRAME_H
#define KFFT_FLOAT_FRAME_H

#include <cstdint>

namespace kfft {

// Each loop is the same source built for the baseline processor and for AVX2; vector_loops
// (kfft::PathPlan::vector_loops) takes the AVX2 build where the processor has it. Both give the
// same bits.

// When every sample of re[0..n) and im[0..n) is, in single precision, zero or a finite normal
// value, sets max_mag to the largest single-precision magnitude (0.0 for a zero frame) and
// returns true. Otherwise returns false (the frame needs the per-sample scan) and leaves
// max_mag unspecified. n is a multiple of 4.
bool scan_float_clean(
    const double* re, const double* im, int32_t n, double& max_mag, bool vector_loops);

// condition_float_sample(x[i], exponent, w) into out[i] for i in [0, n), n a multiple of 4,
// except that a zero result may lose its sign (the engine stores either zero as the word 0).
// x holds no single-precision denormal, infinity or NaN.
void condition_float_frame(
    const double* x, int32_t n, int32_t exponent, int w, double* out, bool vector_loops);

// Every re[k] and im[k], k in [0, n) with n a multiple of 4, replaced by
// round_to_single_significance followed by restore_float_range with 2^t. Returns true when
// some value exceeded the single-precision range. Values must be finite.
bool finish_float_frame(double* re, double* im, int32_t n, int32_t t, bool vector_loops);

} // namespace kfft

#endif // KFFT_FLOAT_FRAME_H
