// Exported functions of the FFT model. Every one is guarded: no exception reaches the caller.
#include <cmath>
#include <cstdio>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "api_checks.h"
#include "api_condition.h"
#include "api_messages.h"
#include "api_state.h"
#include "message_sink.h"
#include "kfft_v8_0_bitacc_cmodel.h"

namespace {

using State = kelvar_ip_kfft_v8_0_state;
using kfft::emit_line;

// Last-resort error line inside a guard. Cannot throw: when the line cannot be built (no
// memory), it goes to the standard error stream without allocating.
void report(const char* text, const char* detail = nullptr) noexcept {
    try {
        std::string line(text);
        if (detail != nullptr) line += detail;
        kfft::deliver_line(line.data(), line.size(), true);
        return;
    } catch (...) {
    }
    std::fputs(text, stderr);
    if (detail != nullptr) std::fputs(detail, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

int corrupted_code(int32_t arch) {
    return arch == 1   ? KELVAR_IP_KFFT_V8_0_CORRUPT_STATE_R4
           : arch == 3 ? KELVAR_IP_KFFT_V8_0_CORRUPT_STATE_PIPELINED
                       : KELVAR_IP_KFFT_V8_0_CORRUPT_STATE_R2;
}

// Conditions, transforms and scales one validated frame of 2^nfft points into the outputs.
// Returns false when the engine refused the frame.
bool simulate_frame(State& s, const kelvar_ip_kfft_v8_0_inputs& in,
                    kelvar_ip_kfft_v8_0_outputs& out, int32_t nfft) {
    const kelvar_ip_kfft_v8_0_generics& g = s.generics;
    FFT_CONFIG& cfg = s.config;
    const int32_t n = int32_t{1} << nfft;
    const bool flt = g.C_USE_FLT_PT == 1;

    kfft::FloatFrame frame;
    const double* a = s.a.data();
    const double* b = s.b.data();
    if (flt) {
        frame = kfft::scan_float_frame(in.xn_re, in.xn_im, n);
        if (frame.invalid) {
            // Nothing meaningful can come out of the engine: every bin is invalidated.
            const double nan = std::numeric_limits<double>::quiet_NaN();
            for (int32_t k = 0; k < n; ++k) out.xk_re[k] = out.xk_im[k] = nan;
            out.blk_exp = 0;
            out.overflow = 0;
            kfft::set_final_fields(out, n, true, cfg.C_HAS_SCALING, cfg.C_HAS_BFP);
            return true;
        }
        for (int32_t i = 0; i < n; ++i) {
            s.a[i] = kfft::condition_float_sample(in.xn_re[i], frame.exponent, cfg.input_width);
            s.b[i] = kfft::condition_float_sample(in.xn_im[i], frame.exponent, cfg.input_width);
        }
    } else {
        if (!kfft::condition_fixed(in.xn_re, in.xn_im, n, g.C_INPUT_WIDTH, cfg.input_width,
                                   s.a.data(), s.b.data())) {
            a = in.xn_re;  // already on the input grid
            b = in.xn_im;
        }
    }

    if (!set_frame_geometry(cfg, nfft)) return false;
    kfft::FrameJob job;
    job.nfft = nfft;
    job.re = a;
    job.im = b;
    job.has_schedule = cfg.C_HAS_SCALING == 1 && cfg.C_HAS_BFP == 0;
    if (job.has_schedule) job.schedule = FFT::pack_schedule(in.scaling_sch, in.scaling_sch_size);
    job.direction = in.direction;
    job.xk_re = out.xk_re;
    job.xk_im = out.xk_im;
    if (!s.run_frame(s, job)) return false;

    int32_t overflow = job.overflow;
    const bool pipelined = g.C_ARCH == 3;
    if (!flt) {
        // Undo the input prescaling of the unscaled datapaths.
        if (cfg.C_HAS_SCALING == 0 || (pipelined && cfg.C_HAS_BFP == 1)) {
            for (int32_t k = 0; k < n; ++k) {
                out.xk_re[k] = kfft::scale_pow2(out.xk_re[k], g.C_NFFT_MAX + 1);
                out.xk_im[k] = kfft::scale_pow2(out.xk_im[k], g.C_NFFT_MAX + 1);
            }
        }
    } else {
        const int32_t t =
            pipelined ? g.C_NFFT_MAX + frame.exponent + 1 : frame.exponent + job.blk_exp;
        for (int32_t k = 0; k < n; ++k) {
            double re = kfft::round_to_single_significance(out.xk_re[k]);
            double im = kfft::round_to_single_significance(out.xk_im[k]);
            if (kfft::restore_float_range(re, t)) overflow = 1;
            if (kfft::restore_float_range(im, t)) overflow = 1;
            out.xk_re[k] = re;
            out.xk_im[k] = im;
        }
    }
    out.blk_exp = job.blk_exp;
    out.overflow = overflow;
    kfft::set_final_fields(out, n, flt, cfg.C_HAS_SCALING, cfg.C_HAS_BFP);
    return true;
}

}  // namespace

extern "C" {

KFFT_API kelvar_ip_kfft_v8_0_generics kelvar_ip_kfft_v8_0_get_default_generics(void) {
    kelvar_ip_kfft_v8_0_generics g;
    g.C_NFFT_MAX = 10;
    g.C_ARCH = 1;
    g.C_HAS_NFFT = 0;
    g.C_USE_FLT_PT = 0;
    g.C_INPUT_WIDTH = 16;
    g.C_TWIDDLE_WIDTH = 16;
    g.C_HAS_SCALING = 1;
    g.C_HAS_BFP = 0;
    g.C_HAS_ROUNDING = 0;
    return g;
}

KFFT_API kelvar_ip_kfft_v8_0_state* kelvar_ip_kfft_v8_0_create_state(
    kelvar_ip_kfft_v8_0_generics generics) {
    try {
        if (kfft::check_generics(generics) != 0) return nullptr;
        auto s = std::make_unique<State>();
        s->generics = generics;
        s->config = derive_fft_config(generics);
        kfft::build_state(*s);
        return s.release();
    } catch (const std::bad_alloc&) {
        report("ERROR:kfft_v8_0:create_state could not allocate memory for the model state");
    } catch (const std::exception& e) {
        report("ERROR:kfft_v8_0:create_state failed: ", e.what());
    } catch (...) {
        report("ERROR:kfft_v8_0:create_state failed");
    }
    return nullptr;
}

KFFT_API void kelvar_ip_kfft_v8_0_destroy_state(kelvar_ip_kfft_v8_0_state* state) {
    if (state == nullptr) return;
    try {
        state->rom.reset();
        state->r4.reset();
        state->r2.reset();
        state->r22.reset();
        delete state;
    } catch (...) {
        report("ERROR:kfft_v8_0:destroy_state failed");
    }
}

KFFT_API int kelvar_ip_kfft_v8_0_bitacc_simulate(kelvar_ip_kfft_v8_0_state* state,
                                                 const kelvar_ip_kfft_v8_0_inputs* inputs,
                                                 kelvar_ip_kfft_v8_0_outputs* outputs) {
    try {
        if (state == nullptr) {
            emit_line("ERROR:kfft_v8_0:simulate called with null state structure");
            return KELVAR_IP_KFFT_V8_0_NULL_STATE;
        }
        if (outputs == nullptr) {
            emit_line("ERROR:kfft_v8_0:simulate called with null output structure");
            return KELVAR_IP_KFFT_V8_0_NULL_OUTPUTS;
        }
        if (!kfft::engine_present(*state) || state->rom == nullptr) {
            emit_line("ERROR:kfft_v8_0:simulate called with corrupted state structure");
            return corrupted_code(state->generics.C_ARCH);
        }
        if (inputs == nullptr) {
            emit_line("ERROR:kfft_v8_0:simulate called with null input structure");
            return KELVAR_IP_KFFT_V8_0_NULL_INPUTS;
        }
        int32_t nfft = 0;
        const int rc = kfft::validate_call(state->generics, *inputs, *outputs, nfft);
        if (rc != KELVAR_IP_KFFT_V8_0_OK) return rc;
        if (simulate_frame(*state, *inputs, *outputs, nfft)) return KELVAR_IP_KFFT_V8_0_OK;
        report("ERROR:kfft_v8_0:simulate failed: the engine refused the frame");
        return corrupted_code(state->generics.C_ARCH);
    } catch (const std::exception& e) {
        report("ERROR:kfft_v8_0:simulate failed: ", e.what());
    } catch (...) {
        report("ERROR:kfft_v8_0:simulate failed");
    }
    return state != nullptr ? corrupted_code(state->generics.C_ARCH)
                            : KELVAR_IP_KFFT_V8_0_NULL_STATE;
}

}  // extern "C"
