// kip_fir::kFieldDescs -- the public description of the configuration record, and the
// field access, configuration notes and input check built on it.
#include "fir_fields.h"

#include <cmath>
#include <cstring>
#include <sstream>
#include <utility>

namespace kip_fir {

namespace {

    constexpr kip_fir_v6_3_field_desc describe(const FieldRow& r)
    {
        return { r.name, r.help, r.rule, r.default_text, static_cast<int32_t>(r.offset), r.kind,
            r.computed, r.lo, r.hi, r.def };
    }

    template <std::size_t... I> constexpr auto make_descs(std::index_sequence<I...>)
    {
        struct Table {
            kip_fir_v6_3_field_desc d[F_COUNT];
        };
        return Table { { describe(kFieldRows[I])... } };
    }

    constexpr auto kTable = make_descs(std::make_index_sequence<F_COUNT>());

    bool is_integer_kind(int32_t kind)
    {
        return kind == KIP_FIR_V6_3_FIELD_INT || kind == KIP_FIR_V6_3_FIELD_FLAG
            || kind == KIP_FIR_V6_3_FIELD_CHOICE;
    }

    int32_t read_int(const kip_fir_v6_3_config& c, int32_t offset)
    {
        int32_t v;
        std::memcpy(&v, reinterpret_cast<const char*>(&c) + offset, sizeof v);
        return v;
    }

    void write_int(kip_fir_v6_3_config& c, int32_t offset, int32_t v)
    {
        std::memcpy(reinterpret_cast<char*>(&c) + offset, &v, sizeof v);
    }

    std::ostringstream classic_stream()
    {
        std::ostringstream os;
        os.imbue(std::locale::classic());
        return os;
    }

    // A caller's value as text: whole numbers in full, others with six significant digits.
    std::string value_text(double v)
    {
        std::ostringstream os = classic_stream();
        if (std::isfinite(v) && std::trunc(v) == v && std::fabs(v) < 1e18)
            os << static_cast<long long>(v);
        else
            os << v;
        return os.str();
    }

    const char* const kFilterNames[]
        = { "single rate", "interpolating", "decimating", "Hilbert", "zero-packed" };

