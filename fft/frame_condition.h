// Conditioning, the second step of a frame (after the call's checks, before the engine loads
// it): fixed-point mode rounds samples off the C_INPUT_WIDTH grid to the input width;
// floating-point mode flushes single-precision denormals, detects infinities and NaNs, and
// removes a frame exponent from every sample. The per-sample functions define the results;
// the whole-frame loops give their bits a vector of samples at a time.
#ifndef KFFT_FRAME_CONDITION_H
#define KFFT_FRAME_CONDITION_H

#include <cstdint>

#include "fft_config.h"
#include "kfft_v8_0_bitacc_cmodel.h"
#include "path_plan.h"

namespace kfft {

// The samples a frame loads, as conditioning leaves them.
struct ConditionedFrame {
    const double* re = nullptr; // the caller's samples, or the conditioned copies
    const double* im = nullptr;
    int32_t exponent = 0; // floating-point mode: E, floor(log2 of the largest magnitude) + 1
    bool invalid = false; // floating-point mode: a sample is an infinity or a NaN (nothing to load)
};

// The conditioning step of a validated frame of n samples: writes the mode's warnings, flushes
// the caller's single-precision denormals (floating-point mode) and, where samples change,
// writes them into a and b (n each). loops: the level of whole-frame loops
// (kfft::PathPlan::loops).
ConditionedFrame condition_frame(const kelvar_ip_kfft_v8_0_generics& g, const FFT_CONFIG& cfg,
    double* re, double* im, int32_t n, double* a, double* b, Path loops);

// ---- fixed-point mode

// v rounded to the nearest integer, ties to even, independent of the floating-point rounding
// mode. v must be finite.
double round_half_even(double v);

// x rounded to a signed fraction of w bits (multiples of 2^-(w-1)), ties to even. With guard the
// result is kept within [-1, 1 - 2^-(w-1)] by rounding towards zero instead where rounding to
// nearest would leave that range.
double quantise_input(double x, int w, bool guard);

// True when every sample of re[0..n) and im[0..n) (tested re[i], then im[i]) is a multiple of
// 2^-(w-1). loops: as for grid_clean.
bool on_input_grid(const double* re, const double* im, int32_t n, int w, Path loops);

// Fixed-point conditioning: when some sample is not on the C_INPUT_WIDTH grid, writes the
// rounding warning once, rounds every sample to width w with the guard into a and b, and
// returns true; otherwise returns false and the samples enter unchanged (a and b unused).
bool condition_fixed(const double* re, const double* im, int32_t n, int input_width_generic, int w,
    double* a, double* b, Path loops);

// ---- floating-point mode

struct FloatFrame {
    int32_t exponent = 0; // E: floor(log2 of the largest magnitude) + 1, 0 for a zero frame
    bool invalid = false; // some sample is an infinity or a NaN in single precision
};

// Floating-point scan: sets samples that are denormal in single precision to 0.0 in the
// caller's arrays, writes one warning per flushed or non-finite sample, and returns the frame
// exponent (left 0 when the frame is invalid) and the invalid flag. loops: the level of the
// whole-frame test that lets frames with nothing to flush or invalidate skip the per-sample
// scan.
FloatFrame scan_float_frame(double* re, double* im, int32_t n, Path loops);

// One floating-point sample as it enters the engine: single precision, frame exponent removed
// in single precision, then rounded (without guard) to a signed fraction of w bits.
double condition_float_sample(double x, int32_t exponent, int w);

// Whole-frame loops of the conditioning. Each is the same source built for the baseline
// processor, for AVX2 and for AVX-512F; loops (kfft::PathPlan::loops: Float, FloatAvx2 or
// FloatAvx512) takes that build, or the next narrower one the processor has. All give the
// same bits. Rounding modes other than to nearest take the per-sample routes where the
// vector arithmetic would differ.

// True when every re[i] * s and im[i] * s, i in [0, n), is an integer below 2^51 in magnitude
// (s a power of two); false when one is not, and may be false when n is not a multiple of 8.
bool grid_clean(const double* re, const double* im, int32_t n, double s, Path loops);

// When every sample of re[0..n) and im[0..n) is, in single precision, zero or a finite normal
// value, sets max_mag to the largest single-precision magnitude (0.0 for a zero frame) and
// returns true. Otherwise returns false (the frame needs the per-sample scan) and leaves
// max_mag unspecified.
bool scan_float_clean(const double* re, const double* im, int32_t n, double& max_mag, Path loops);

// condition_float_sample(x[i], exponent, w) into out[i] for i in [0, n), except that a zero result
// may lose its sign (the engine stores either zero as the word 0). x holds no single-precision
// denormal, infinity or NaN.
void condition_float_frame(
    const double* x, int32_t n, int32_t exponent, int w, double* out, Path loops);

} // namespace kfft

#endif // KFFT_FRAME_CONDITION_H
