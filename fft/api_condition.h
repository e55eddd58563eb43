// Conditioning of one frame's samples before the engine, and of its results after it.
// Fixed-point mode rounds the inputs to the input width; floating-point mode flushes
// single-precision denormals, detects infinities and NaNs, removes a frame exponent on the way in
// and restores it, with single-precision significance and range, on the way out.
#ifndef KFFT_API_CONDITION_H
#define KFFT_API_CONDITION_H

#include <cstdint>

#include "float_frame.h"
#include "kfft_v8_0_bitacc_cmodel.h"

namespace kfft {

// v rounded to the nearest integer, ties to even, independent of the floating-point rounding
// mode. v must be finite.
double round_half_even(double v);

// x rounded to a signed fraction of w bits (multiples of 2^-(w-1)), ties to even. With guard the
// result is kept within [-1, 1 - 2^-(w-1)] by rounding towards zero instead where rounding to
// nearest would leave that range.
double quantise_input(double x, int w, bool guard);

// True when every sample of re[0..n) and im[0..n) (tested re[i], then im[i]) is a multiple of
// 2^-(w-1).
bool on_input_grid(const double* re, const double* im, int32_t n, int w);

// Fixed-point conditioning: when some sample is not on the C_INPUT_WIDTH grid, writes the
// rounding warning once, rounds every sample to width w with the guard into a and b, and
// returns true; otherwise returns false and the samples enter unchanged (a and b unused).
bool condition_fixed(const double* re, const double* im, int32_t n, int input_width_generic, int w,
    double* a, double* b);

struct FloatFrame {
    int32_t exponent = 0; // E: floor(log2 of the largest magnitude) + 1, 0 for a zero frame
    bool invalid = false; // some sample is an infinity or a NaN in single precision
};

// Floating-point scan: sets samples that are denormal in single precision to 0.0 in the
// caller's arrays, writes one warning per flushed or non-finite sample, and returns the frame
// exponent (left 0 when the frame is invalid) and the invalid flag. vector_loops: the AVX2
// build of the whole-frame test that lets frames with nothing to flush or invalidate skip the
// per-sample scan, where the processor has it.
FloatFrame scan_float_frame(double* re, double* im, int32_t n, bool vector_loops);

// One floating-point sample as it enters the engine: single precision, frame exponent removed
// in single precision, then rounded (without guard) to a signed fraction of w bits.
double condition_float_sample(double x, int32_t exponent, int w);

// y rounded to 24 significant bits, ties to even; zero stays zero. y must be finite. The
// exponent is e = floor(log10(|y|) / log10(2.0)) as computed by the platform math library,
// which is not always the binary exponent next to a power of two.
double round_to_single_significance(double y);
// The same result, with the binary exponent read from the bits of y where the formula
// agrees with it (|y| not within 2^-39 relative of a power of two, nor extreme) and from
// the formula otherwise.
double round_to_single_significance_fast(double y);

// Multiplies by 2^p (p of either sign) in steps of at most 2^62, so that every factor is
// exact (dividing for negative p), with the factors formed once.
class Pow2Scaler {
public:
    explicit Pow2Scaler(int32_t p);
    double apply(double v) const
    {
        for (int i = 0; i < count_; ++i)
            v = divide_ ? v / factors_[i] : v * factors_[i];
        return v;
    }

private:
    double factors_[40]; // |p| <= 2,400
    int count_ = 0;
    bool divide_ = false;
};

// Applies 2^t (as the scaler) to a result value and replaces a magnitude beyond the
// single-precision range by its single-precision conversion (an infinity, or the largest value when
// within half a unit in the last place). Returns true when the range was exceeded.
bool restore_float_range(double& v, const Pow2Scaler& t);

// Sizes and the mode-dependent zeroing of blk_exp and overflow, applied after a successful
// frame: the first rule that matches the mode applies.
void set_final_fields(kelvar_ip_kfft_v8_0_outputs& out, int32_t n, bool floating_point,
    int scaling_flag, int bfp_flag);

} // namespace kfft

#endif
