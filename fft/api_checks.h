// Validation of the generics (create_state) and of one simulate call against them.
#ifndef KFFT_API_CHECKS_H
#define KFFT_API_CHECKS_H

#include <cstdint>

#include "kfft_v8_0_bitacc_cmodel.h"
#include "path_plan.h"

namespace kfft {

// Checks the generics in the fixed order of the fourteen rules and writes the message of the
// first failure to the standard error stream. Returns 0 when all pass, else the rule number
// (1 to 14).
int check_generics(const kelvar_ip_kfft_v8_0_generics& g);

// Largest single-precision magnitude, as a double.
constexpr double kFloatMax = 3.4028234663852886e38;

// Validates one call against valid generics, from the transform length to the output sizes
// (return codes 6 to 23), writing the message of the first failure; writes the length
// substitution warning when C_HAS_NFFT = 0 and inputs.nfft differs from C_NFFT_MAX. Returns 0
// and sets nfft to the effective length on success. Reads no array element beyond the sizes
// it has already checked. loops: the level of whole-frame loops (kfft::PathPlan::loops), for
// the sample test.
int validate_call(const kelvar_ip_kfft_v8_0_generics& g, const kelvar_ip_kfft_v8_0_inputs& in,
    const kelvar_ip_kfft_v8_0_outputs& out, int32_t& nfft, Path loops);

// True when sample x is outside the accepted input range: [-1, 1) in fixed-point mode (NaN is
// outside too), beyond the single-precision range without being an infinity in floating-point
// mode (infinities and NaNs are handled when the frame is conditioned).
bool sample_out_of_range(double x, bool floating_point);

// True when no sample of x[0..n) is out of range (as sample_out_of_range): the whole-frame
// test, the same source built for the baseline processor, for AVX2 and for AVX-512F; loops
// (kfft::PathPlan::loops) takes that build, or the next narrower one the processor has.
bool samples_in_range(const double* x, int32_t n, bool floating_point, Path loops);

} // namespace kfft

#endif
