// One simulate call through the model. A frame's route runs one way, each step in one place:
//
//   1. check      api_checks.cpp       validate_call: length, sizes, samples, schedule, direction
//   2. condition  frame_condition.cpp  condition_frame: fixed-point grid test and rounding, or the
//                                      floating-point scan, frame exponent and conditioning
//   3. load       engine_base.cpp      FFT::load_frame: samples into the engine's memory order
//   4. run        engine_r4.cpp, engine_r2.cpp, engine_r22.cpp: FrameEngine::run
//   5. read       engine_base.cpp      FFT::read_frame: bins in natural order, prescaling undone
//   6. finish     frame_finish.cpp     finish_frame: floating-point significance, exponent and
//                                      range, the mode's block exponent and overflow, the sizes
//
// The pointer checks before step 1 and the exception guard sit with the exported functions
// (api.cpp), which also hold the caller's rounding mode at bay (NearestRounding).
#include "api_frame.h"

#include <cfenv>

#include "api_checks.h"
#include "frame_condition.h"
#include "frame_finish.h"

namespace kfft {

int simulate_frame(kelvar_ip_kfft_v8_0_state& s, const kelvar_ip_kfft_v8_0_inputs& in,
    kelvar_ip_kfft_v8_0_outputs& out)
{
    const kelvar_ip_kfft_v8_0_generics& g = s.generics;
    FFT_CONFIG& cfg = s.config;
    FrameEngine& e = *s.engine;

    const Path loops = e.plan().loops;

    // 1. Check.
    int32_t nfft = 0;
    const int rc = validate_call(g, in, out, nfft, loops);
    if (rc != KELVAR_IP_KFFT_V8_0_OK)
        return rc;
    const int32_t n = int32_t { 1 } << nfft;

    // 2. Condition.
    const ConditionedFrame c
        = condition_frame(g, cfg, in.xn_re, in.xn_im, n, s.a.data(), s.b.data(), loops);

    int32_t blk_exp = 0, overflow = 0;
    if (!c.invalid) {
        // 3. Load: the geometry, then the samples.
        if (!set_frame_geometry(cfg, nfft) || !e.set_frame(cfg) || !e.load_frame(c.re, c.im))
            return kFrameRefused;

        // 4. Run.
        if (cfg.C_HAS_SCALING == 1 && cfg.C_HAS_BFP == 0)
            e.set_scaling_schedule(FFT::pack_schedule(in.scaling_sch, in.scaling_sch_size));
        e.set_direction(in.direction);
        if (!e.run(*s.rom))
            return kFrameRefused;

        // 5. Read, undoing the unscaled datapaths' input prescaling.
        const bool prescaled = g.C_USE_FLT_PT != 1
            && (cfg.C_HAS_SCALING == 0 || (g.C_ARCH == 3 && cfg.C_HAS_BFP == 1));
        if (!e.read_frame(out.xk_re, out.xk_im, prescaled ? g.C_NFFT_MAX + 1 : 0))
            return kFrameRefused;
        blk_exp = e.block_exponent();
        overflow = e.overflow();
    }

    // 6. Finish.
    finish_frame(out, n, g, cfg, c.exponent, c.invalid, blk_exp, overflow, loops);
    return KELVAR_IP_KFFT_V8_0_OK;
}

NearestRounding::NearestRounding()
    : caller_mode_(std::fegetround())
{
    if (caller_mode_ != FE_TONEAREST)
        std::fesetround(FE_TONEAREST);
}

NearestRounding::~NearestRounding()
{
    if (caller_mode_ != FE_TONEAREST)
        std::fesetround(caller_mode_);
}

} // namespace kfft
