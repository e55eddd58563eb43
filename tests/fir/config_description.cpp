// The description of the configuration record against the record, the defaults and create's
// verdicts; the configuration notes; the input check against the model's own conversion.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fir_message_log.h"
#include "kip_test_seed.h"
#include "tapforge_v6_3_bitacc_cmodel.h"

namespace {

using Config = kip_fir_v6_3_config;

#define FIELD(m)                                                                                   \
    {                                                                                              \
#m, offsetof(kip_fir_v6_3_config, m)                                                       \
    }
const std::vector<std::pair<std::string, size_t>> kRecord = { FIELD(name), FIELD(filter_type),
    FIELD(rate_change), FIELD(interp_rate), FIELD(decim_rate), FIELD(zero_pack_factor),
    FIELD(coeff), FIELD(coeff_padding), FIELD(num_coeffs), FIELD(coeff_sets), FIELD(reloadable),
    FIELD(is_halfband), FIELD(quantization), FIELD(coeff_width), FIELD(coeff_fract_width),
    FIELD(chan_seq), FIELD(num_channels), FIELD(init_pattern), FIELD(num_paths), FIELD(data_width),
    FIELD(data_fract_width), FIELD(output_rounding), FIELD(output_width), FIELD(output_fract_width),
    FIELD(config_method) };
#undef FIELD

bool is_int(const kip_fir_v6_3_field_desc* d) { return d->kind <= KIP_FIR_V6_3_FIELD_CHOICE; }

int32_t read(const Config& c, const kip_fir_v6_3_field_desc* d)
{
    int32_t v;
    std::memcpy(&v, reinterpret_cast<const char*>(&c) + d->offset, sizeof v);
    return v;
}

// True when create accepts c; the model is destroyed at once.
bool creates(const Config& c, std::string* error = nullptr)
{
    FirMessageLog log;
    kip_fir_v6_3* m = kip_fir_v6_3_create(&c, &FirMessageLog::record_message, &log);
    if (error && !log.messages.empty())
        *error = log.messages.back().text;
    kip_fir_v6_3_destroy(m);
    return m != nullptr;
}

TEST(ConfigDescription, MatchesTheRecordAndTheDefaults)
{
    ASSERT_EQ(kip_fir_v6_3_field_count(), static_cast<int32_t>(kRecord.size()));
    Config def;
    ASSERT_EQ(kip_fir_v6_3_default_config(&def), 0);
    for (int32_t i = 0; i < kip_fir_v6_3_field_count(); ++i) {
        const auto* d = kip_fir_v6_3_field_at(i);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->name, kRecord[i].first);
        EXPECT_EQ(d->offset, static_cast<int32_t>(kRecord[i].second)) << d->name;
        EXPECT_EQ(kip_fir_v6_3_field_find(d->name), d);
        EXPECT_GT(std::strlen(d->help), 10u) << d->name;
        EXPECT_EQ(std::strchr(d->help, '\n'), nullptr);
        ASSERT_NE(d->rule, nullptr);
        ASSERT_NE(d->default_text, nullptr);
        if (is_int(d)) {
            EXPECT_EQ(read(def, d), d->default_value) << d->name;
            EXPECT_EQ(std::to_string(d->default_value), d->default_text) << d->name;
            EXPECT_LE(d->min_value, d->default_value) << d->name;
            EXPECT_GE(d->max_value, d->default_value) << d->name;
        }
        EXPECT_EQ(d->computed, std::string(d->name) == "output_fract_width") << d->name;
    }
    EXPECT_EQ(kip_fir_v6_3_field_find("name")->kind, KIP_FIR_V6_3_FIELD_STRING);
    EXPECT_STREQ(kip_fir_v6_3_field_find("name")->default_text, def.name);
    EXPECT_EQ(kip_fir_v6_3_field_find("coeff")->kind, KIP_FIR_V6_3_FIELD_REAL_ARRAY);
    EXPECT_EQ(kip_fir_v6_3_field_at(-1), nullptr);
    EXPECT_EQ(kip_fir_v6_3_field_at(25), nullptr);
    EXPECT_EQ(kip_fir_v6_3_field_find("Filter_type"), nullptr);
    EXPECT_EQ(kip_fir_v6_3_field_find(nullptr), nullptr);
}

