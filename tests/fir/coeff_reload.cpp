// Coefficient quantisation (rounding, wrap, padding, zero packing, integer codes, listing) and
// coefficient reload packets (checks, warnings, refusals, private copies, application).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "fir_datapath_harness.h"

using namespace fir_test;

namespace {

kip_fir_v6_3_config with_taps(const std::vector<double>& taps)
{
    kip_fir_v6_3_config c = defaults();
    c.coeff = taps.data();
    c.num_coeffs = static_cast<int32_t>(taps.size());
    return c;
}

// ---------------------------------------------------------------- process_coeff

TEST(ProcessCoeff, RoundsToNearestWithHalvesTowardsZero)
{
    const std::vector<double> taps = { 2.5, -2.5, 2.6, -2.6, 0.49, 3, 0, -0.5 };
    Model m(with_taps(taps));
    ASSERT_NE(m.h, nullptr);
    EXPECT_EQ(
        m.fir().coeff_table, (std::vector<std::vector<double>> { { 2, -2, 3, -3, 0, 3, 0, 0 } }));

    // Two fraction bits: 0.625 is 2.5 codes.
    kip_fir_v6_3_config c = with_taps({ 0.625, -0.625, 0.65, -0.7, 0.125 });
    const std::vector<double> t2 = { 0.625, -0.625, 0.65, -0.7, 0.125 };
    c.coeff = t2.data();
    c.coeff_fract_width = 2;
    Model f(c);
    ASSERT_NE(f.h, nullptr);
    EXPECT_EQ(f.fir().coeff_table,
        (std::vector<std::vector<double>> { { 0.5, -0.5, 0.75, -0.75, 0.0 } }));
}

TEST(ProcessCoeff, WrapsCodesOutsideTheCoefficientWidth)
{
    const std::vector<double> taps = { 9, -9, 7, 8, -8 };
    kip_fir_v6_3_config c = with_taps(taps);
    c.coeff_width = 4;
    Model m(c);
    ASSERT_NE(m.h, nullptr);
    EXPECT_EQ(m.fir().coeff_table, (std::vector<std::vector<double>> { { -7, 7, 7, -8, -8 } }));
}

TEST(ProcessCoeff, PaddingAndZeroPacking)
{
    const std::vector<double> taps = { 5, 7 };
    kip_fir_v6_3_config c = with_taps(taps);
    c.filter_type = 4;
    c.zero_pack_factor = 3;
    {
        Model m(c);
        ASSERT_NE(m.h, nullptr);
        EXPECT_EQ(m.fir().coeff_table, (std::vector<std::vector<double>> { { 5, 0, 0, 7, 0, 0 } }));
    }
    c.coeff_padding = 1;
    {
        Model m(c);
        ASSERT_NE(m.h, nullptr);
        EXPECT_EQ(m.fir().coeff_table,
            (std::vector<std::vector<double>> { { 0, 0, 0, 5, 0, 0, 7, 0, 0 } }));
    }
    // Other filter types ignore zero_pack_factor: padding only.
    c.filter_type = 0;
    c.coeff_padding = 2;
    Model m(c);
    ASSERT_NE(m.h, nullptr);
    EXPECT_EQ(m.fir().coeff_table, (std::vector<std::vector<double>> { { 0, 0, 5, 7 } }));
}

TEST(ProcessCoeff, SetsAreReadOneAfterAnother)
{
    const std::vector<double> taps = { 1, 2, 3, 4, 5, 6 };
    kip_fir_v6_3_config c = with_taps(taps);
    c.num_coeffs = 2;
    c.coeff_sets = 3;
    Model m(c, true);
    ASSERT_NE(m.h, nullptr);
    EXPECT_EQ(
        m.fir().coeff_table, (std::vector<std::vector<double>> { { 1, 2 }, { 3, 4 }, { 5, 6 } }));
    // The listing counts taps within each set.
    std::vector<std::string> listing;
    for (const auto& t : m.dbg.texts())
        if (t.find("Coeff[") != std::string::npos)
            listing.push_back(t);
    EXPECT_EQ(listing,
        (std::vector<std::string> { "tapforge_v6_3 NOTE:  Coeff[0] : 1",
            "tapforge_v6_3 NOTE:  Coeff[1] : 2", "tapforge_v6_3 NOTE:  Coeff[0] : 3",
            "tapforge_v6_3 NOTE:  Coeff[1] : 4", "tapforge_v6_3 NOTE:  Coeff[0] : 5",
            "tapforge_v6_3 NOTE:  Coeff[1] : 6" }));
}

TEST(ProcessCoeff, IntegerModeHoldsCodesAndDynamicRangeScaling)
{
    // Integer mode with three fraction bits: coeff_scale carries 2^3, the table holds codes.
    const std::vector<double> taps = { 1.25, -0.375, 0.0625, 0.07, -0.0625 };
    kip_fir_v6_3_config c = with_taps(taps);
    c.reloadable = 1;
    c.coeff_width = 30;
    c.data_width = 30;
    c.coeff_fract_width = 3;
    Model m(c, true);
    ASSERT_NE(m.h, nullptr);
    ASSERT_TRUE(m.fir().use_mpz);
    EXPECT_EQ(m.fir().coeff_table, (std::vector<std::vector<double>> { { 10, -3, 0, 1, 0 } }));
    EXPECT_EQ(m.dbg.texts().back(), "tapforge_v6_3 NOTE:  Coeff[4] : 0");

    // Maximised dynamic range: the most negative tap reaches the most negative code.
    const std::vector<double> q = { 0.5, -1.0, 0.25 };
    kip_fir_v6_3_config d = with_taps(q);
    d.quantization = 2;
    Model n(d);
    ASSERT_NE(n.h, nullptr);
    EXPECT_EQ(n.fir().coeff_scale, 32768.0);
    EXPECT_EQ(n.fir().coeff_table, (std::vector<std::vector<double>> { { 16384, -32768, 8192 } }));
}

// ---------------------------------------------------------------- reload_send

struct Reloadable {
    std::vector<double> taps;
    kip_fir_v6_3_config cfg;
    explicit Reloadable(int sets, int n = 4)
        : taps(static_cast<size_t>(sets * n), 1.0)
    {
        cfg = with_taps(taps);
        cfg.num_coeffs = n;
        cfg.coeff_sets = sets;
        cfg.reloadable = 1;
    }
};

kip_fir_v6_3_rld_packet packet(int32_t fsel, kip_array_real* coeff)
{
    kip_fir_v6_3_rld_packet p;
    p.fsel = fsel;
    p.coeff = coeff;
    return p;
}

TEST(Reload, NotNeededWithoutReloadableCoefficients)
{
    Model m(defaults());
    auto a = make_array<kip_array_real>({ 21 });
    const kip_fir_v6_3_rld_packet p = packet(0, a.get());
    EXPECT_EQ(kip_fir_v6_3_reload_send(m.h, &p), 0);
    EXPECT_EQ(m.log.messages,
        (std::vector<FirMessage> { { 0,
            "tapforge_v6_3 WARNING: Ignoring reload packet as not "
            "required for model configuration" } }));
    EXPECT_TRUE(m.fir().rld_queue.empty());
    EXPECT_EQ(kip_fir_v6_3_reload_send(m.h, nullptr), 1);
    EXPECT_EQ(kip_fir_v6_3_reload_send(nullptr, &p), 1);
    EXPECT_EQ(m.log.messages.size(), 1u);
}

TEST(Reload, SelectorRange)
{
    Reloadable r(4);
    Model m(r.cfg);
    ASSERT_NE(m.h, nullptr);
    auto a = make_array<kip_array_real>({ 4 });
    kip_fir_v6_3_rld_packet p = packet(4, a.get());
    EXPECT_EQ(kip_fir_v6_3_reload_send(m.h, &p), 1);
    p.fsel = -1;
    EXPECT_EQ(kip_fir_v6_3_reload_send(m.h, &p), 1);
    EXPECT_EQ(m.log.texts(),
        (std::vector<std::string> {
            "tapforge_v6_3 WARNING: Invalid reload fsel, 4, ignoring packet",
            "tapforge_v6_3 WARNING: Invalid reload fsel, 4294967295, ignoring packet" }));
    EXPECT_TRUE(m.fir().rld_queue.empty());
    p.fsel = 3;
    EXPECT_EQ(kip_fir_v6_3_reload_send(m.h, &p), 0);
    ASSERT_EQ(m.fir().rld_queue.size(), 1u);
    EXPECT_EQ(m.fir().rld_queue[0].fsel, 3);

    // With one set every selector is accepted and queued as set 0.
    Reloadable one(1);
    Model s(one.cfg);
    p.fsel = 7;
    EXPECT_EQ(kip_fir_v6_3_reload_send(s.h, &p), 0);
    ASSERT_EQ(s.fir().rld_queue.size(), 1u);
    EXPECT_EQ(s.fir().rld_queue[0].fsel, 0);
    EXPECT_TRUE(s.log.messages.empty());
}

TEST(Reload, MalformedArraysAreRefused)
{
    Reloadable r(2, 21);
    Model m(r.cfg);
    ASSERT_NE(m.h, nullptr);
    auto expect_error = [&](const kip_fir_v6_3_rld_packet& p, const std::string& text) {
        m.log.messages.clear();
        EXPECT_EQ(kip_fir_v6_3_reload_send(m.h, &p), 1) << text;
        EXPECT_EQ(
            m.log.messages, (std::vector<FirMessage> { { 1, "tapforge_v6_3 ERROR: " + text } }));
        EXPECT_TRUE(m.fir().rld_queue.empty()) << text;
    };
    auto two_d = make_array<kip_array_real>({ 21, 1 });
    expect_error(packet(0, two_d.get()), "Expecting 1-D array for coeff");
    auto short_a = make_array<kip_array_real>({ 20 });
    expect_error(packet(0, short_a.get()), "Insufficient coeff values specified, expecting21");
    // Storage shorter than the stated length is not read.
    auto hollow = make_array<kip_array_real>({ 21 });
    hollow->data_size = 10;
    expect_error(
        packet(0, hollow.get()), "Coeff array holds fewer values than its dimension states");
    auto bad = make_array<kip_array_real>({ 21 });
    for (size_t i = 0; i < 21; ++i)
        bad->data[i] = 1.0;
    bad->data[20] = std::numeric_limits<double>::quiet_NaN();
    expect_error(packet(0, bad.get()), "Coefficient values must be finite");

    // No array, or no dimensions: refused with a warning and nothing read.
    m.log.messages.clear();
    const kip_fir_v6_3_rld_packet none = packet(1, nullptr);
    EXPECT_EQ(kip_fir_v6_3_reload_send(m.h, &none), 1);
    auto no_dims = kip_fir::make_owned_array<kip_array_real>();
    no_dims->data_size = 21; // no data or dim storage behind these claims
    no_dims->dim_size = 1;
    const kip_fir_v6_3_rld_packet hollow_dims = packet(1, no_dims.get());
    EXPECT_EQ(kip_fir_v6_3_reload_send(m.h, &hollow_dims), 1);
    no_dims->dim_size = 0;
    EXPECT_EQ(kip_fir_v6_3_reload_send(m.h, &hollow_dims), 1);
    EXPECT_EQ(m.log.texts(),
        (std::vector<std::string> {
            "tapforge_v6_3 WARNING: Reload packet has no coeff array, ignoring packet",
            "tapforge_v6_3 WARNING: Reload coeff array has no dimensions, ignoring packet",
            "tapforge_v6_3 WARNING: Reload coeff array has no dimensions, ignoring packet" }));
    EXPECT_TRUE(m.fir().rld_queue.empty());
}

TEST(Reload, QueuesAPrivateCopyOfTheFirstValues)
{
    Reloadable r(2, 3);
    Model m(r.cfg);
    ASSERT_NE(m.h, nullptr);
    {
        auto a = make_array<kip_array_real>({ 5 });
        for (size_t i = 0; i < 5; ++i)
            a->data[i] = 10.0 + static_cast<double>(i);
        const kip_fir_v6_3_rld_packet p = packet(1, a.get());
        EXPECT_EQ(kip_fir_v6_3_reload_send(m.h, &p), 0);
        a->data[0] = -99; // the caller's array changes, then goes away
    }
    EXPECT_EQ(m.log.texts(),
        (std::vector<std::string> { "tapforge_v6_3 WARNING: More coeff values "
                                    "specified than required, will use first 3" }));
    ASSERT_EQ(m.fir().rld_queue.size(), 1u);
    const kip_array_real& copy = *m.fir().rld_queue[0].coeff;
    EXPECT_EQ(copy.dim_size, 1u);
    EXPECT_EQ(copy.dim[0], 3u);
    EXPECT_EQ(copy.data_size, 3u);
    EXPECT_EQ(std::vector<double>(copy.data, copy.data + 3), (std::vector<double> { 10, 11, 12 }));
}

TEST(Reload, AppliedInOrderWithoutTouchingTheKernels)
{
    Reloadable r(2, 3);
    Model m(r.cfg);
    ASSERT_NE(m.h, nullptr);
    auto a = make_array<kip_array_real>({ 3 });
    const double first[3] = { 2.5, 3, 4 }, second[3] = { -5, 6.6, 7 };
    for (const double* v : { first, second }) {
        std::copy(v, v + 3, a->data);
        const kip_fir_v6_3_rld_packet p = packet(1, a.get());
        ASSERT_EQ(kip_fir_v6_3_reload_send(m.h, &p), 0);
    }
    ASSERT_EQ(m.fir().rld_queue.size(), 2u);
    m.fir().apply_reloads();
    EXPECT_TRUE(m.fir().rld_queue.empty());
    EXPECT_EQ(
        m.fir().coeff_table, (std::vector<std::vector<double>> { { 1, 1, 1 }, { -5, 7, 7 } }));
    // Kernels change only when a configuration point selects the set.
    EXPECT_EQ(m.fir().filters[0][0].getCoefficients(), (std::vector<double> { 1, 1, 1 }));
}

TEST(Reload, PendingReloadsAreReleasedWithTheModel)
{
    Reloadable r(3, 8);
    auto a = make_array<kip_array_real>({ 8 });
    {
        Model m(r.cfg);
        for (int s = 0; s < 3; ++s) {
            const kip_fir_v6_3_rld_packet p = packet(s, a.get());
            ASSERT_EQ(kip_fir_v6_3_reload_send(m.h, &p), 0);
        }
        EXPECT_EQ(m.fir().rld_queue.size(), 3u);
    } // destroy with three copies queued: the leak checker of the sanitizer build watches this
}

} // namespace
