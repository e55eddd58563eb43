// One validated frame through the model: conditioning, the engine, result scaling.
#include "api_frame.h"

#include <limits>

#include "api_condition.h"
#include "float_frame.h"

namespace kfft {

bool simulate_frame(kelvar_ip_kfft_v8_0_state& s, const kelvar_ip_kfft_v8_0_inputs& in,
    kelvar_ip_kfft_v8_0_outputs& out, int32_t nfft)
{
    const kelvar_ip_kfft_v8_0_generics& g = s.generics;
    FFT_CONFIG& cfg = s.config;
    const int32_t n = int32_t { 1 } << nfft;
    const bool flt = g.C_USE_FLT_PT == 1;

    FrameEngine& e = *s.engine;
    FloatFrame frame;
    const bool loops = e.plan().loops != Path::Float;
    const double* a = s.a.data();
    const double* b = s.b.data();
    if (flt) {
        frame = scan_float_frame(in.xn_re, in.xn_im, n, loops);
        if (frame.invalid) {
            // Nothing meaningful can come out of the engine: every bin is invalidated.
            const double nan = std::numeric_limits<double>::quiet_NaN();
            for (int32_t k = 0; k < n; ++k)
                out.xk_re[k] = out.xk_im[k] = nan;
            out.blk_exp = 0;
            out.overflow = 0;
            set_final_fields(out, n, true, cfg.C_HAS_SCALING, cfg.C_HAS_BFP);
            return true;
        }
        condition_float_frame(in.xn_re, n, frame.exponent, cfg.input_width, s.a.data(), loops);
        condition_float_frame(in.xn_im, n, frame.exponent, cfg.input_width, s.b.data(), loops);
    }

    // The engine: geometry, samples, controls, transform, bins in the engine's units.
    if (!set_frame_geometry(cfg, nfft))
        return false;
    if (!e.set_frame(cfg))
        return false;
    if (flt) {
        if (!e.load_frame(a, b))
            return false;
    } else if (!e.load_frame_if_plain(in.xn_re, in.xn_im)) {
        // Validated samples load plainly exactly when they lie on the C_INPUT_WIDTH grid
        // (input_width in fixed-point mode); otherwise they are rounded, with the warning.
        const bool rounded = condition_fixed(
            in.xn_re, in.xn_im, n, g.C_INPUT_WIDTH, cfg.input_width, s.a.data(), s.b.data());
        if (!e.load_frame(rounded ? a : in.xn_re, rounded ? b : in.xn_im))
            return false;
    }
    if (cfg.C_HAS_SCALING == 1 && cfg.C_HAS_BFP == 0)
        e.set_scaling_schedule(FFT::pack_schedule(in.scaling_sch, in.scaling_sch_size));
    e.set_direction(in.direction);
    const bool pipelined = g.C_ARCH == 3;
    // The unscaled datapaths' input prescaling is undone as the bins are read.
    const bool prescaled = !flt && (cfg.C_HAS_SCALING == 0 || (pipelined && cfg.C_HAS_BFP == 1));
    if (!e.run(*s.rom) || !e.read_frame(out.xk_re, out.xk_im, prescaled ? g.C_NFFT_MAX + 1 : 0))
        return false;
    const int32_t blk_exp = e.block_exponent();

    int32_t overflow = e.overflow();
    if (flt) {
        const int32_t t = pipelined ? g.C_NFFT_MAX + frame.exponent + 1 : frame.exponent + blk_exp;
        if (finish_float_frame(out.xk_re, out.xk_im, n, t, loops))
            overflow = 1;
    }
    out.blk_exp = blk_exp;
    out.overflow = overflow;
    set_final_fields(out, n, flt, cfg.C_HAS_SCALING, cfg.C_HAS_BFP);
    return true;
}

} // namespace kfft