// set_field takes exactly min_value .. max_value; create refuses every value outside it
// (init_pattern takes every 32-bit number: create replaces a wrong one with a warning). Values just
// inside the range pass create where no other field must change with them.
TEST(ConfigDescription, SetFieldRangesAreCreatesRanges)
{
    char msg[KIP_FIR_V6_3_MSG_LEN];
    for (int32_t i = 0; i < kip_fir_v6_3_field_count(); ++i) {
        const auto* d = kip_fir_v6_3_field_at(i);
        const std::string name = d->name;
        Config c;
        kip_fir_v6_3_default_config(&c);
        const Config before = c;
        if (!is_int(d) || d->computed) {
            EXPECT_EQ(kip_fir_v6_3_config_set_field(&c, d->name, 1, msg, sizeof msg), 1) << name;
            EXPECT_NE(std::string(msg).find(name), std::string::npos) << msg;
            EXPECT_EQ(std::memcmp(&c, &before, sizeof c), 0);
            continue;
        }
        for (double bad :
            { double(d->min_value) - 1, double(d->max_value) + 1, 0.5, double(NAN), 1e300 }) {
            EXPECT_EQ(kip_fir_v6_3_config_set_field(&c, d->name, bad, msg, sizeof msg), 1)
                << name << " " << bad;
            EXPECT_NE(std::string(msg).find(name), std::string::npos) << msg;
            EXPECT_EQ(std::memcmp(&c, &before, sizeof c), 0) << name;
        }
        kip_fir_v6_3_config_set_field(&c, d->name, d->max_value + 1.0, msg, sizeof msg);
        EXPECT_EQ(msg,
            "Invalid value " + std::to_string(d->max_value + 1LL) + " for " + name
                + ": must be in the range " + std::to_string(d->min_value) + " to "
                + std::to_string(d->max_value));
        // create's verdict on the values just outside, in the context that uses the field.
        for (int64_t bad : { int64_t(d->min_value) - 1, int64_t(d->max_value) + 1 }) {
            Config o = before;
            if (name == "output_width")
                o.output_rounding = 1;
            if (name == "data_fract_width")
                o.data_width = 49;
            std::memcpy(reinterpret_cast<char*>(&o) + d->offset, &bad, sizeof(int32_t));
            if (name == "init_pattern")
                continue;
            EXPECT_FALSE(creates(o)) << name << " " << bad << " accepted by create";
        }
        for (int32_t good : { d->min_value, d->max_value }) {
            Config o = before;
            EXPECT_EQ(kip_fir_v6_3_config_set_field(&o, d->name, good, msg, sizeof msg), 0);
            EXPECT_STREQ(msg, "");
            int32_t got = -77;
            EXPECT_EQ(kip_fir_v6_3_config_get_field(&o, d->name, &got, msg, sizeof msg), 0);
            EXPECT_EQ(got, good);
            const bool cheap = name != "num_coeffs" && name != "coeff_sets"
                && name != "coeff_padding" && name != "output_width" && name != "num_channels"
                && name != "coeff_fract_width" && name != "data_fract_width";
            // Combinations other fields must follow: chan_seq 1 needs a pattern channel count,
            // rate_change 1 coprime rates, interp_rate 0 a reloadable model.
            const bool needs_more = (name == "chan_seq" || name == "rate_change") && good == 1;
            if (cheap && !needs_more && !(name == "interp_rate" && good == 0)) {
                EXPECT_TRUE(creates(o)) << name << " " << good;
            }
        }
    }
    Config c;
    kip_fir_v6_3_default_config(&c);
    EXPECT_EQ(kip_fir_v6_3_config_set_field(&c, "filter", 1, msg, sizeof msg), 1);
    EXPECT_STREQ(msg, "Unknown FIR configuration field 'filter'");
    EXPECT_EQ(kip_fir_v6_3_config_set_field(&c, "filter_type", 2.5, msg, sizeof msg), 1);
    EXPECT_STREQ(msg, "Invalid value 2.5 for filter_type: must be an integer");
    EXPECT_EQ(kip_fir_v6_3_config_set_field(&c, "num_paths", 4294967296.0, msg, sizeof msg), 1);
    EXPECT_STREQ(msg, "Invalid value 4294967296 for num_paths: must be in the range 1 to 16");
    EXPECT_EQ(kip_fir_v6_3_config_set_field(nullptr, "filter_type", 1, msg, sizeof msg), 1);
    int32_t v;
    EXPECT_EQ(kip_fir_v6_3_config_get_field(&c, "coeff", &v, msg, sizeof msg), 1);
    EXPECT_EQ(kip_fir_v6_3_config_get_field(&c, "output_fract_width", &v, nullptr, 0), 0);
    EXPECT_EQ(kip_fir_v6_3_config_get_field(&c, "nope", &v, nullptr, 0), 1);
}

