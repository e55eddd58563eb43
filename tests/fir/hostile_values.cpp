// Values the model cannot represent, sizes beyond its limits and records a caller fills only in
// part: refused when they come in (status 1, one message naming the value and where), with the
// model left usable and nothing queued or waiting lost; zero fields a filter type does not use
// are accepted.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "fir_datapath_harness.h"

using namespace fir_test;

namespace {

const double kNan = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// Integer mode (accumulator 16 + 45 + 5 = 66 bits) with 40 input fraction bits.
kip_fir_v6_3_config integer_mode()
{
    kip_fir_v6_3_config c = defaults();
    c.reloadable = 1;
    c.data_width = 45;
    c.data_fract_width = 40;
    return c;
}

std::vector<double> collect(Model& m, size_t vectors)
{
    auto out = make_array<kip_array_real>({ 1, 1, vectors });
    EXPECT_EQ(kip_fir_v6_3_data_get(m.h, out.get(), nullptr), 0);
    return std::vector<double>(out->data, out->data + out->data_size);
}

// The one error message of a refused call; clears the log.
std::string refusal(Model& m)
{
    EXPECT_EQ(m.log.messages.size(), 1u);
    if (m.log.messages.empty())
        return "";
    const FirMessage msg = m.log.messages.back();
    m.log.messages.clear();
    EXPECT_EQ(msg.error, 1);
    return msg.text;
}

// Sends {1, 2, bad, 3}: refused with nothing fed, then {1, 2, 3} goes through and gives the
// outputs of a fresh model.
void expect_sample_refused(const kip_fir_v6_3_config& c, double bad, const std::string& shown)
{
    SCOPED_TRACE("sample " + shown);
    Model m(c), fresh(c);
    ASSERT_NE(m.h, nullptr);
    auto frame = make_array<kip_array_real>({ 1, 1, 4 });
    const double values[4] = { 1, 2, bad, 3 };
    std::copy(values, values + 4, frame->data);
    m.log.messages.clear();
    EXPECT_EQ(kip_fir_v6_3_data_send(m.h, frame.get()), 1);
    const std::string text = refusal(m);
    EXPECT_NE(text.find(shown), std::string::npos) << text;
    EXPECT_NE(text.find("vector: 2"), std::string::npos) << text;
    EXPECT_EQ(m.waiting(0, 0), 0u);

    auto chan = make_array<kip_array_real>({ 1 });
    chan->data[0] = bad;
    EXPECT_EQ(kip_fir_v6_3_data_send_channel(m.h, chan.get()), 1);
    EXPECT_NE(refusal(m).find(shown), std::string::npos);
    EXPECT_EQ(m.fir().chanCountIn, 0);

    auto good = make_array<kip_array_real>({ 1, 1, 3 });
    good->data[0] = 1, good->data[1] = 2, good->data[2] = 3;
    ASSERT_EQ(kip_fir_v6_3_data_send(m.h, good.get()), 0);
    ASSERT_EQ(kip_fir_v6_3_data_send(fresh.h, good.get()), 0);
    EXPECT_EQ(collect(m, 3), collect(fresh, 3));
}

TEST(HostileSamples, NonFiniteOrUnscalableSamplesAreRefusedInEitherMode)
{
    const kip_fir_v6_3_config im = integer_mode();
    expect_sample_refused(im, kNan, "nan");
    expect_sample_refused(im, kInf, "inf");
    expect_sample_refused(im, -kInf, "-inf");
    expect_sample_refused(im, 1e300, "1e+300"); // finite, but 1e300 * 2^40 is not
    const kip_fir_v6_3_config dm = defaults();
    expect_sample_refused(dm, kNan, "nan");
    expect_sample_refused(dm, -kInf, "-inf");
    // Large finite samples that scale to a finite code wrap as before.
    Model m(dm);
    auto frame = make_array<kip_array_real>({ 1, 1, 1 });
    frame->data[0] = 1e300;
    EXPECT_EQ(kip_fir_v6_3_data_send(m.h, frame.get()), 0);
}

TEST(HostileSamples, GmpOutputsStayFiniteInDoubleMode)
{
    // A NaN used to pass into the FIFO and reach mpz_set_d when collected as integers.
    Model m(defaults());
    auto frame = make_array<kip_array_real>({ 1, 1, 2 });
    frame->data[0] = kNan;
    frame->data[1] = 5;
    EXPECT_EQ(kip_fir_v6_3_data_send(m.h, frame.get()), 1);
    frame->data[0] = 1;
    ASSERT_EQ(kip_fir_v6_3_data_send(m.h, frame.get()), 0);
    auto out = make_array<kip_array_mpz>({ 1, 1, 2 });
    ASSERT_EQ(kip_fir_v6_3_data_get_mpz(m.h, out.get(), nullptr), 0);
    EXPECT_EQ(mpz_get_si(out->data[0]), 6);
    EXPECT_EQ(mpz_get_si(out->data[1]), 5 * 6 + 0);
}

// ---------------------------------------------------------------- coefficients

kip_fir_v6_3_config reloadable_fract1(const double* taps, int n)
{
    kip_fir_v6_3_config c = defaults();
    c.reloadable = 1;
    c.coeff_fract_width = 1;
    c.coeff = taps;
    c.num_coeffs = n;
    return c;
}

TEST(HostileCoefficients, UnquantisableCoefficientRefusedAtCreation)
{
    const double taps[3] = { 1, 1e308, 2 }; // 1e308 * 2 has no code
    FirMessageLog log;
    kip_fir_v6_3_config c = reloadable_fract1(taps, 3);
    EXPECT_EQ(kip_fir_v6_3_create(&c, &FirMessageLog::record_message, &log), nullptr);
    ASSERT_EQ(log.messages.size(), 1u);
    EXPECT_EQ(log.messages[0].text,
        "Coefficient value 1e+308 of set 0, index 1 cannot be quantised to the coefficient "
        "format");
    // The same in integer mode, where the scaling includes 2^coeff_fract_width.
    c.data_width = 40;
    log.messages.clear();
    EXPECT_EQ(kip_fir_v6_3_create(&c, &FirMessageLog::record_message, &log), nullptr);
    ASSERT_FALSE(log.messages.empty()); // after the integer-mode warnings
    EXPECT_EQ(log.messages.back().error, 1);
    EXPECT_NE(log.messages.back().text.find("1e+308"), std::string::npos);
}

// A reload that cannot be quantised is refused when sent; an earlier reload stays queued and
// the model (reset included) keeps working, in both arithmetic modes.
void expect_reload_refused(kip_fir_v6_3_config c)
{
    const double taps[3] = { 1, 2, 3 };
    c.coeff = taps;
    c.num_coeffs = 3;
    Model m(c);
    ASSERT_NE(m.h, nullptr);
    m.log.messages.clear();
    auto good = make_array<kip_array_real>({ 3 });
    good->data[0] = 4, good->data[1] = 0, good->data[2] = 0;
    kip_fir_v6_3_rld_packet rld { 0, good.get() };
    ASSERT_EQ(kip_fir_v6_3_reload_send(m.h, &rld), 0);
    auto bad = make_array<kip_array_real>({ 3 });
    bad->data[0] = 1, bad->data[1] = 2, bad->data[2] = 1e308;
    rld.coeff = bad.get();
    EXPECT_EQ(kip_fir_v6_3_reload_send(m.h, &rld), 1);
    EXPECT_EQ(refusal(m),
        "tapforge_v6_3 ERROR: Coefficient value 1e+308 of reload packet for set 0, index 2 "
        "cannot be quantised to the coefficient format");
    EXPECT_EQ(m.fir().rld_queue.size(), 1u);

    // Apply the good reload: a configuration packet selects set 0 at the first input.
    auto fsel = make_array<kip_array_uint>({ 1 });
    fsel->data[0] = 0;
    kip_fir_v6_3_cnfg_packet cnfg { KIP_FIR_V6_3_PATTERN_NONE, fsel.get() };
    ASSERT_EQ(kip_fir_v6_3_config_send(m.h, &cnfg), 0);
    auto frame = make_array<kip_array_real>({ 1, 1, 2 });
    frame->data[0] = 1, frame->data[1] = 1;
    ASSERT_EQ(kip_fir_v6_3_data_send(m.h, frame.get()), 0);
    auto ints = make_array<kip_array_mpz>({ 1, 1, 2 });
    ASSERT_EQ(kip_fir_v6_3_data_get_mpz(m.h, ints.get(), nullptr), 0);
    const double lsb = std::ldexp(1.0, m.fir().config.output_fract_width);
    EXPECT_EQ(mpz_get_d(ints->data[0]), 4 * lsb);
    EXPECT_EQ(kip_fir_v6_3_reset(m.h), 0);
    EXPECT_EQ(kip_fir_v6_3_data_send(m.h, frame.get()), 0);
    EXPECT_EQ(kip_fir_v6_3_reset(m.h), 0);
    EXPECT_TRUE(m.log.messages.empty());
}

TEST(HostileCoefficients, UnquantisableReloadRefusedWhenSent)
{
    kip_fir_v6_3_config c = reloadable_fract1(nullptr, 0);
    expect_reload_refused(c); // double mode
    c.data_width = 40; // 16 + 40 + 2 = 58 bits: integer mode
    expect_reload_refused(c);
}

TEST(HostileCoefficients, ValuesBeyondTheDoubleRangeRefusedAtCreation)
{
    // Quantised coefficients of 2^1000 times their code overflow once multiplied by samples.
    kip_fir_v6_3_config c = defaults();
    c.reloadable = 1;
    c.coeff_fract_width = -1000;
    const double big[1] = { std::ldexp(3.0, 1000) };
    c.coeff = big;
    c.num_coeffs = 1;
    Model m(c);
    EXPECT_EQ(m.h, nullptr);
    ASSERT_EQ(m.log.messages.size(), 1u);
    EXPECT_EQ(m.log.messages[0].text,
        "Coefficient and data fractional widths put the accumulator outside the double "
        "range (2^1031)");
    // Output fraction of 1023 + 16 bits: 2^output_fract_width is not a double.
    c = defaults();
    c.coeff_fract_width = 1023;
    c.data_fract_width = 16;
    c.reloadable = 1;
    const double tiny[1] = { std::ldexp(1.0, -1020) };
    c.coeff = tiny;
    Model f(c);
    EXPECT_EQ(f.h, nullptr);
    ASSERT_EQ(f.log.messages.size(), 1u);
    EXPECT_EQ(f.log.messages[0].text, "Invalid output fractional width 1039 (at most 1023)");
}

// ---------------------------------------------------------------- sizes and formats

TEST(HostileSizes, VectorCountsBeyond32BitsAreNotTruncated)
{
    Model m(defaults());
    for (size_t vectors : { (size_t(1) << 32) + 1, size_t(1) << 32 }) {
        auto frame = make_array<kip_array_real>({ 1, 1, 1 });
        frame->dim[2] = vectors;
        frame->data[0] = 7;
        m.log.messages.clear();
        EXPECT_EQ(kip_fir_v6_3_data_send(m.h, frame.get()), 1) << vectors;
        EXPECT_EQ(refusal(m),
            "tapforge_v6_3 ERROR: Data array holds fewer samples than its dimensions imply");
        EXPECT_EQ(m.waiting(0, 0), 0u);
    }
    // calc_size counts all 64 bits too.
    auto in = make_array<kip_array_real>({ 1, 1, 1 });
    in->dim[2] = (size_t(1) << 32) + 1;
    auto out = make_array<kip_array_real>({ 1, 1, 1 });
    ASSERT_EQ(kip_fir_v6_3_calc_size(m.h, in.get(), out.get(), nullptr), 0);
    EXPECT_EQ(out->dim[2], (size_t(1) << 32) + 1);
}

TEST(HostileSizes, CoefficientTablesBeyondTheLimitAreRefusedBeforeAllocation)
{
    kip_fir_v6_3_config c = defaults();
    c.coeff_padding = INT32_MAX;
    Model a(c);
    EXPECT_EQ(a.h, nullptr);
    ASSERT_EQ(a.log.messages.size(), 1u);
    EXPECT_EQ(a.log.messages[0].text,
        "Invalid coeff_padding 2147483647: a padded coefficient set of 2147483668 taps "
        "exceeds the limit of 4194304 taps");
    c.coeff_padding = 1 << 22;
    c.num_paths = 16;
    c.num_channels = 64;
    Model b(c);
    EXPECT_EQ(b.h, nullptr);
    ASSERT_EQ(b.log.messages.size(), 1u);
    EXPECT_EQ(b.log.messages[0].text,
        "Invalid coeff_padding 4194304: a padded coefficient set of 4194325 taps exceeds "
        "the limit of 4194304 taps");
    c.coeff_padding = 1 << 20; // within one set's limit, but 1024 kernels of it are not
    Model d(c);
    EXPECT_EQ(d.h, nullptr);
    ASSERT_EQ(d.log.messages.size(), 1u);
    EXPECT_EQ(d.log.messages[0].text,
        "Coefficient tables too large: (coeff_sets + num_paths * num_channels) * 1048597 "
        "taps exceeds the limit of 33554432");
    // Zero packing multiplies the padding.
    c = defaults();
    c.filter_type = 4;
    c.zero_pack_factor = 8;
    c.coeff_padding = 1 << 19;
    Model z(c);
    EXPECT_EQ(z.h, nullptr);
    // A long single filter passes.
    c = defaults();
    c.coeff_padding = 100000;
    Model ok(c);
    EXPECT_NE(ok.h, nullptr);
}

TEST(HostileFormats, ZeroOutputWidthWithRoundingRefusedInBothModes)
{
    for (bool integer : { false, true }) {
        kip_fir_v6_3_config c = integer ? integer_mode() : defaults();
        c.data_fract_width = 0;
        c.output_rounding = 1;
        c.output_width = 0;
        Model m(c);
        EXPECT_EQ(m.h, nullptr) << integer;
        ASSERT_FALSE(m.log.messages.empty());
        EXPECT_EQ(m.log.messages.back().text, "Bad format specified (IFIX_0_0)") << integer;
    }
}

// ---------------------------------------------------------------- fields a filter type ignores

std::string created(const kip_fir_v6_3_config& c, kip_fir_v6_3_config* got = nullptr)
{
    Model m(c);
    if (!m.h)
        return m.log.messages.empty() ? "?" : m.log.messages.back().text;
    if (got)
        kip_fir_v6_3_get_config(m.h, got);
    return "";
}

TEST(UnusedFields, ZeroPackFactorZeroOnlyRefusedForZeroPacking)
{
    for (int type = 0; type <= 3; ++type) {
        kip_fir_v6_3_config c = defaults(), got {};
        c.filter_type = type;
        c.zero_pack_factor = 0;
        EXPECT_EQ(created(c, &got), "") << type;
        EXPECT_EQ(got.zero_pack_factor, 1) << type;
    }
    kip_fir_v6_3_config c = defaults();
    c.filter_type = 4;
    c.zero_pack_factor = 0;
    EXPECT_EQ(created(c), "Zero packing factor must be at least 1");
}

TEST(UnusedFields, ZeroRatesRefusedOnlyWhereRead)
{
    struct Row {
        int type, change, reloadable, interp, decim;
        const char* error;
    };
    const Row rows[] = {
        // Kept by the filter type or read by the kernel (rate_change 1).
        { 1, 0, 1, 0, 1, "Invalid Filter rate" },
        { 2, 0, 1, 1, 0, "Invalid Filter rate" },
        { 1, 1, 1, 1, 0, "Invalid Filter rate" },
        { 0, 1, 1, 1, 0, "Invalid Filter rate" },
        // Read by the accumulator width of a model that is not reloadable (per-phase sums).
        { 0, 0, 0, 0, 1, "Invalid Filter rate" },
        { 2, 0, 0, 0, 3, "Invalid Filter rate" },
        // Not read: accepted, and reported as 1.
        { 0, 0, 1, 0, 0, "" },
        { 3, 0, 1, 0, 0, "" },
        { 4, 0, 1, 0, 0, "" },
        { 0, 0, 0, 1, 0, "" },
        { 1, 0, 0, 2, 0, "" },
        { 2, 0, 1, 0, 3, "" },
    };
    for (const Row& r : rows) {
        kip_fir_v6_3_config c = defaults(), got {};
        c.filter_type = r.type;
        c.rate_change = r.change;
        c.reloadable = r.reloadable;
        c.interp_rate = r.interp;
        c.decim_rate = r.decim;
        EXPECT_EQ(created(c, &got), r.error) << r.type << " " << r.change << " " << r.reloadable
                                             << " " << r.interp << " " << r.decim;
        if (*r.error == 0) {
            EXPECT_NE(got.interp_rate, 0);
            EXPECT_NE(got.decim_rate, 0);
        }
    }
}

// ---------------------------------------------------------------- output array sizes

TEST(HostileOutputArrays, DataSizeNeverExceedsCapacity)
{
    Model m(defaults()); // 21 taps, default is fine: one output per input
    auto frame = make_array<kip_array_real>({ 1, 1, 4 });
    for (int i = 0; i < 4; ++i)
        frame->data[i] = i + 1;
    ASSERT_EQ(kip_fir_v6_3_data_send(m.h, frame.get()), 0);
    m.log.messages.clear();

    auto out = kip_fir::make_owned_array<kip_array_real>();
    kip_fir::array_reserve_dim(*out, 3);
    kip_fir::array_reserve_data(*out, 2);
    out->dim_size = 3;
    out->dim[0] = 1, out->dim[1] = 1, out->dim[2] = 5;
    out->data[0] = -1, out->data[1] = -1;
    EXPECT_EQ(kip_fir_v6_3_data_get(m.h, out.get(), nullptr), 1);
    EXPECT_EQ(refusal(m), "tapforge_v6_3 ERROR: Unabled to set data for path: 0 chan: 0 vector: 2");
    EXPECT_LE(out->data_size, out->data_capacity);
    EXPECT_EQ(out->dim[2], 5u); // refused before anything changed
    EXPECT_EQ(out->data[0], -1.0);
    EXPECT_EQ(m.waiting(0, 0), 4u);

    // The same collection into room for all four goes through.
    kip_fir::array_reserve_data(*out, 5);
    EXPECT_EQ(kip_fir_v6_3_data_get(m.h, out.get(), nullptr), 0);
    EXPECT_EQ(out->dim[2], 4u);
    EXPECT_EQ(out->data_size, 4u);
    EXPECT_EQ(out->data[0], 6.0);
}

} // namespace
