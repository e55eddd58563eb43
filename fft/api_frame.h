// One validated frame through the model: conditioning, the engine, result scaling.
#ifndef KFFT_API_FRAME_H
#define KFFT_API_FRAME_H

#include <cstdint>

#include "api_state.h"
#include "kfft_v8_0_bitacc_cmodel.h"

namespace kfft {

// Conditions the samples of a validated call (fixed-point rounding, or the floating-point
// scan and exponent), transforms a frame of 2^nfft points with the state's engine and fills
// the outputs. Returns false when the engine refused the frame (outputs then unspecified).
bool simulate_frame(kelvar_ip_kfft_v8_0_state& s, const kelvar_ip_kfft_v8_0_inputs& in,
    kelvar_ip_kfft_v8_0_outputs& out, int32_t nfft);

} // namespace kfft

#endif
