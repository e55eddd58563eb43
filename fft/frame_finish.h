// Finishing, the last step of a frame (after the engine's bins were read): floating-point mode
// rounds every result to single-precision significance and restores the frame exponent and
// the single range (or invalidates every bin); then the output sizes and the mode-dependent
// block exponent and overflow flag are set. The per-value functions define the results; the
// whole-frame loop gives their bits a vector of values at a time.
#ifndef KFFT_FRAME_FINISH_H
#define KFFT_FRAME_FINISH_H

#include <cstdint>

#include "fft_config.h"
#include "kfft_v8_0_bitacc_cmodel.h"
#include "path_plan.h"

namespace kfft {

// The finishing step of a frame of n bins read into out.xk_re and out.xk_im (not read when
// invalid): exponent and invalid as conditioning found them, blk_exp and overflow the engine's
// results (0 for an invalid frame). loops: the level of whole-frame loops
// (kfft::PathPlan::loops).
void finish_frame(kelvar_ip_kfft_v8_0_outputs& out, int32_t n,
    const kelvar_ip_kfft_v8_0_generics& g, const FFT_CONFIG& cfg, int32_t exponent, bool invalid,
    int32_t blk_exp, int32_t overflow, Path loops);

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

// Every re[k] and im[k], k in [0, n), replaced by round_to_single_significance followed by
// restore_float_range with 2^t. Returns true when some value exceeded the single-precision
// range. Values must be finite. The same source is built for the baseline processor, for
// AVX2 and for AVX-512F; loops (kfft::PathPlan::loops) takes that build, or the next narrower
// one the processor has. All give the same bits. Rounding modes other than to nearest take
// the per-value route.
bool finish_float_frame(double* re, double* im, int32_t n, int32_t t, Path loops);

// Sizes and the mode-dependent zeroing of blk_exp and overflow, applied after a successful
// frame: the first rule that matches the mode applies.
void set_final_fields(kelvar_ip_kfft_v8_0_outputs& out, int32_t n, bool floating_point,
    int scaling_flag, int bfp_flag);

} // namespace kfft

#endif // KFFT_FRAME_FINISH_H
