// Engine configuration of the FFT model: the widths and flags every datapath works with,
// derived once from the user's generics, plus the geometry of the current frame.
#ifndef KFFT_FFT_CONFIG_H
#define KFFT_FFT_CONFIG_H

#include <cstdint>

#include "kfft_v8_0_bitacc_cmodel.h"

struct FFT_CONFIG {
    // Derived once from the generics by derive_fft_config().
    int32_t input_width; // width of the samples entering the engine
    int32_t data_width; // width of the engine's data words
    int32_t C_TWIDDLE_WIDTH; // twiddle width, as given
    int32_t C_NFFT_MAX; // log2 of the largest transform, as given
    int32_t C_HAS_ROUNDING; // rounding flag (forced 0 in floating-point mode)
    int32_t C_HAS_SCALING; // scaling flag (forced in floating-point mode)
    int32_t C_HAS_BFP; // block floating point flag (forced in floating-point mode)
    int32_t C_ARCH; // architecture, as given
    int32_t C_USE_FLT_PT; // floating-point interface flag

    // Per-frame geometry, written by set_frame_geometry() before each transform.
    int32_t nfft_odd; // nfft & 1
    int32_t r4_addr_mask; // r4_points / 4 - 1
    int32_t npoints; // N = 2^nfft
    int32_t nfft; // log2 of this frame's length
    int32_t r4_points; // N for even nfft, N / 2 for odd nfft
    int32_t r4_stages; // nfft / 2, rounded down
};

// Derives the engine configuration from a set of generics that has passed validation.
// Fields are filled in this order: the copied generics, input_width, data_width, then (in
// floating-point mode only) the forced rounding, scaling and block floating point flags.
// The frame geometry is initialised for a full-length frame (nfft = C_NFFT_MAX) when
// C_NFFT_MAX lies in 3..16, and to zero otherwise.
FFT_CONFIG derive_fft_config(const kelvar_ip_kfft_v8_0_generics& generics);

// Writes the geometry of one frame of 2^nfft points into cfg. Refuses (returns false and
// leaves cfg unchanged) an nfft outside 3..16; the engines check it against their own
// limits as well.
bool set_frame_geometry(FFT_CONFIG& cfg, int32_t nfft);

#endif // KFFT_FFT_CONFIG_H
