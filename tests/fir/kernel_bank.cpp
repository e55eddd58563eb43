// Construction of the data path: kernel bank shape and rates, the change-configuration handler,
// the initial channel pattern.
#include <gtest/gtest.h>

#include "fir_datapath_harness.h"

using namespace fir_test;

namespace {

TEST(KernelBank, OneKernelPerPathAndChannelOfTheChosenArithmetic)
{
    kip_fir_v6_3_config c = defaults();
    c.num_paths = 3;
    c.num_channels = 5;
    c.coeff_padding = 1;
    Model m(c);
    ASSERT_NE(m.h, nullptr);
    FIR& f = m.fir();
    ASSERT_EQ(f.filters.size(), 3u);
    EXPECT_TRUE(f.filters_mpz.empty());
    for (size_t p = 0; p < 3; ++p) {
        ASSERT_EQ(f.filters[p].size(), 5u);
        for (size_t ch = 0; ch < 5; ++ch) {
            const auto& k = f.filters[p][ch];
            EXPECT_EQ(k.getCoefficients(), f.coeff_table[0]);
            EXPECT_EQ(k.getCoefficients().size(), 22u);
            // Only kernel [0][0] signals configuration points, to this model.
            if (p == 0 && ch == 0) {
                EXPECT_EQ(k.getChangeConfigHandler(), &FIR::call_cnfg_sync);
                EXPECT_EQ(k.getChangeConfigArg(), static_cast<void*>(&f));
            } else {
                EXPECT_EQ(k.getChangeConfigHandler(), nullptr) << p << "," << ch;
            }
        }
    }

    c.reloadable = 1;
    c.coeff_width = 30;
    c.data_width = 30;
    Model z(c);
    ASSERT_NE(z.h, nullptr);
    ASSERT_TRUE(z.fir().use_mpz);
    EXPECT_TRUE(z.fir().filters.empty());
    ASSERT_EQ(z.fir().filters_mpz.size(), 3u);
    EXPECT_EQ(z.fir().filters_mpz[2].size(), 5u);
    EXPECT_EQ(z.fir().filters_mpz[0][0].getChangeConfigHandler(), &FIR::call_cnfg_sync);
    EXPECT_EQ(z.fir().filters_mpz[1][0].getChangeConfigHandler(), nullptr);
}

TEST(KernelBank, RatesComeFromTheCallersRecord)
{
    struct Row {
        int type, change, interp, decim, L, M;
    };
    const Row rows[] = {
        { 2, 0, 5, 3, 1, 3 }, // decimating: interp_rate ignored
        { 1, 0, 4, 9, 4, 1 }, // interpolating: decim_rate ignored
        { 0, 1, 3, 2, 3, 2 }, // single rate, but fractional rates given: the kernel uses them
        { 4, 0, 3, 7, 1, 1 }, // zero-packed
        { 2, 1, 2, 5, 2, 5 },
    };
    for (const Row& r : rows) {
        kip_fir_v6_3_config c = defaults();
        c.filter_type = r.type;
        c.rate_change = r.change;
        c.interp_rate = r.interp;
        c.decim_rate = r.decim;
        Model m(c);
        ASSERT_NE(m.h, nullptr) << r.type;
        EXPECT_EQ(m.fir().filters[0][0].getRateNumerator(), r.L) << "type " << r.type;
        EXPECT_EQ(m.fir().filters[0][0].getRateDenominator(), r.M) << "type " << r.type;
    }
}

TEST(ChannelPattern, InvalidInitialPatternIsReplacedWithAWarning)
{
    kip_fir_v6_3_config c = defaults();
    c.chan_seq = 1;
    c.num_channels = 12;
    c.init_pattern = 5; // a 6-slot pattern
    Model m(c);
    ASSERT_NE(m.h, nullptr);
    EXPECT_EQ(m.log.texts(),
        (std::vector<std::string> { "tapforge_v6_3 WARNING: Channel pattern ID is invalid for "
                                    "specified number of channels, using default value" }));
    EXPECT_EQ(m.fir().CurrentPattern, 27);
    kip_fir_v6_3_config out;
    ASSERT_EQ(kip_fir_v6_3_get_config(m.h, &out), 0);
    EXPECT_EQ(out.init_pattern, 27);

    c.init_pattern = 53; // last 12-slot pattern: kept
    Model k(c);
    EXPECT_TRUE(k.log.messages.empty());
    EXPECT_EQ(k.fir().CurrentPattern, 53);
}

} // namespace