    std::string filter_name(int32_t t)
    {
        std::ostringstream os = classic_stream();
        os << "filter_type " << t;
        if (t >= 0 && t <= 4)
            os << " (" << kFilterNames[t] << ")";
        return os.str();
    }

} // namespace

const kip_fir_v6_3_field_desc kFieldDescs[F_COUNT] = {
#define D(i) kTable.d[i]
    D(0), D(1), D(2), D(3), D(4), D(5), D(6), D(7), D(8), D(9), D(10), D(11), D(12), D(13), D(14),
    D(15), D(16), D(17), D(18), D(19), D(20), D(21), D(22), D(23), D(24)
#undef D
};
static_assert(F_COUNT == 25, "one description per field of kip_fir_v6_3_config");

const kip_fir_v6_3_field_desc* find_field(const char* name)
{
    if (name == nullptr)
        return nullptr;
    for (const auto& d : kFieldDescs)
        if (std::strcmp(d.name, name) == 0)
            return &d;
    return nullptr;
}

void default_config(kip_fir_v6_3_config& c, const char* name, const double* coeff)
{
    std::memset(&c, 0, sizeof c); // the gap before coeff reads as zero too
    for (const auto& d : kFieldDescs)
        if (is_integer_kind(d.kind))
            write_int(c, d.offset, d.default_value);
    c.name = name;
    c.coeff = coeff;
}

bool set_field(kip_fir_v6_3_config& c, const char* name, double value, std::string& why)
{
    const kip_fir_v6_3_field_desc* d = find_field(name);
    std::ostringstream os = classic_stream();
    if (d == nullptr) {
        os << "Unknown FIR configuration field '" << (name ? name : "") << "'";
    } else if (!is_integer_kind(d->kind)) {
        os << "Field " << d->name << " is not an integer and cannot be set by name";
    } else if (d->computed) {
        os << "Field " << d->name << " is computed by the model and cannot be set";
    } else if (!(std::isfinite(value) && std::trunc(value) == value)) {
        os << "Invalid value " << value_text(value) << " for " << d->name << ": must be an integer";
    } else if (value < d->min_value || value > d->max_value) {
        os << "Invalid value " << value_text(value) << " for " << d->name
           << ": must be in the range " << d->min_value << " to " << d->max_value;
    } else {
        write_int(c, d->offset, static_cast<int32_t>(value));
        return true;
    }
    why = os.str();
    return false;
}

bool get_field(const kip_fir_v6_3_config& c, const char* name, int32_t& value, std::string& why)
{
    const kip_fir_v6_3_field_desc* d = find_field(name);
    if (d == nullptr) {
        why = std::string("Unknown FIR configuration field '") + (name ? name : "") + "'";
        return false;
    }
    if (!is_integer_kind(d->kind)) {
        why = std::string("Field ") + d->name + " is not an integer and cannot be read by name";
        return false;
    }
    value = read_int(c, d->offset);
    return true;
}

int32_t config_notes(const kip_fir_v6_3_config& c, std::string& notes)
{
    int32_t count = 0;
    auto note = [&](const std::string& text) {
        if (count++ > 0)
            notes += '\n';
        notes += text;
    };
    auto num = [](int32_t v) { return std::to_string(v); };
    const auto def = [](FieldIndex f) { return kFieldRows[f].def; };
    const bool ft_known = c.filter_type >= 0 && c.filter_type <= 4;
    const bool kernel_l = c.rate_change == 1 || c.filter_type == 1;
    const bool kernel_m = c.rate_change == 1 || c.filter_type == 2;

    if (ft_known && c.rate_change == 1 && c.filter_type != 1 && c.filter_type != 2)
        note("rate_change 1 with " + filter_name(c.filter_type)
            + ": the filter still resamples by interp_rate / decim_rate, but get_config reports "
              "rates of 1; use filter_type 1 or 2");
    if (ft_known && !kernel_l && c.interp_rate != def(F_INTERP_RATE))
        note("interp_rate " + num(c.interp_rate) + " is ignored by " + filter_name(c.filter_type)
            + " with rate_change " + num(c.rate_change)
            + ", but still narrows the accumulator width; set it to 1");
    if (ft_known && !kernel_m && c.decim_rate != def(F_DECIM_RATE))
        note("decim_rate " + num(c.decim_rate) + " is ignored by " + filter_name(c.filter_type)
            + " with rate_change " + num(c.rate_change));
    if (ft_known && c.filter_type != 4 && c.zero_pack_factor != def(F_ZERO_PACK_FACTOR))
        note("zero_pack_factor " + num(c.zero_pack_factor) + " is ignored by "
            + filter_name(c.filter_type) + " (used by filter_type 4 only)");
    if (c.is_halfband == 1 && c.reloadable != 1)
        note("is_halfband 1 has no effect unless reloadable is 1");
    if (c.chan_seq == 0 && c.init_pattern != def(F_INIT_PATTERN))
        note("init_pattern " + num(c.init_pattern) + " is ignored with chan_seq 0");
    if (c.output_rounding == 0 && c.output_width != def(F_OUTPUT_WIDTH))
        note("output_width " + num(c.output_width)
            + " is ignored with output_rounding 0 (full precision): the output width is the "
              "accumulator width");
    if (c.output_fract_width != def(F_OUTPUT_FRACT_WIDTH))
        note("output_fract_width " + num(c.output_fract_width)
            + " is ignored: the model computes it");
    return count;
}

bool input_check(const kip_fir_v6_3_config& c, const double* data, std::size_t count,
    kip_fir_v6_3_input_report& report, std::string& text)
{
    report.out_of_format = 0;
    report.first_out_of_format = -1;
    report.off_grid = 0;
    report.first_off_grid = -1;
    const int32_t w = c.data_width, f = c.data_fract_width;
    if (w < field_min(F_DATA_WIDTH) || w > field_max(F_DATA_WIDTH)
        || f < field_min(F_DATA_FRACT_WIDTH) || f > w) {
        std::ostringstream os = classic_stream();
        os << "Invalid data format: data_width " << w << ", data_fract_width " << f
           << " (data_width 1 to " << field_max(F_DATA_WIDTH)
           << ", data_fract_width 0 to data_width)";
        text = os.str();
        return false;
    }
    if (data == nullptr && count > 0) {
        text = "Null input data";
        return false;
    }
    // The model's input format: scale by 2^f, round down, wrap to w bits (RND_DOWN, OVF_WRAP).
    const double scale = std::ldexp(1.0, f);
    const double lo = -std::ldexp(1.0, w - 1), hi = std::ldexp(1.0, w - 1) - 1;
    for (std::size_t i = 0; i < count; ++i) {
        const double v = data[i] * scale;
        if (!std::isfinite(v))
            continue; // no code: the model refuses the frame
        const double code = std::floor(v);
        if (code != v && report.off_grid++ == 0)
            report.first_off_grid = static_cast<int64_t>(i);
        if ((code < lo || code > hi) && report.out_of_format++ == 0)
            report.first_out_of_format = static_cast<int64_t>(i);
    }
    text.clear();
    std::ostringstream os = classic_stream();
    if (report.out_of_format) {
        os << report.out_of_format << " input sample" << (report.out_of_format > 1 ? "s" : "")
           << " outside the data format (" << w << " bits, " << f
           << " fractional: " << std::ldexp(lo, -f) << " to " << std::ldexp(hi, -f) << ") "
           << (report.out_of_format > 1 ? "were" : "was") << " wrapped, the first at index "
           << report.first_out_of_format;
    }
    if (report.off_grid) {
        if (report.out_of_format)
            os << "; ";
        os << report.off_grid << " input sample" << (report.off_grid > 1 ? "s" : "")
           << " off the data grid (";
        if (f == 0)
            os << "whole numbers";
        else
            os << "multiples of 2^-" << f;
        os << ") " << (report.off_grid > 1 ? "were" : "was") << " rounded down, the first at index "
           << report.first_off_grid;
    }
    text = os.str();
    return true;
}

void copy_message(const std::string& text, char* msg, std::size_t len) noexcept
{
    if (msg == nullptr || len == 0)
        return;
    const std::size_t n = text.size() < len - 1 ? text.size() : len - 1;
    std::memcpy(msg, text.data(), n);
    msg[n] = '\0';
}

} // namespace kip_fir
