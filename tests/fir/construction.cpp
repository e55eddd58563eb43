// FIR construction: validation order and messages, rate normalisation, accumulator and output
// widths, coefficient scaling, arithmetic mode, contexts and the debug notes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fir.h"
#include "fir_message_log.h"

namespace {

kip_fir_v6_3_config defaults()
{
    kip_fir_v6_3_config c;
    kip_fir_v6_3_default_config(&c);
    return c;
}

// Builds a FIR the way create does, with recording loggers.
struct Built {
    FirMessageLog msgs, dbg;
    std::unique_ptr<KLogger> log, dbg_log;
    std::unique_ptr<FIR> fir;
    std::string error; // text of the construction exception, if any

    explicit Built(const kip_fir_v6_3_config& c)
    {
        const std::string name = c.name ? c.name : "";
        log.reset(new KLogger(&FirMessageLog::record_message, &msgs, name));
        dbg_log.reset(new KLogger(&FirMessageLog::record_message, &dbg, name));
        try {
            fir.reset(new FIR(&c, log.get(), dbg_log.get()));
        } catch (const std::runtime_error& e) {
            error = e.what();
        }
    }
    bool ok() const { return fir != nullptr; }
};

std::vector<std::string> notes(std::initializer_list<std::string> texts)
{
    std::vector<std::string> v;
    for (const auto& t : texts)
        v.push_back("tapforge_v6_3 NOTE: " + t);
    return v;
}

// The coefficient listing noted after "Dout scaling" (quantised values, default formatting).
std::vector<std::string> with_coeff_notes(
    std::vector<std::string> v, const std::vector<std::string>& values)
{
    for (size_t i = 0; i < values.size(); ++i)
        v.push_back("tapforge_v6_3 NOTE:  Coeff[" + std::to_string(i) + "] : " + values[i]);
    return v;
}

const std::vector<std::string> kDefaultTapTexts = { "6", "0", "-4", "-3", "5", "6", "-6", "-13",
    "7", "44", "64", "44", "7", "-13", "-6", "6", "5", "-3", "-4", "0", "6" };

// ---------------------------------------------------------------- the default model

TEST(Construction, DefaultModel)
{
    const kip_fir_v6_3_config c = defaults();
    Built b(c);
    ASSERT_TRUE(b.ok()) << b.error;
    const FIR& f = *b.fir;
    EXPECT_EQ(f.acc_width, 24);
    EXPECT_FALSE(f.use_mpz);
    EXPECT_EQ(f.coeff_scale, 1.0);
    EXPECT_EQ(f.dout_scale, 1.0);
    EXPECT_EQ(f.dout_rnd, RND_NONE);
    EXPECT_EQ(f.config.output_width, 24);
    EXPECT_EQ(f.config.output_fract_width, 0);
    EXPECT_EQ(f.config.name, nullptr);
    EXPECT_EQ(f.config.coeff, nullptr);
    EXPECT_EQ(f.instance_name, "tapforge_v6_3");
    EXPECT_EQ(f.coeff_ctx.describe(true), "IFIX_16_0-RND_TO_ZERO-OVF_WRAP");
    EXPECT_EQ(f.coeff_ctx.warn_mode, WARN_NONE);
    EXPECT_EQ(f.data_ctx.describe(true), "IFIX_16_0-RND_DOWN-OVF_WRAP");
    EXPECT_EQ(f.data_ctx.warn_mode, WARN_ONCE);
    EXPECT_EQ(f.dout_ctx.describe(true), "IFIX_24_0-RND_NONE-OVF_WRAP");
    EXPECT_EQ(f.dout_ctx.warn_mode, WARN_OVERFLOW);
    EXPECT_EQ(f.CurrentPattern, KIP_FIR_V6_3_PATTERN_NONE);
    EXPECT_EQ(f.chanCountIn, 0);
    EXPECT_EQ(f.chanCountOut, 0);
    ASSERT_EQ(f.dout_buffer.size(), 1u);
    ASSERT_EQ(f.dout_buffer[0].size(), 1u);
    EXPECT_TRUE(f.dout_buffer_mpz.empty());
    EXPECT_TRUE(f.hilbert_queue.empty());
    EXPECT_TRUE(f.pattern_queue.empty());
    EXPECT_TRUE(b.msgs.messages.empty());
    EXPECT_EQ(b.dbg.texts(),
        with_coeff_notes(
            notes({ "Passed basic checks", "Max coeff sum: 252", "Calculated accumulator width: 24",
                "Output fract width: 0", "Coefficient scaling: 1", "Dout scaling: 1" }),
            kDefaultTapTexts));
    for (const auto& m : b.dbg.messages)
        EXPECT_EQ(m.error, 0);
}

TEST(Construction, GetConfigCompletesTheRecord)
{
    kip_fir_v6_3_config c = defaults();
    c.output_fract_width = 9; // ignored
    c.output_width = 3; // replaced at full precision
    const kip_fir_v6_3_config before = c;
    Built b(c);
    ASSERT_TRUE(b.ok()) << b.error;
    kip_fir_v6_3_config out;
    EXPECT_EQ(b.fir->get_config(out), 0);
    EXPECT_EQ(out.name, b.fir->instance_name.c_str());
    EXPECT_NE(out.name, c.name);
    EXPECT_STREQ(out.name, "tapforge_v6_3");
    EXPECT_EQ(out.coeff, nullptr);
    EXPECT_EQ(out.output_width, 24);
    EXPECT_EQ(out.output_fract_width, 0);
    EXPECT_EQ(std::memcmp(&before, &c, sizeof c), 0) << "caller's record changed";
}

// ---------------------------------------------------------------- validation

struct Check {
    std::function<void(kip_fir_v6_3_config&)> spoil;
    const char* message;
};

const double kNanTaps[2] = { 1.0, std::nan("") };

// Every refusal, in checking order.
std::vector<Check> checks_in_order()
{
    return {
        { [](kip_fir_v6_3_config& c) { c.filter_type = 5; }, "Invalid filter type" },
        { [](kip_fir_v6_3_config& c) { c.rate_change = 2; }, "Invalid rate change type" },
        { [](kip_fir_v6_3_config& c) { c.interp_rate = 1025; }, "Invalid interpolation rate" },
        { [](kip_fir_v6_3_config& c) { c.decim_rate = 1025; }, "Invalid decimation rate" },
        { [](kip_fir_v6_3_config& c) {
             c.rate_change = 1;
             c.interp_rate = 4;
             c.decim_rate = 6;
         },
            "Interpolation and decimation rates must have no common factors greater than 1" },
        { [](kip_fir_v6_3_config& c) { c.zero_pack_factor = 9; }, "Invalid zero packing factor" },
        { [](kip_fir_v6_3_config& c) { c.is_halfband = 2; }, "Invalid value for is_halfband" },
        { [](kip_fir_v6_3_config& c) { c.reloadable = 2; }, "Invalid value for reloadable" },
        { [](kip_fir_v6_3_config& c) { c.quantization = 3; }, "Invalid quantization type" },
        { [](kip_fir_v6_3_config& c) { c.coeff_width = 50; }, "Invalid coefficient width" },
        { [](kip_fir_v6_3_config& c) { c.chan_seq = 2; }, "Invalid channel sequence type" },
        { [](kip_fir_v6_3_config& c) { c.num_channels = 65; }, "Invalid number of channels" },
        { [](kip_fir_v6_3_config& c) {
             c.chan_seq = 1;
             c.num_channels = 10;
         },
            "Invalid number of channels" },
        { [](kip_fir_v6_3_config& c) { c.num_paths = 17; }, "Invalid number of paths" },
        { [](kip_fir_v6_3_config& c) { c.data_width = 50; }, "Invalid data width" },
        { [](kip_fir_v6_3_config& c) { c.data_fract_width = 17; },
            "Data fractional width must be less than or equal to the data width" },
        { [](kip_fir_v6_3_config& c) { c.output_rounding = 8; }, "Invalid output rounding type" },
        { [](kip_fir_v6_3_config& c) { c.config_method = 2; }, "Invalid configuration method" },
        { [](kip_fir_v6_3_config& c) { c.num_channels = 0; },
            "Number of channels must be at least 1" },
        { [](kip_fir_v6_3_config& c) { c.num_paths = 0; }, "Number of paths must be at least 1" },
        { [](kip_fir_v6_3_config& c) { c.interp_rate = 0; }, "Invalid Filter rate" },
        { [](kip_fir_v6_3_config& c) {
             c.filter_type = 2;
             c.decim_rate = 0;
         },
            "Invalid Filter rate" },
        { [](kip_fir_v6_3_config& c) {
             c.filter_type = 4;
             c.zero_pack_factor = 0;
         },
            "Zero packing factor must be at least 1" },
        { [](kip_fir_v6_3_config& c) { c.num_coeffs = 0; },
            "Number of coefficients must be at least 1" },
        { [](kip_fir_v6_3_config& c) { c.coeff_sets = 0; },
            "Number of coefficient sets must be at least 1" },
        { [](kip_fir_v6_3_config& c) { c.coeff_padding = -1; },
            "Coefficient padding must not be negative" },
        { [](kip_fir_v6_3_config& c) { c.coeff_fract_width = 1024; },
            "Invalid coefficient fractional width" },
        { [](kip_fir_v6_3_config& c) { c.coeff = nullptr; },
            "Coefficient pointer must not be null" },
        { [](kip_fir_v6_3_config& c) {
             c.coeff = kNanTaps;
             c.num_coeffs = 2;
         },
            "Coefficient values must be finite" },
    };
}

// With check k and every later check failing at once, check k must be the one reported, and
// nothing may have been noted or warned before it.
TEST(Validation, FirstFailingCheckWins)
{
    const auto checks = checks_in_order();
    for (size_t k = 0; k < checks.size(); ++k) {
        kip_fir_v6_3_config c = defaults();
        for (size_t j = checks.size(); j-- > k;)
            checks[j].spoil(c); // earlier spoils win
        Built b(c);
        ASSERT_FALSE(b.ok()) << "check " << k + 1 << " passed";
        EXPECT_EQ(b.error, checks[k].message) << "check " << k + 1;
        EXPECT_TRUE(b.dbg.messages.empty()) << "check " << k + 1;
        EXPECT_TRUE(b.msgs.messages.empty()) << "check " << k + 1;
    }
}

TEST(Validation, NegativeValuesFailUnsignedChecks)
{
    struct Neg {
        int32_t kip_fir_v6_3_config::*field;
        const char* message;
    };
    const Neg negs[] = {
        { &kip_fir_v6_3_config::filter_type, "Invalid filter type" },
        { &kip_fir_v6_3_config::rate_change, "Invalid rate change type" },
        { &kip_fir_v6_3_config::interp_rate, "Invalid interpolation rate" },
        { &kip_fir_v6_3_config::decim_rate, "Invalid decimation rate" },
        { &kip_fir_v6_3_config::zero_pack_factor, "Invalid zero packing factor" },
        { &kip_fir_v6_3_config::is_halfband, "Invalid value for is_halfband" },
        { &kip_fir_v6_3_config::reloadable, "Invalid value for reloadable" },
        { &kip_fir_v6_3_config::quantization, "Invalid quantization type" },
        { &kip_fir_v6_3_config::coeff_width, "Invalid coefficient width" },
        { &kip_fir_v6_3_config::chan_seq, "Invalid channel sequence type" },
        { &kip_fir_v6_3_config::num_channels, "Invalid number of channels" },
        { &kip_fir_v6_3_config::num_paths, "Invalid number of paths" },
        { &kip_fir_v6_3_config::data_width, "Invalid data width" },
        { &kip_fir_v6_3_config::data_fract_width,
            "Data fractional width must be less than or equal to the data width" },
        { &kip_fir_v6_3_config::output_rounding, "Invalid output rounding type" },
        { &kip_fir_v6_3_config::config_method, "Invalid configuration method" },
        { &kip_fir_v6_3_config::num_coeffs, "Number of coefficients must be at least 1" },
        { &kip_fir_v6_3_config::coeff_sets, "Number of coefficient sets must be at least 1" },
    };
    for (const auto& n : negs)
        for (int32_t v : { -1, INT32_MIN }) {
            kip_fir_v6_3_config c = defaults();
            c.*(n.field) = v;
            Built b(c);
            EXPECT_EQ(b.error, n.message) << "value " << v;
        }
}

TEST(Validation, BoundaryValuesPass)
{
    auto passes = [](std::function<void(kip_fir_v6_3_config&)> set) {
        kip_fir_v6_3_config c = defaults();
        set(c);
        Built b(c);
        return b.ok() ? std::string() : b.error;
    };
    EXPECT_EQ(passes([](kip_fir_v6_3_config& c) {
        c.rate_change = 1;
        c.filter_type = 1;
        c.interp_rate = 4;
        c.decim_rate = 5;
    }),
        "");
    EXPECT_EQ(passes([](kip_fir_v6_3_config& c) {
        c.filter_type = 1;
        c.interp_rate = 1024;
    }),
        "");
    EXPECT_EQ(passes([](kip_fir_v6_3_config& c) {
        c.filter_type = 2;
        c.decim_rate = 1024;
    }),
        "");
    EXPECT_EQ(passes([](kip_fir_v6_3_config& c) {
        c.filter_type = 4;
        c.zero_pack_factor = 8;
    }),
        "");
    EXPECT_EQ(passes([](kip_fir_v6_3_config& c) {
        c.chan_seq = 1;
        c.num_channels = 12;
    }),
        "");
    EXPECT_EQ(passes([](kip_fir_v6_3_config& c) {
        c.num_paths = 16;
        c.num_channels = 64;
    }),
        "");
    EXPECT_EQ(passes([](kip_fir_v6_3_config& c) {
        c.data_width = 49;
        c.data_fract_width = 49;
    }),
        "");
    EXPECT_EQ(passes([](kip_fir_v6_3_config& c) {
        c.coeff_width = 49;
        c.reloadable = 1;
    }),
        "");
    EXPECT_EQ(passes([](kip_fir_v6_3_config& c) {
        c.output_rounding = 7;
        c.config_method = 1;
    }),
        "");
    for (int n : { 1, 2, 3, 5, 7, 10, 33, 63, 64 }) {
        EXPECT_EQ(passes([n](kip_fir_v6_3_config& c) { c.num_channels = n; }), "") << n;
    }
    for (int n : { 4, 6, 8, 12, 16, 24, 32, 48, 64 }) {
        EXPECT_EQ(passes([n](kip_fir_v6_3_config& c) {
            c.chan_seq = 1;
            c.num_channels = n;
        }),
            "")
            << n;
    }
}

TEST(Validation, GreatestCommonDivisorWithZero)
{
    kip_fir_v6_3_config c = defaults();
    c.rate_change = 1;
    c.interp_rate = 0;
    c.decim_rate = 3; // gcd(0, 3) = 3
    EXPECT_EQ(Built(c).error,
        "Interpolation and decimation rates must have no common factors greater than 1");
    c.decim_rate = 1; // gcd 1: passes that check, then the zero rate is refused
    EXPECT_EQ(Built(c).error, "Invalid Filter rate");
}

TEST(Validation, NullName)
{
    kip_fir_v6_3_config c = defaults();
    c.name = nullptr;
    EXPECT_EQ(Built(c).error, "Instance name must not be null");
}

TEST(Validation, OutputWidthCheckedAfterTheAccumulator)
{
    kip_fir_v6_3_config c = defaults();
    c.output_rounding = 1;
    c.output_width = 25;
    Built b(c);
    EXPECT_EQ(b.error, "Invalid output width");
    EXPECT_EQ(b.dbg.texts(), notes({ "Passed basic checks", "Max coeff sum: 252" }));
    c.output_width = -1;
    EXPECT_EQ(Built(c).error, "Invalid output width");
    c.output_width = 24;
    EXPECT_TRUE(Built(c).ok());
}

TEST(Validation, ZeroCoefficientWidthFailsInTheContext)
{
    kip_fir_v6_3_config c = defaults();
    c.coeff_width = 0;
    Built b(c);
    EXPECT_EQ(b.error, "Bad format specified (IFIX_0_0)");
}

TEST(Validation, AccumulatorWidthThatCannotBeDerived)
{
    const double zeros[3] = { 0, 0, 0 };
    kip_fir_v6_3_config c = defaults();
    c.coeff = zeros;
    c.num_coeffs = 3;
    EXPECT_EQ(Built(c).error, "Cannot derive the accumulator width from the coefficients");
    c.coeff_fract_width = 1023; // sums overflow to infinity
    c.coeff = defaults().coeff;
    c.num_coeffs = 21;
    EXPECT_EQ(Built(c).error, "Cannot derive the accumulator width from the coefficients");
    // A tiny coefficient gives a width below one bit.
    const double tiny[1] = { 1e-9 };
    c = defaults();
    c.coeff = tiny;
    c.num_coeffs = 1;
    EXPECT_EQ(Built(c).error, "Cannot derive the accumulator width from the coefficients");
    // Reloadable Hilbert half-band with one tap and interpolation leaves no taps to sum.
    c = defaults();
    c.reloadable = 1;
    c.filter_type = 3;
    c.is_halfband = 1;
    c.interp_rate = 2;
    c.num_coeffs = 1;
    EXPECT_EQ(Built(c).error, "Cannot derive the accumulator width from the coefficients");
}

// ---------------------------------------------------------------- rates

TEST(Rates, NormalisedByFilterType)
{
    struct Row {
        int type, change, interp, decim, zpf;
    };
    const Row rows[] = {
        { 0, 0, 1, 1, 1 },
        { 0, 1, 1, 1, 1 },
        { 1, 0, 3, 1, 1 },
        { 1, 1, 3, 5, 1 },
        { 2, 0, 1, 5, 1 },
        { 2, 1, 3, 5, 1 },
        { 3, 0, 1, 1, 1 },
        { 3, 1, 1, 1, 1 },
        { 4, 0, 1, 1, 4 },
        { 4, 1, 1, 1, 4 },
    };
    for (const auto& r : rows) {
        kip_fir_v6_3_config c = defaults();
        c.filter_type = r.type;
        c.rate_change = r.change;
        c.interp_rate = 3;
        c.decim_rate = 5;
        c.zero_pack_factor = 4;
        Built b(c);
        ASSERT_TRUE(b.ok()) << b.error;
        kip_fir_v6_3_config out;
        b.fir->get_config(out);
        EXPECT_EQ(out.interp_rate, r.interp) << "type " << r.type << " change " << r.change;
        EXPECT_EQ(out.decim_rate, r.decim) << "type " << r.type << " change " << r.change;
        EXPECT_EQ(out.zero_pack_factor, r.zpf) << "type " << r.type << " change " << r.change;
    }
}

// ---------------------------------------------------------------- accumulator width

// Per-phase sums of |c * scale * 2^frac| as the width calculator forms them.
std::vector<double> reference_phase_sums(
    const std::vector<double>& taps, int sets, int rate, double scale, int frac)
{
    std::vector<double> sums;
    const size_t n = taps.size() / sets;
    for (int s = 0; s < sets; ++s)
        for (int p = 0; p < rate; ++p) {
            double sum = 0;
            for (size_t i = p; i < n; i += rate)
                sum += std::fabs(taps[s * n + i] * scale * std::pow(2.0, frac));
            sums.push_back(sum);
        }
    return sums;
}

TEST(AccumulatorWidth, ReloadableUsesTapCount)
{
    kip_fir_v6_3_config c = defaults();
    c.reloadable = 1;
    Built b(c);
    ASSERT_TRUE(b.ok()) << b.error;
    EXPECT_EQ(b.fir->acc_width, 37); // 16 + 16 + ceil(log2 21)
    EXPECT_EQ(b.dbg.texts(),
        with_coeff_notes(
            notes({ "Passed basic checks", "Calculated accumulator width: 37",
                "Output fract width: 0", "Coefficient scaling: 1", "Dout scaling: 1" }),
            kDefaultTapTexts));

    struct Row {
        int type, halfband, interp, taps, expect_n;
    };
    const Row rows[] = {
        { 0, 0, 1, 21, 21 },
        { 3, 0, 1, 21, 11 },
        { 3, 1, 1, 21, 11 },
        { 0, 1, 1, 21, 12 },
        { 1, 0, 4, 21, 6 },
        { 1, 1, 4, 21, 11 },
        { 1, 0, 3, 21, 7 },
        { 0, 0, 1, 1, 1 },
        { 0, 0, 1, 2, 2 },
        { 0, 0, 1, 3, 3 },
        { 1, 0, 2, 5, 3 },
    };
    for (const auto& r : rows) {
        std::vector<double> taps(r.taps, 1.0);
        c = defaults();
        c.reloadable = 1;
        c.filter_type = r.type;
        c.is_halfband = r.halfband;
        c.interp_rate = r.interp;
        c.num_coeffs = r.taps;
        c.coeff = taps.data();
        Built rb(c);
        ASSERT_TRUE(rb.ok()) << rb.error;
        const int bits = static_cast<int>(std::ceil(std::log2(static_cast<double>(r.expect_n))));
        EXPECT_EQ(rb.fir->acc_width, 32 + bits)
            << "type " << r.type << " halfband " << r.halfband << " interp " << r.interp;
    }
}

TEST(AccumulatorWidth, PhaseSumsAreNotedAndTheLargestIsUsed)
{
    kip_fir_v6_3_config c = defaults();
    c.filter_type = 1;
    c.interp_rate = 2;
    Built b(c);
    ASSERT_TRUE(b.ok()) << b.error;
    EXPECT_EQ(b.dbg.texts(),
        with_coeff_notes(notes({ "Passed basic checks", "Max coeff sum: 120", "Max coeff sum: 132",
                             "Calculated accumulator width: 24", "Output fract width: 0",
                             "Coefficient scaling: 1", "Dout scaling: 1" }),
            kDefaultTapTexts));
}

TEST(AccumulatorWidth, RunningMaximumOverSetsAndPhases)
{
    // Two sets of 5 taps, interpolation 3: the noted value is the running maximum.
    const std::vector<double> taps = { 1, -2, 3, 4, 0.5, -7, 1, 1, 2, 9 };
    kip_fir_v6_3_config c = defaults();
    c.filter_type = 1;
    c.interp_rate = 3;
    c.num_coeffs = 5;
    c.coeff_sets = 2;
    c.coeff = taps.data();
    c.coeff_fract_width = 2;
    Built b(c);
    ASSERT_TRUE(b.ok()) << b.error;
    const auto sums = reference_phase_sums(taps, 2, 3, 1.0, 2);
    std::vector<std::string> expect = { "Passed basic checks" };
    double running = 0;
    for (double s : sums) {
        running = std::max(running, s);
        std::ostringstream os;
        os << "Max coeff sum: " << running;
        expect.push_back(os.str());
    }
    std::vector<std::string> got;
    for (const auto& t : b.dbg.texts())
        got.push_back(t.substr(std::string("tapforge_v6_3 NOTE: ").size()));
    got.resize(expect.size());
    EXPECT_EQ(got, expect);
    EXPECT_EQ(b.fir->acc_width, 16 + static_cast<int>(std::ceil(std::log2(running))));
}

TEST(AccumulatorWidth, SingleRateUsesTheGivenInterpolationRate)
{
    // The width calculator reads interp_rate as given even where the filter type ignores it.
    kip_fir_v6_3_config c = defaults();
    c.interp_rate = 2;
    Built b(c);
    ASSERT_TRUE(b.ok()) << b.error;
    EXPECT_EQ(b.dbg.texts()[2], "tapforge_v6_3 NOTE: Max coeff sum: 132");
    EXPECT_EQ(b.fir->config.interp_rate, 1);
}

// ln(x)/ln(2) lies above k for these powers of two, so ceil gives k + 1.
TEST(AccumulatorWidth, PowersOfTwoFollowTheLogarithmQuotient)
{
    const int extra[] = { 29, 31, 39, 47, 51, 55, 58, 59, 62 };
    for (int k = 0; k <= 62; ++k) {
        const double x = std::ldexp(1.0, k);
        const bool plus_one = std::find(std::begin(extra), std::end(extra), k) != std::end(extra);
        ASSERT_EQ(std::ceil(std::log(x) / std::log(2.0)), k + (plus_one ? 1 : 0))
            << "platform logarithm differs at 2^" << k;
        kip_fir_v6_3_config c = defaults();
        c.num_coeffs = 1;
        c.coeff = &x;
        Built b(c);
        ASSERT_TRUE(b.ok()) << b.error;
        EXPECT_EQ(b.fir->acc_width, 16 + k + (plus_one ? 1 : 0)) << "sum 2^" << k;
    }
}

// ---------------------------------------------------------------- arithmetic mode

kip_fir_v6_3_config reloadable_with_acc(int acc)
{ // 21 taps: 5 bits of growth
    kip_fir_v6_3_config c = defaults();
    c.reloadable = 1;
    c.coeff_width = 31;
    c.data_width = acc - 31 - 5;
    return c;
}

TEST(ArithmeticMode, FiftyTwoBitsRunInDoubles)
{
    Built b(reloadable_with_acc(52));
    ASSERT_TRUE(b.ok()) << b.error;
    EXPECT_EQ(b.fir->acc_width, 52);
    EXPECT_FALSE(b.fir->use_mpz);
    EXPECT_TRUE(b.msgs.messages.empty());
    EXPECT_EQ(b.fir->dout_ctx.describe(false), "IFIX_52_0");
}

TEST(ArithmeticMode, FiftyThreeBitsRunInIntegers)
{
    Built b(reloadable_with_acc(53));
    ASSERT_TRUE(b.ok()) << b.error;
    const FIR& f = *b.fir;
    EXPECT_EQ(f.acc_width, 53);
    EXPECT_TRUE(f.use_mpz);
    ASSERT_EQ(b.msgs.messages.size(), 1u);
    EXPECT_EQ(b.msgs.messages[0],
        (FirMessage { 0, "tapforge_v6_3 WARNING: Model will use MPZ data type" }));
    EXPECT_EQ(f.coeff_ctx.describe(true), "IFIX_31_0-RND_TO_ZERO-OVF_WRAP");
    EXPECT_EQ(f.dout_ctx.describe(true), "IFIX_32_0-RND_DOWN-OVF_WRAP"); // left provisional
    EXPECT_EQ(f.dout_scale, 1.0);
    EXPECT_TRUE(f.dout_buffer.empty());
    ASSERT_EQ(f.dout_buffer_mpz.size(), 1u);
    EXPECT_EQ(f.dout_buffer_mpz[0].size(), 1u);
}

TEST(ArithmeticMode, IntegerModeScalesFractionalInputs)
{
    kip_fir_v6_3_config c = reloadable_with_acc(60);
    c.coeff_fract_width = 3;
    c.data_fract_width = 2;
    c.output_rounding = 4;
    c.output_width = 40;
    Built b(c);
    ASSERT_TRUE(b.ok()) << b.error;
    const FIR& f = *b.fir;
    EXPECT_EQ(b.msgs.texts(),
        (std::vector<std::string> { "tapforge_v6_3 WARNING: Model will use MPZ data type",
            "tapforge_v6_3 WARNING: Model inputs have fractional bits. Data and Coefficients "
            "will be scaled by fractional width to use integer representation. Output will "
            "be integer only, use configuration.output_fract_width to interpret output" }));
    EXPECT_EQ(f.coeff_scale, 8.0);
    EXPECT_EQ(f.coeff_ctx.getFrac(), 0);
    EXPECT_EQ(f.dout_scale, std::ldexp(1.0, 20));
    EXPECT_EQ(f.dout_rnd, RND_TO_EVEN);
    EXPECT_EQ(f.config.output_fract_width, 0); // 3 + 2 - (60 - 40) < 0
    EXPECT_EQ(f.data_ctx.describe(false), "IFIX_24_2");
    std::vector<std::string> scaled; // integer codes: taps times 2^3
    for (const auto& t : kDefaultTapTexts)
        scaled.push_back(std::to_string(std::stoi(t) * 8));
    EXPECT_EQ(b.dbg.texts(),
        with_coeff_notes(
            notes({ "Passed basic checks", "Calculated accumulator width: 60",
                "Output fract width: 0", "Coefficient scaling: 8", "Dout scaling: 1.04858e+06" }),
            scaled));
}

// ---------------------------------------------------------------- output width and scaling

TEST(OutputFormat, FractionAndScaleInDoubleMode)
{
    kip_fir_v6_3_config c = defaults();
    c.reloadable = 1; // acc 37
    c.coeff_fract_width = 10;
    c.data_fract_width = 5;
    c.output_rounding = 1;
    c.output_width = 20; // fraction 15 - 17 < 0: integer output, scaled
    Built b(c);
    ASSERT_TRUE(b.ok()) << b.error;
    EXPECT_EQ(b.fir->config.output_fract_width, 0);
    EXPECT_EQ(b.fir->dout_scale, 4.0); // 2^(37 - 20 - 10 - 5)
    EXPECT_EQ(b.fir->dout_ctx.describe(true), "IFIX_20_0-RND_DOWN-OVF_WRAP");
    EXPECT_EQ(b.fir->coeff_ctx.describe(false), "IFIX_16_10");

    c.output_width = 30; // fraction 15 - 7 = 8
    Built b2(c);
    ASSERT_TRUE(b2.ok()) << b2.error;
    EXPECT_EQ(b2.fir->config.output_fract_width, 8);
    EXPECT_EQ(b2.fir->dout_scale, 1.0);
    EXPECT_EQ(b2.fir->dout_ctx.describe(false), "IFIX_30_8");
    EXPECT_EQ(b2.dbg.texts()[2], "tapforge_v6_3 NOTE: Output fract width: 8");
}

TEST(OutputFormat, RoundingModeMapping)
{
    const RndMode expect[8] = { RND_NONE, RND_DOWN, RND_HALF_TO_ZERO, RND_POSIX, RND_TO_EVEN,
        RND_TO_ODD, RND_HALF_DOWN, RND_HALF_UP };
    for (int r = 0; r < 8; ++r) {
        kip_fir_v6_3_config c = defaults();
        c.output_rounding = r;
        c.output_width = 18;
        Built b(c);
        ASSERT_TRUE(b.ok()) << b.error;
        EXPECT_EQ(b.fir->dout_rnd, expect[r]) << r;
        EXPECT_EQ(b.fir->dout_ctx.getRoundingMode(), expect[r]) << r;
        EXPECT_EQ(b.fir->config.output_width, r == 0 ? 24 : 18);
    }
}

// ---------------------------------------------------------------- quantization 2

TEST(CoefficientScaling, MostNegativeOrMostPositiveCode)
{
    const double neg_larger[2] = { 0.5, -1.0 };
    const double pos_larger[2] = { 1.0, -0.5 };
    kip_fir_v6_3_config c = defaults();
    c.quantization = 2;
    c.num_coeffs = 2;
    c.coeff = neg_larger;
    Built a(c);
    ASSERT_TRUE(a.ok()) << a.error;
    EXPECT_EQ(a.fir->coeff_scale, 32768.0);
    c.coeff = pos_larger;
    Built b(c);
    ASSERT_TRUE(b.ok()) << b.error;
    EXPECT_EQ(b.fir->coeff_scale, 32767.0);
    // Fraction bits divide the scale: the scaled values are real values of the format.
    c.coeff = neg_larger;
    c.coeff_fract_width = 3;
    Built f(c);
    ASSERT_TRUE(f.ok()) << f.error;
    EXPECT_EQ(f.fir->coeff_scale, 4096.0);
    // Equal magnitudes use the positive side.
    const double equal[2] = { -2.0, 2.0 };
    c.coeff = equal;
    c.coeff_fract_width = 0;
    Built e(c);
    ASSERT_TRUE(e.ok()) << e.error;
    EXPECT_EQ(e.fir->coeff_scale, 32767.0 / 2.0);
}

TEST(CoefficientScaling, ExtremesAcrossAllSetsAndWidth)
{
    const double taps[4] = { 0.25, 0.1, -0.2, 3.0 }; // second set holds the maximum
    kip_fir_v6_3_config c = defaults();
    c.quantization = 2;
    c.num_coeffs = 2;
    c.coeff_sets = 2;
    c.coeff = taps;
    Built b(c);
    ASSERT_TRUE(b.ok()) << b.error;
    EXPECT_EQ(b.fir->coeff_scale, 32767.0 / 3.0);
    // Default taps: 64 maps to 32767; the largest phase sum then decides the width.
    kip_fir_v6_3_config d = defaults();
    d.quantization = 2;
    Built q(d);
    ASSERT_TRUE(q.ok()) << q.error;
    EXPECT_EQ(q.fir->coeff_scale, 32767.0 / 64.0);
    EXPECT_EQ(q.fir->acc_width, 16 + 17); // 252 * 511.98 = 129020.06 < 2^17
    EXPECT_EQ(q.dbg.texts()[1], "tapforge_v6_3 NOTE: Max coeff sum: 129020");
    EXPECT_EQ(q.dbg.texts()[4], "tapforge_v6_3 NOTE: Coefficient scaling: 511.984");
}

TEST(CoefficientScaling, AllZeroCoefficientsCannotBeScaled)
{
    const double zeros[3] = { 0, 0, 0 };
    kip_fir_v6_3_config c = defaults();
    c.quantization = 2;
    c.num_coeffs = 3;
    c.coeff = zeros;
    c.reloadable = 1;
    EXPECT_EQ(Built(c).error, "Unable to scale coefficients to maximise dynamic range");
}

// ---------------------------------------------------------------- delay lines and patterns

TEST(SetUp, HilbertDelayLines)
{
    kip_fir_v6_3_config c = defaults();
    c.filter_type = 3;
    c.coeff_padding = 2;
    c.num_paths = 2;
    c.num_channels = 3;
    Built b(c);
    ASSERT_TRUE(b.ok()) << b.error;
    ASSERT_EQ(b.fir->hilbert_queue.size(), 2u);
    for (const auto& path : b.fir->hilbert_queue) {
        ASSERT_EQ(path.size(), 3u);
        for (const auto& line : path) {
            EXPECT_EQ(line.size(), 12u); // 10 + 2
            for (size_t i = 0; i < line.size(); ++i)
                EXPECT_EQ(line[i], 0.0);
        }
    }
    EXPECT_EQ(b.fir->dout_buffer.size(), 2u);
    EXPECT_EQ(b.fir->dout_buffer[1].size(), 3u);
}

TEST(SetUp, BasicSequenceIgnoresInitPattern)
{
    kip_fir_v6_3_config c = defaults();
    c.init_pattern = 3;
    Built b(c);
    ASSERT_TRUE(b.ok()) << b.error;
    EXPECT_EQ(b.fir->CurrentPattern, KIP_FIR_V6_3_PATTERN_NONE);
    EXPECT_EQ(b.fir->config.init_pattern, 3);
}

} // namespace
