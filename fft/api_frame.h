// One simulate call through the model, from its checks to its output record.
#ifndef KFFT_API_FRAME_H
#define KFFT_API_FRAME_H

#include <cstdint>

#include "api_state.h"
#include "kfft_v8_0_bitacc_cmodel.h"

namespace kfft {

// simulate_frame's result when the engine refused a validated frame (outputs unspecified).
constexpr int kFrameRefused = -1;

// Checks the call against the state's generics, then conditions, loads, transforms, reads and
// finishes one frame into the outputs. Returns 0 on success, the check's error code (after its
// message) for a call that fails a check, or kFrameRefused. The state's engine and table are
// set.
int simulate_frame(kelvar_ip_kfft_v8_0_state& s, const kelvar_ip_kfft_v8_0_inputs& in,
    kelvar_ip_kfft_v8_0_outputs& out);

// Rounding to nearest for the lifetime of the object, the caller's rounding mode restored
// afterwards: the model's results, messages and return codes are those of rounding to nearest
// whatever mode its caller runs in. Only the calling thread's mode is touched.
class NearestRounding {
public:
    NearestRounding();
    ~NearestRounding();
    NearestRounding(const NearestRounding&) = delete;
    NearestRounding& operator=(const NearestRounding&) = delete;

private:
    int caller_mode_;
};

} // namespace kfft

#endif
