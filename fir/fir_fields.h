// The one description of the FIR configuration record: every field's kind, range, default and
// help. Validation, the defaults and every front end read it.
#ifndef KIP_FIR_FIR_FIELDS_H
#define KIP_FIR_FIR_FIELDS_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "tapforge_v6_3_bitacc_cmodel.h"

namespace kip_fir {

// Index of each field, in record order.
enum FieldIndex : int32_t {
    F_NAME,
    F_FILTER_TYPE,
    F_RATE_CHANGE,
    F_INTERP_RATE,
    F_DECIM_RATE,
    F_ZERO_PACK_FACTOR,
    F_COEFF,
    F_COEFF_PADDING,
    F_NUM_COEFFS,
    F_COEFF_SETS,
    F_RELOADABLE,
    F_IS_HALFBAND,
    F_QUANTIZATION,
    F_COEFF_WIDTH,
    F_COEFF_FRACT_WIDTH,
    F_CHAN_SEQ,
    F_NUM_CHANNELS,
    F_INIT_PATTERN,
    F_NUM_PATHS,
    F_DATA_WIDTH,
    F_DATA_FRACT_WIDTH,
    F_OUTPUT_ROUNDING,
    F_OUTPUT_WIDTH,
    F_OUTPUT_FRACT_WIDTH,
    F_CONFIG_METHOD,
    F_COUNT
};

struct FieldRow {
    const char* name;
    std::size_t offset;
    int32_t kind;
    int32_t computed;
    int32_t lo, hi, def;
    const char* default_text;
    const char* help;
    const char* rule;
};

// Limits the rows are built from.
constexpr int32_t kFieldMaxSetTaps = int32_t(1) << 22; // one padded coefficient set
constexpr int32_t kFieldMaxTableTaps = int32_t(1) << 25; // all sets and kernels together
constexpr int32_t kFieldMaxFract = 1023; // |coeff_fract_width|, output_fract_width: 2^f finite
constexpr int32_t kFieldMaxWidth = 49; // data and coefficient widths
// Widest accumulator: data width plus the logarithm of a finite coefficient sum (below 2^1024).
constexpr int32_t kFieldMaxAccWidth = kFieldMaxWidth + 1024;

#define KIP_FIR_FIELD(m) #m, offsetof(kip_fir_v6_3_config, m)

// Ranges, defaults and help of every field.
constexpr FieldRow kFieldRows[F_COUNT] = {
    { KIP_FIR_FIELD(name), KIP_FIR_V6_3_FIELD_STRING, 0, 0, 0, 0, "tapforge_v6_3",
        "instance name; every message of the model begins with it", "must not be null" },
    { KIP_FIR_FIELD(filter_type), KIP_FIR_V6_3_FIELD_CHOICE, 0, 0, 4, 0, "0",
        "filter type: 0 single rate, 1 interpolating, 2 decimating, 3 Hilbert transformer, 4 "
        "zero-packed",
        "decides which of interp_rate, decim_rate and zero_pack_factor are used" },
    { KIP_FIR_FIELD(rate_change), KIP_FIR_V6_3_FIELD_CHOICE, 0, 0, 1, 0, "0",
        "rate change: 0 integer, 1 fractional (interp_rate / decim_rate)",
        "meant for filter types 1 and 2; 1 needs interp_rate and decim_rate without a common "
        "factor" },
    { KIP_FIR_FIELD(interp_rate), KIP_FIR_V6_3_FIELD_INT, 0, 0, 1024, 1, "1", "interpolation rate",
        "used by filter_type 1 and with rate_change 1, ignored otherwise (but still enters the "
        "accumulator width); 0 is refused where used" },
    { KIP_FIR_FIELD(decim_rate), KIP_FIR_V6_3_FIELD_INT, 0, 0, 1024, 1, "1", "decimation rate",
        "used by filter_type 2 and with rate_change 1, ignored otherwise; 0 is refused where "
        "used" },
    { KIP_FIR_FIELD(zero_pack_factor), KIP_FIR_V6_3_FIELD_INT, 0, 0, 8, 1, "1",
        "zero packing factor: zeros spread between the coefficients",
        "used by filter_type 4 only (0 refused there), ignored otherwise" },
    { KIP_FIR_FIELD(coeff), KIP_FIR_V6_3_FIELD_REAL_ARRAY, 0, 0, 0, 0,
        "21 integer taps 6, 0, -4, -3, 5, 6, -6, -13, 7, 44, 64, 44, 7, -13, -6, 6, 5, -3, -4, 0, "
        "6",
        "coefficients, num_coeffs per set, set after set; finite values, rounded to the nearest "
        "code of the coefficient format (halves towards zero)",
        "exactly num_coeffs x coeff_sets values" },
    { KIP_FIR_FIELD(coeff_padding), KIP_FIR_V6_3_FIELD_INT, 0, 0, kFieldMaxSetTaps - 1, 0, "0",
        "zero coefficients placed in front of each set",
        "coeff_padding + num_coeffs (times zero_pack_factor for filter_type 4) at most 4194304 "
        "taps" },
    { KIP_FIR_FIELD(num_coeffs), KIP_FIR_V6_3_FIELD_INT, 0, 1, kFieldMaxSetTaps, 21, "21",
        "coefficients per set",
        "(coeff_sets + num_paths x num_channels) padded sets at most 33554432 taps" },
    { KIP_FIR_FIELD(coeff_sets), KIP_FIR_V6_3_FIELD_INT, 0, 1, kFieldMaxTableTaps - 1, 1, "1",
        "number of coefficient sets", "see num_coeffs" },
    { KIP_FIR_FIELD(reloadable), KIP_FIR_V6_3_FIELD_FLAG, 0, 0, 1, 0, "0",
        "1: coefficients can be reloaded at run time",
        "1 sizes the accumulator for any coefficients of coeff_width bits" },
    { KIP_FIR_FIELD(is_halfband), KIP_FIR_V6_3_FIELD_FLAG, 0, 0, 1, 0, "0",
        "1: half-band coefficient structure", "has an effect with reloadable 1 only" },
    { KIP_FIR_FIELD(quantization), KIP_FIR_V6_3_FIELD_CHOICE, 0, 0, 2, 0, "0",
        "coefficient quantisation: 0 integer coefficients, 1 quantise only, 2 maximise dynamic "
        "range (scale the largest coefficient to full scale)",
        "0 and 1 behave alike" },
    { KIP_FIR_FIELD(coeff_width), KIP_FIR_V6_3_FIELD_INT, 0, 1, kFieldMaxWidth, 16, "16",
        "coefficient width in bits", "" },
    { KIP_FIR_FIELD(coeff_fract_width), KIP_FIR_V6_3_FIELD_INT, 0, -kFieldMaxFract, kFieldMaxFract,
        0, "0", "fractional bits of the coefficients", "" },
    { KIP_FIR_FIELD(chan_seq), KIP_FIR_V6_3_FIELD_CHOICE, 0, 0, 1, 0, "0",
        "channel sequence: 0 basic, 1 advanced (channel patterns)",
        "1 needs num_channels 4, 6, 8, 12, 16, 24, 32, 48 or 64" },
    { KIP_FIR_FIELD(num_channels), KIP_FIR_V6_3_FIELD_INT, 0, 1, 64, 1, "1",
        "number of time-multiplexed channels",
        "with chan_seq 1 only 4, 6, 8, 12, 16, 24, 32, 48 or 64" },
    { KIP_FIR_FIELD(init_pattern), KIP_FIR_V6_3_FIELD_INT, 0, INT32_MIN, INT32_MAX,
        KIP_FIR_V6_3_PATTERN_NONE, "175",
        "channel pattern after create and reset: 0 to 173 a pattern, 175 none",
        "used with chan_seq 1 only; any other number (one not allowed for num_channels) is "
        "replaced by the first pattern allowed, with a warning, never refused" },
    { KIP_FIR_FIELD(num_paths), KIP_FIR_V6_3_FIELD_INT, 0, 1, 16, 1, "1",
        "number of parallel data paths", "" },
    { KIP_FIR_FIELD(data_width), KIP_FIR_V6_3_FIELD_INT, 0, 1, kFieldMaxWidth, 16, "16",
        "input sample width in bits (two's complement)", "at least data_fract_width" },
    { KIP_FIR_FIELD(data_fract_width), KIP_FIR_V6_3_FIELD_INT, 0, 0, kFieldMaxWidth, 0, "0",
        "fractional bits of the input samples", "at most data_width" },
    { KIP_FIR_FIELD(output_rounding), KIP_FIR_V6_3_FIELD_CHOICE, 0, 0, 7, 0, "0",
        "output rounding: 0 full precision, to output_width bits by 1 truncation, 2 nearest ties "
        "to zero, 3 nearest ties away from zero, 4 ties to even, 5 ties to odd, 6 ties down, 7 "
        "ties up",
        "" },
    { KIP_FIR_FIELD(output_width), KIP_FIR_V6_3_FIELD_INT, 0, 1, kFieldMaxAccWidth, 24, "24",
        "output width in bits",
        "used with output_rounding 1 to 7 only, then at most the accumulator width; with "
        "output_rounding 0 the model replaces it by the accumulator width" },
    { KIP_FIR_FIELD(output_fract_width), KIP_FIR_V6_3_FIELD_INT, 1, 0, kFieldMaxFract, 0, "0",
        "fractional bits of the output samples, computed by the model",
        "any given value is ignored; read it back with kip_fir_v6_3_get_config" },
    { KIP_FIR_FIELD(config_method), KIP_FIR_V6_3_FIELD_CHOICE, 0, 0, 1, 0, "0",
        "coefficient-set selection of configuration packets: 0 one selector for all channels, "
        "1 one selector per channel",
        "" },
};

#undef KIP_FIR_FIELD

constexpr int32_t field_min(FieldIndex f) { return kFieldRows[f].lo; }
constexpr int32_t field_max(FieldIndex f) { return kFieldRows[f].hi; }

// Public descriptions, in record order.
extern const kip_fir_v6_3_field_desc kFieldDescs[F_COUNT];

const kip_fir_v6_3_field_desc* find_field(const char* name);

// Writes the defaults of every field (name and coeff: the library's constants).
void default_config(kip_fir_v6_3_config& c, const char* name, const double* coeff);

// set_field / get_field / config_check / input_check of the public header; a false result
// carries its reason in why.
bool set_field(kip_fir_v6_3_config& c, const char* name, double value, std::string& why);
bool get_field(const kip_fir_v6_3_config& c, const char* name, int32_t& value, std::string& why);
int32_t config_notes(const kip_fir_v6_3_config& c, std::string& notes);
bool input_check(const kip_fir_v6_3_config& c, const double* data, std::size_t count,
    kip_fir_v6_3_input_report& report, std::string& text);

// Copies text into a caller's message buffer (cut, NUL-terminated; nothing when len is 0).
void copy_message(const std::string& text, char* msg, std::size_t len) noexcept;

} // namespace kip_fir

#endif
