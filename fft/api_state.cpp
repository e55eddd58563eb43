#include "api_state.h"

namespace kfft {
namespace {

template <class Engine>
Engine* slot(kelvar_ip_kfft_v8_0_state& s);
template <>
R4_loop* slot<R4_loop>(kelvar_ip_kfft_v8_0_state& s) { return s.r4.get(); }
template <>
R2_loop* slot<R2_loop>(kelvar_ip_kfft_v8_0_state& s) { return s.r2.get(); }
template <>
R22_pipeline* slot<R22_pipeline>(kelvar_ip_kfft_v8_0_state& s) { return s.r22.get(); }

// The frame drive, instantiated once per engine type so that the per-sample calls are direct.
template <class Engine>
bool run_engine(kelvar_ip_kfft_v8_0_state& s, FrameJob& job) {
    Engine& e = *slot<Engine>(s);
    if (!e.set_frame(s.config)) return false;
    if (!e.load_frame(job.re, job.im)) return false;
    if (job.has_schedule) e.set_scaling_schedule(job.schedule);
    e.set_direction(job.direction);
    if (!e.run(*s.rom)) return false;
    if (!e.read_frame(job.xk_re, job.xk_im)) return false;
    job.blk_exp = e.block_exponent();
    job.overflow = e.overflow();
    return true;
}

}  // namespace

void build_state(kelvar_ip_kfft_v8_0_state& s) {
    const FFT_CONFIG& cfg = s.config;
    s.rom = std::make_unique<TWIDDLE_ROM>(cfg.C_NFFT_MAX, cfg.C_TWIDDLE_WIDTH);
    switch (s.generics.C_ARCH) {
        case 1:
            s.r4 = std::make_unique<R4_loop>(cfg);
            s.run_frame = &run_engine<R4_loop>;
            break;
        case 3:
            s.r22 = std::make_unique<R22_pipeline>(cfg);
            s.run_frame = &run_engine<R22_pipeline>;
            break;
        default:  // 2 and 4: the lite core computes the same results
            s.r2 = std::make_unique<R2_loop>(cfg);
            s.run_frame = &run_engine<R2_loop>;
            break;
    }
    const size_t n = size_t{1} << cfg.C_NFFT_MAX;
    s.a.assign(n, 0.0);
    s.b.assign(n, 0.0);
}

bool engine_present(const kelvar_ip_kfft_v8_0_state& s) {
    switch (s.generics.C_ARCH) {
        case 1: return s.r4 != nullptr;
        case 3: return s.r22 != nullptr;
        default: return s.r2 != nullptr;
    }
}

}  // namespace kfft
