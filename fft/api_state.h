// The model instance behind kelvar_ip_kfft_v8_0_state, and the per-frame engine drive.
#ifndef KFFT_API_STATE_H
#define KFFT_API_STATE_H

#include <cstdint>
#include <memory>
#include <vector>

#include "engines.h"
#include "fft_config.h"
#include "kfft_v8_0_bitacc_cmodel.h"

struct kelvar_ip_kfft_v8_0_state {
    kelvar_ip_kfft_v8_0_generics generics {}; // as given, unchanged
    FFT_CONFIG config {}; // derived once; frame geometry rewritten per call
    std::unique_ptr<TWIDDLE_ROM> rom;
    // The engine of C_ARCH: radix-4 (1), radix-2 (2 and 4), pipelined (3).
    std::unique_ptr<FrameEngine> engine;
    std::vector<double> a, b; // rounded samples of one frame, 2^C_NFFT_MAX each
};

namespace kfft {

// Builds the twiddle table, the engine of C_ARCH and the frame buffers of a state whose
// generics and configuration are set. Throws on allocation failure.
void build_state(kelvar_ip_kfft_v8_0_state& s);

} // namespace kfft

#endif
