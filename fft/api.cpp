// Exported functions of the FFT model. Every one is guarded: no exception reaches the caller.
#include <cmath>
#include <cstdio>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "api_checks.h"
#include "api_frame.h"
#include "api_generics.h"
#include "api_messages.h"
#include "api_state.h"
#include "kfft_v8_0_bitacc_cmodel.h"
#include "message_sink.h"

namespace {

using State = kelvar_ip_kfft_v8_0_state;
using kfft::emit_line;

// Last-resort error line inside a guard. Cannot throw: when the line cannot be built (no
// memory), it goes to the standard error stream without allocating.
void report(const char* text, const char* detail = nullptr) noexcept
{
    try {
        std::string line(text);
        if (detail != nullptr)
            line += detail;
        kfft::deliver_line(line.data(), line.size(), true);
        return;
    } catch (...) {
    }
    std::fputs(text, stderr);
    if (detail != nullptr)
        std::fputs(detail, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

int corrupted_code(int32_t arch)
{
    return arch == 1 ? KELVAR_IP_KFFT_V8_0_CORRUPT_STATE_R4
        : arch == 3  ? KELVAR_IP_KFFT_V8_0_CORRUPT_STATE_PIPELINED
                     : KELVAR_IP_KFFT_V8_0_CORRUPT_STATE_R2;
}

} // namespace

extern "C" {

KFFT_API kelvar_ip_kfft_v8_0_generics kelvar_ip_kfft_v8_0_get_default_generics(void)
{
    return kfft::default_generics();
}

KFFT_API kelvar_ip_kfft_v8_0_state* kelvar_ip_kfft_v8_0_create_state(
    kelvar_ip_kfft_v8_0_generics generics)
{
    try {
        const kfft::NearestRounding nearest; // the twiddle table's cosines and sines
        if (kfft::check_generics(generics) != 0)
            return nullptr;
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

KFFT_API void kelvar_ip_kfft_v8_0_destroy_state(kelvar_ip_kfft_v8_0_state* state)
{
    if (state == nullptr)
        return;
    try {
        state->rom.reset();
        state->engine.reset();
        delete state;
    } catch (...) {
        report("ERROR:kfft_v8_0:destroy_state failed");
    }
}

KFFT_API int kelvar_ip_kfft_v8_0_bitacc_simulate(kelvar_ip_kfft_v8_0_state* state,
    const kelvar_ip_kfft_v8_0_inputs* inputs, kelvar_ip_kfft_v8_0_outputs* outputs)
{
    try {
        const kfft::NearestRounding nearest;
        if (state == nullptr) {
            emit_line("ERROR:kfft_v8_0:simulate called with null state structure");
            return KELVAR_IP_KFFT_V8_0_NULL_STATE;
        }
        if (outputs == nullptr) {
            emit_line("ERROR:kfft_v8_0:simulate called with null output structure");
            return KELVAR_IP_KFFT_V8_0_NULL_OUTPUTS;
        }
        if (state->engine == nullptr || state->rom == nullptr) {
            emit_line("ERROR:kfft_v8_0:simulate called with corrupted state structure");
            return corrupted_code(state->generics.C_ARCH);
        }
        if (inputs == nullptr) {
            emit_line("ERROR:kfft_v8_0:simulate called with null input structure");
            return KELVAR_IP_KFFT_V8_0_NULL_INPUTS;
        }
        const int rc = kfft::simulate_frame(*state, *inputs, *outputs);
        if (rc != kfft::kFrameRefused)
            return rc;
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

// ---------------------------------------------------------------- description and policies
// None of these allocates except for a refusal's message, whose failure is reported as a
// refusal without text.

KFFT_API int32_t kelvar_ip_kfft_v8_0_generic_count(void) { return kfft::kGenericCount; }

KFFT_API const kelvar_ip_kfft_v8_0_generic_desc* kelvar_ip_kfft_v8_0_generic_at(int32_t i)
{
    return i >= 0 && i < kfft::kGenericCount ? &kfft::kGenerics[i] : nullptr;
}

KFFT_API const kelvar_ip_kfft_v8_0_generic_desc* kelvar_ip_kfft_v8_0_generic_find(const char* name)
{
    return kfft::find_generic(name);
}

KFFT_API int32_t kelvar_ip_kfft_v8_0_generics_set(
    kelvar_ip_kfft_v8_0_generics* g, const char* name, double value, char* msg, size_t msg_len)
{
    kfft::copy_message(std::string(), msg, msg_len);
    try {
        std::string why;
        if (g == nullptr || name == nullptr)
            why = "null generics record or generic name";
        else if (kfft::set_generic(*g, name, value, why))
            return 0;
        kfft::copy_message(why, msg, msg_len);
    } catch (...) {
    }
    return 1;
}

KFFT_API int32_t kelvar_ip_kfft_v8_0_generics_check(
    kelvar_ip_kfft_v8_0_generics g, char* msg, size_t msg_len)
{
    kfft::copy_message(std::string(), msg, msg_len);
    try {
        std::string line;
        const int32_t rule = kfft::first_generics_fault(g, &line);
        kfft::copy_message(line, msg, msg_len);
        return rule;
    } catch (...) {
        // Only building the text can fail; the verdict does not allocate.
        return kfft::first_generics_fault(g, nullptr);
    }
}

KFFT_API int32_t kelvar_ip_kfft_v8_0_frame_length(kelvar_ip_kfft_v8_0_generics g, int32_t nfft)
{
    return kfft::frame_length(g, nfft);
}

KFFT_API int32_t kelvar_ip_kfft_v8_0_stage_count(kelvar_ip_kfft_v8_0_generics g, int32_t nfft)
{
    return kfft::stage_count(g, nfft);
}

KFFT_API int32_t kelvar_ip_kfft_v8_0_default_schedule(
    kelvar_ip_kfft_v8_0_generics g, int32_t nfft, int32_t* sched, int32_t capacity)
{
    return kfft::default_schedule(g, nfft, sched, capacity);
}

KFFT_API int32_t kelvar_ip_kfft_v8_0_output_width(kelvar_ip_kfft_v8_0_generics g, int32_t nfft)
{
    return kfft::output_width(g, nfft);
}

} // extern "C"
