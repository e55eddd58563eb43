#include "fft_config.h"

FFT_CONFIG derive_fft_config(const kelvar_ip_kfft_v8_0_generics& g)
{
    FFT_CONFIG cfg {};
    cfg.C_TWIDDLE_WIDTH = g.C_TWIDDLE_WIDTH;
    cfg.C_NFFT_MAX = g.C_NFFT_MAX;
    cfg.C_HAS_ROUNDING = g.C_HAS_ROUNDING;
    cfg.C_HAS_SCALING = g.C_HAS_SCALING;
    cfg.C_HAS_BFP = g.C_HAS_BFP;
    cfg.C_ARCH = g.C_ARCH;
    cfg.C_USE_FLT_PT = g.C_USE_FLT_PT;

    const bool flt = g.C_USE_FLT_PT == 1;
    const bool pipelined = g.C_ARCH == 3;

    // Floating-point mode quantises the normalised samples to the widest input each
    // architecture's datapath can take.
    if (flt)
        cfg.input_width = g.C_ARCH == 1 ? 29 : (pipelined ? 27 : 28);
    else
        cfg.input_width = g.C_INPUT_WIDTH;

    // Unscaled data words carry the full growth of the largest transform.
    if (flt)
        cfg.data_width = pipelined ? 27 + g.C_NFFT_MAX + 1 : cfg.input_width;
    else
        cfg.data_width = g.C_INPUT_WIDTH + (g.C_NFFT_MAX + 1) * (1 - g.C_HAS_SCALING);

    // Floating-point mode runs the pipelined engine unscaled and the burst engines in
    // block floating point, always truncating.
    if (flt) {
        cfg.C_HAS_ROUNDING = 0;
        cfg.C_HAS_SCALING = pipelined ? 0 : 1;
        cfg.C_HAS_BFP = pipelined ? 0 : 1;
    }

    if (!set_frame_geometry(cfg, g.C_NFFT_MAX)) {
        cfg.nfft_odd = cfg.r4_addr_mask = cfg.npoints = cfg.nfft = 0;
        cfg.r4_points = cfg.r4_stages = 0;
    }
    return cfg;
}

bool set_frame_geometry(FFT_CONFIG& cfg, int32_t nfft)
{
    if (nfft < 3 || nfft > 16)
        return false;
    const int32_t n = int32_t(1) << nfft;
    cfg.nfft = nfft;
    cfg.npoints = n;
    cfg.nfft_odd = nfft & 1;
    cfg.r4_points = (nfft & 1) ? n / 2 : n;
    cfg.r4_addr_mask = cfg.r4_points / 4 - 1;
    cfg.r4_stages = nfft / 2;
    return true;
}
