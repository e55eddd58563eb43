// The one description of the FFT generics and the policies derived from them (frame length,
// schedule length, default schedule, output word width). create_state's checks read it.
#ifndef KFFT_API_GENERICS_H
#define KFFT_API_GENERICS_H

#include <cstdint>
#include <string>

#include "kfft_v8_0_bitacc_cmodel.h"

namespace kfft {

constexpr int32_t kGenericCount = 9;

// Descriptions in record order.
extern const kelvar_ip_kfft_v8_0_generic_desc kGenerics[kGenericCount];

// Index of each generic in kGenerics (record order).
enum GenericIndex : int32_t {
    G_NFFT_MAX,
    G_ARCH,
    G_HAS_NFFT,
    G_USE_FLT_PT,
    G_INPUT_WIDTH,
    G_TWIDDLE_WIDTH,
    G_HAS_SCALING,
    G_HAS_BFP,
    G_HAS_ROUNDING
};

const kelvar_ip_kfft_v8_0_generic_desc* find_generic(const char* name);
int32_t& generic_field(kelvar_ip_kfft_v8_0_generics& g, const kelvar_ip_kfft_v8_0_generic_desc& d);
int32_t generic_value(
    const kelvar_ip_kfft_v8_0_generics& g, const kelvar_ip_kfft_v8_0_generic_desc& d);

kelvar_ip_kfft_v8_0_generics default_generics();

// First failed create_state check (1 to 14) with its message line, or 0 when all pass.
int first_generics_fault(const kelvar_ip_kfft_v8_0_generics& g, std::string* line);

// Sets one generic by name; on refusal returns false with the reason in why.
bool set_generic(kelvar_ip_kfft_v8_0_generics& g, const char* name, double value, std::string& why);

// log2 of the effective frame length for a call with inputs.nfft = nfft, or 0 when refused.
// Precondition: g passed first_generics_fault.
int32_t effective_nfft(const kelvar_ip_kfft_v8_0_generics& g, int32_t nfft);

// Smallest legal nfft of a run-time configurable length.
inline int32_t min_nfft(const kelvar_ip_kfft_v8_0_generics& g) { return g.C_ARCH == 1 ? 6 : 3; }

// The policies of the public header, 0 when refused.
int32_t frame_length(const kelvar_ip_kfft_v8_0_generics& g, int32_t nfft);
int32_t stage_count(const kelvar_ip_kfft_v8_0_generics& g, int32_t nfft);
int32_t default_schedule(
    const kelvar_ip_kfft_v8_0_generics& g, int32_t nfft, int32_t* sched, int32_t capacity);
int32_t output_width(const kelvar_ip_kfft_v8_0_generics& g, int32_t nfft);

// Copies text into a caller's message buffer (cut, NUL-terminated; nothing when len is 0).
void copy_message(const std::string& text, char* msg, size_t len) noexcept;

} // namespace kfft

#endif
