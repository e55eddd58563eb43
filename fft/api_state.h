// The model instance behind kelvar_ip_kfft_v8_0_state, and the per-frame engine drive.
#ifndef KFFT_API_STATE_H
#define KFFT_API_STATE_H

#include <cstdint>
#include <memory>
#include <vector>

#include "engines.h"
#include "fft_config.h"
#include "kfft_v8_0_bitacc_cmodel.h"

namespace kfft {

// What one frame hands to the engine and gets back from it.
struct FrameJob {
    int32_t nfft = 0;
    const double* re = nullptr;  // 2^nfft conditioned samples
    const double* im = nullptr;
    bool has_schedule = false;   // scaled mode without block floating point
    uint32_t schedule = 0;       // packed: scaling_sch[i] in bits 2i and 2i + 1
    int32_t direction = 1;
    double* xk_re = nullptr;     // receive bin k in the engine's data units
    double* xk_im = nullptr;
    int32_t blk_exp = 0;
    int32_t overflow = 0;
};

// Loads the conditioned samples of the job into the state's engine, runs it and reads the bins back.
// Returns false when the engine refused the frame.
using FrameRunner = bool (*)(kelvar_ip_kfft_v8_0_state& s, FrameJob& job);

}  // namespace kfft

struct kelvar_ip_kfft_v8_0_state {
    kelvar_ip_kfft_v8_0_generics generics{};  // as given, unchanged
    FFT_CONFIG config{};                      // derived once; frame geometry rewritten per call
    std::unique_ptr<TWIDDLE_ROM> rom;
    // Exactly the slot of C_ARCH is set: radix-4 (1), radix-2 (2 and 4), pipelined (3).
    std::unique_ptr<R4_loop> r4;
    std::unique_ptr<R2_loop> r2;
    std::unique_ptr<R22_pipeline> r22;
    kfft::FrameRunner run_frame = nullptr;  // the drive of that engine, chosen at creation
    std::vector<double> a, b;               // rounded samples of one frame, 2^C_NFFT_MAX each
};

namespace kfft {

// Builds the twiddle table, the engine of C_ARCH and the frame buffers of a state whose
// generics and configuration are set. Throws on allocation failure.
void build_state(kelvar_ip_kfft_v8_0_state& s);

// True when the engine slot of the state's C_ARCH is set.
bool engine_present(const kelvar_ip_kfft_v8_0_state& s);

}  // namespace kfft

#endif