// Each note appears for its setting alone, and the settings it names do what it says.
TEST(ConfigDescription, ConfigCheckNotesIgnoredSettings)
{
    char msg[KIP_FIR_V6_3_MSG_LEN];
    Config c;
    kip_fir_v6_3_default_config(&c);
    EXPECT_EQ(kip_fir_v6_3_config_check(&c, msg, sizeof msg), 0);
    EXPECT_STREQ(msg, "");
    EXPECT_EQ(kip_fir_v6_3_config_check(nullptr, msg, sizeof msg), -1);

    struct Case {
        const char* field;
        int32_t value;
        const char* expect;
    };
    const Case cases[] = {
        { "interp_rate", 4,
            "interp_rate 4 is ignored by filter_type 0 (single rate) with rate_change 0, but still "
            "narrows the accumulator width; set it to 1" },
        { "decim_rate", 3,
            "decim_rate 3 is ignored by filter_type 0 (single rate) with rate_change 0" },
        { "zero_pack_factor", 2,
            "zero_pack_factor 2 is ignored by filter_type 0 (single rate) (used by filter_type 4 "
            "only)" },
        { "is_halfband", 1, "is_halfband 1 has no effect unless reloadable is 1" },
        { "init_pattern", 3, "init_pattern 3 is ignored with chan_seq 0" },
        { "output_width", 20,
            "output_width 20 is ignored with output_rounding 0 (full precision): the output width "
            "is the accumulator width" },
        { "output_fract_width", 5, "output_fract_width 5 is ignored: the model computes it" },
    };
    for (const Case& k : cases) {
        Config o = c;
        std::memcpy(reinterpret_cast<char*>(&o) + kip_fir_v6_3_field_find(k.field)->offset,
            &k.value, sizeof k.value);
        EXPECT_EQ(kip_fir_v6_3_config_check(&o, msg, sizeof msg), 1) << k.field;
        EXPECT_STREQ(msg, k.expect);
    }
    // Rates the filter type uses are not noted; fractional rate change outside types 1 and 2 is.
    Config o = c;
    o.filter_type = 1;
    o.interp_rate = 4;
    EXPECT_EQ(kip_fir_v6_3_config_check(&o, msg, sizeof msg), 0) << msg;
    o.decim_rate = 3;
    o.rate_change = 1;
    EXPECT_EQ(kip_fir_v6_3_config_check(&o, msg, sizeof msg), 0) << msg;
    o.filter_type = 0;
    EXPECT_EQ(kip_fir_v6_3_config_check(&o, msg, sizeof msg), 1);
    EXPECT_EQ(std::string(msg).rfind("rate_change 1 with filter_type 0 (single rate)", 0), 0u)
        << msg;
    o = c;
    o.filter_type = 2;
    o.interp_rate = 2;
    o.zero_pack_factor = 3;
    EXPECT_EQ(kip_fir_v6_3_config_check(&o, msg, sizeof msg), 2);
    EXPECT_NE(std::strchr(msg, '\n'), nullptr);

    // What the notes claim: the ignored interp_rate narrows the accumulator; decim_rate,
    // init_pattern and zero_pack_factor change nothing.
    Config narrowed = c, same = c, eff;
    narrowed.interp_rate = 4;
    FirMessageLog log;
    kip_fir_v6_3* m = kip_fir_v6_3_create(&narrowed, &FirMessageLog::record_message, &log);
    ASSERT_NE(m, nullptr);
    kip_fir_v6_3_get_config(m, &eff);
    EXPECT_EQ(eff.output_width, 23);
    EXPECT_EQ(eff.interp_rate, 1);
    kip_fir_v6_3_destroy(m);
    same.decim_rate = 3;
    same.zero_pack_factor = 2;
    same.init_pattern = 3;
    m = kip_fir_v6_3_create(&same, &FirMessageLog::record_message, &log);
    ASSERT_NE(m, nullptr);
    kip_fir_v6_3_get_config(m, &eff);
    EXPECT_EQ(eff.output_width, 24);
    EXPECT_EQ(eff.decim_rate, 1);
    kip_fir_v6_3_destroy(m);
    EXPECT_TRUE(log.messages.empty());
}

