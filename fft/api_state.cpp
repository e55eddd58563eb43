#include "api_state.h"

namespace kfft {

void build_state(kelvar_ip_kfft_v8_0_state& s)
{
    const FFT_CONFIG& cfg = s.config;
    s.rom = std::make_unique<TWIDDLE_ROM>(cfg.C_NFFT_MAX, cfg.C_TWIDDLE_WIDTH);
    switch (s.generics.C_ARCH) {
    case 1:
        s.engine = std::make_unique<R4_loop>(cfg);
        break;
    case 3:
        s.engine = std::make_unique<R22_pipeline>(cfg);
        break;
    default: // 2 and 4: the lite core computes the same results
        s.engine = std::make_unique<R2_loop>(cfg);
        break;
    }
    const size_t n = size_t { 1 } << cfg.C_NFFT_MAX;
    s.a.assign(n, 0.0);
    s.b.assign(n, 0.0);
}

} // namespace kfft