// The input check predicts the model's conversion sample by sample: a one-tap filter of
// coefficient 1 at full precision returns each sample as the model converted it.
TEST(ConfigDescription, InputCheckPredictsTheModelsConversion)
{
    std::mt19937_64 rng(kip_test::seed());
    const int formats[][2] = { { 16, 0 }, { 16, 15 }, { 8, 3 }, { 24, 23 }, { 33, 10 }, { 49, 48 },
        { 1, 0 }, { 1, 1 } };
    char msg[KIP_FIR_V6_3_MSG_LEN];
    for (const auto& fmt : formats) {
        const int w = fmt[0], f = fmt[1];
        SCOPED_TRACE(testing::Message() << "data_width " << w << " data_fract_width " << f);
        Config c;
        kip_fir_v6_3_default_config(&c);
        static const double one = 1.0;
        c.coeff = &one;
        c.num_coeffs = 1;
        c.coeff_width = 2;
        c.data_width = w;
        c.data_fract_width = f;
        const double lsb = std::ldexp(1.0, -f), top = std::ldexp(1.0, w - 1 - f);
        std::vector<double> x;
        std::uniform_real_distribution<double> wide(-3 * top, 3 * top);
        std::uniform_int_distribution<int64_t> code(
            -(int64_t(1) << (w - 1)), (int64_t(1) << (w - 1)) - 1);
        for (int i = 0; i < 400; ++i) {
            switch (i % 4) {
            case 0:
                x.push_back(double(code(rng)) * lsb);
                break; // on grid, in range
            case 1:
                x.push_back(wide(rng));
                break; // anything
            case 2:
                x.push_back(double(code(rng)) * lsb + lsb / 2);
                break; // off grid, near edges
            default:
                x.push_back((i % 8 == 3 ? top : -top - lsb) + double(i % 3) * lsb / 4);
                break;
            }
        }
        kip_fir_v6_3_input_report rep;
        ASSERT_EQ(kip_fir_v6_3_input_check(&c, x.data(), x.size(), &rep, msg, sizeof msg), 0);

        FirMessageLog log;
        kip_fir_v6_3* m = kip_fir_v6_3_create(&c, &FirMessageLog::record_message, &log);
        ASSERT_NE(m, nullptr) << (log.messages.empty() ? "" : log.messages.back().text);
        kip_array_real* in = kip_array_real_create();
        kip_array_real* out = kip_array_real_create();
        ASSERT_EQ(kip_array_real_reserve_dim(in, 3), 0);
        ASSERT_EQ(kip_array_real_reserve_data(in, x.size()), 0);
        ASSERT_EQ(kip_array_real_reserve_dim(out, 3), 0);
        ASSERT_EQ(kip_array_real_reserve_data(out, x.size()), 0);
        in->dim_size = out->dim_size = 3;
        in->dim[0] = in->dim[1] = out->dim[0] = out->dim[1] = 1;
        in->dim[2] = out->dim[2] = x.size();
        in->data_size = x.size();
        std::copy(x.begin(), x.end(), in->data);
        ASSERT_EQ(kip_fir_v6_3_data_send(m, in), 0);
        ASSERT_EQ(kip_fir_v6_3_data_get(m, out, nullptr), 0);
        ASSERT_EQ(out->data_size, x.size());
        kip_fir_v6_3_config eff;
        kip_fir_v6_3_get_config(m, &eff);
        const double out_lsb = std::ldexp(1.0, -eff.output_fract_width);

        uint64_t wrapped = 0, floored = 0;
        int64_t first_wrapped = -1, first_floored = -1;
        for (size_t i = 0; i < x.size(); ++i) {
            const double floor_code = std::floor(x[i] / lsb);
            const double got_code = out->data[i] / out_lsb / (lsb / out_lsb);
            if (floor_code != x[i] / lsb && floored++ == 0)
                first_floored = int64_t(i);
            if (got_code != floor_code && wrapped++ == 0)
                first_wrapped = int64_t(i);
        }
        EXPECT_EQ(rep.out_of_format, wrapped);
        EXPECT_EQ(rep.first_out_of_format, first_wrapped);
        EXPECT_EQ(rep.off_grid, floored);
        EXPECT_EQ(rep.first_off_grid, first_floored);
        EXPECT_GT(wrapped, 0u);
        EXPECT_GT(floored, 0u);
        kip_array_real_destroy(in);
        kip_array_real_destroy(out);
        kip_fir_v6_3_destroy(m);
    }

    // The warning text, and nothing to say for clean input.
    Config c;
    kip_fir_v6_3_default_config(&c);
    const double x[] = { 1, 2.5, 40000, -32769, 3, 0.25 };
    kip_fir_v6_3_input_report rep;
    ASSERT_EQ(kip_fir_v6_3_input_check(&c, x, 6, &rep, msg, sizeof msg), 0);
    EXPECT_STREQ(msg,
        "2 input samples outside the data format (16 bits, 0 fractional: -32768 to 32767) were "
        "wrapped, the first at index 2; 2 input samples off the data grid (whole numbers) were "
        "rounded down, the first at index 1");
    ASSERT_EQ(kip_fir_v6_3_input_check(&c, x, 1, &rep, msg, sizeof msg), 0);
    EXPECT_STREQ(msg, "");
    EXPECT_EQ(rep.first_off_grid, -1);
    const double odd[] = { NAN, INFINITY, 0.5 };
    c.data_fract_width = 1;
    ASSERT_EQ(kip_fir_v6_3_input_check(&c, odd, 3, &rep, msg, sizeof msg), 0);
    EXPECT_STREQ(msg, "") << "samples without a code are refused by the model, not converted";
    c.data_width = 50;
    EXPECT_EQ(kip_fir_v6_3_input_check(&c, odd, 3, &rep, msg, sizeof msg), 1);
    EXPECT_NE(std::string(msg).find("data_width 50"), std::string::npos);
    EXPECT_EQ(kip_fir_v6_3_input_check(&c, nullptr, 1, &rep, msg, sizeof msg), 1);
    EXPECT_EQ(kip_fir_v6_3_input_check(nullptr, x, 1, &rep, msg, sizeof msg), 1);
}

} // namespace
