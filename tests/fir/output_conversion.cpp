// Output conversion: the seven rounding rules in integer mode (dout_trim_mpz) and in double
// mode (the output context), the four get_chan forms, Hilbert pairing and the debug notes.
#include <gtest/gtest.h>

#include "fir_datapath_harness.h"

using namespace fir_test;

namespace {

// An integer-mode model (53-bit accumulator) whose output drops `drop` bits, rounded by `rule`.
kip_fir_v6_3_config integer_model(int rule, int drop, int data_fract = 0)
{
    kip_fir_v6_3_config c = defaults();
    c.reloadable = 1;
    c.coeff_width = 24;
    c.data_width = 24; // 24 + 24 + 5 = 53
    c.data_fract_width = data_fract;
    c.output_rounding = rule;
    c.output_width = rule == 0 ? 0 : 53 - drop;
    return c;
}

TEST(IntegerRounding, TableExamples)
{
    struct Row {
        int rule;
        long want[5];
    };
    // dout_scale 4; accumulators 6, 10, -6, 7, -7.
    const Row rows[]
        = { { 4, { 2, 2, -2, 2, -2 } }, { 1, { 1, 2, -2, 1, -2 } }, { 3, { 2, 3, -2, 2, -2 } } };
    for (const Row& r : rows) {
        Model m(integer_model(r.rule, 2));
        ASSERT_NE(m.h, nullptr);
        ASSERT_EQ(m.fir().dout_scale, 4.0);
        const long acc[5] = { 6, 10, -6, 7, -7 };
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(m.fir().dout_trim_mpz(mpz_class(acc[i])), r.want[i])
                << "rule " << r.rule << " accumulator " << acc[i];
    }
    Model full(integer_model(0, 0));
    const mpz_class big = (mpz_class(1) << 60) + 3;
    EXPECT_EQ(full.fir().dout_trim_mpz(big), big);
}

TEST(IntegerRounding, EveryRuleAgainstTheReference)
{
    for (int rule = 1; rule <= 7; ++rule) {
        Model m(integer_model(rule, 3));
        ASSERT_NE(m.h, nullptr);
        for (long x = -70; x <= 70; ++x) {
            const mpz_class arg(x);
            const mpz_class got = m.fir().dout_trim_mpz(arg);
            ASSERT_EQ(got, ref_round(arg, 3, rule)) << "rule " << rule << " accumulator " << x;
            ASSERT_EQ(arg, x); // argument unchanged
        }
        // Far beyond 64 bits.
        const mpz_class huge = -((mpz_class(1) << 90) + 4); // exactly -half below a multiple
        EXPECT_EQ(m.fir().dout_trim_mpz(huge), ref_round(huge, 3, rule)) << "rule " << rule;
    }
}

// Double mode: the output context rounds raw / dout_scale to the output grid with the same
// seven rules; raw values fed straight into the output FIFO.
TEST(DoubleRounding, EveryRuleAgainstTheReference)
{
    for (int rule = 1; rule <= 7; ++rule) {
        kip_fir_v6_3_config c = defaults(); // 24-bit accumulator
        c.output_rounding = rule;
        c.output_width = 21; // drops 3 bits: dout_scale 8, no fraction
        Model m(c);
        ASSERT_NE(m.h, nullptr);
        FIR& f = m.fir();
        ASSERT_EQ(f.dout_scale, 8.0);
        for (long x = -70; x <= 70; ++x) {
            f.dout_buffer[0][0].push_back(static_cast<double>(x));
            double got = 0;
            f.get_chan(got, 0, 0);
            ASSERT_EQ(got, ref_round(mpz_class(x), 3, rule).get_d())
                << "rule " << rule << " accumulator " << x;
        }
    }
    // With fraction bits the output keeps them: ofw = 4 + 4 - 5 = 3, dout_scale 1.
    kip_fir_v6_3_config c = defaults();
    c.coeff_fract_width = 4;
    c.data_fract_width = 4;
    c.output_rounding = 4;
    c.output_width = 23; // accumulator 28 bits
    Model m(c);
    ASSERT_NE(m.h, nullptr);
    FIR& f = m.fir();
    ASSERT_EQ(f.config.output_fract_width, 3);
    ASSERT_EQ(f.dout_scale, 1.0);
    const double raw[4] = { 0.1875, 0.3125, -0.1875, 100.0 / 256 }; // 1.5, 2.5, -1.5, 3.125 LSB
    const double want[4] = { 0.25, 0.25, -0.25, 0.375 };
    for (int i = 0; i < 4; ++i) {
        f.dout_buffer[0][0].push_back(raw[i]);
        double got = 0;
        f.get_chan(got, 0, 0);
        EXPECT_EQ(got, want[i]) << raw[i];
    }
}

TEST(DoubleRounding, OutputWrapsToTheOutputWidth)
{
    kip_fir_v6_3_config c = defaults();
    c.output_rounding = 1;
    c.output_width = 8; // 16 bits dropped from the 24-bit accumulator
    Model m(c);
    FIR& f = m.fir();
    f.dout_buffer[0][0].push_back(128.0 * 65536); // code 128 wraps to -128
    double got = 0;
    f.get_chan(got, 0, 0);
    EXPECT_EQ(got, -128.0);
}

// ---------------------------------------------------------------- the four get_chan forms

TEST(GetChan, FormsInIntegerMode)
{
    // ofw = 4 + 12 - (53 - 40) = 3.
    kip_fir_v6_3_config c = integer_model(4, 13, 12);
    c.coeff_fract_width = 4;
    Model m(c);
    ASSERT_NE(m.h, nullptr);
    FIR& f = m.fir();
    ASSERT_TRUE(f.use_mpz);
    ASSERT_EQ(f.config.output_fract_width, 3);
    const mpz_class raw = mpz_class(12) << 13; // trims to 12
    auto push = [&] { f.dout_buffer_mpz[0][0].push_back(raw); };

    push();
    double d = 0;
    f.get_chan(d, 0, 0);
    EXPECT_EQ(d, 1.5);
    push();
    kip_complex z { 9, 9 };
    f.get_chan(z, 0, 0);
    EXPECT_EQ(z.re, 1.5);
    EXPECT_EQ(z.im, 0.0);
    push();
    mpz_class q = 7;
    f.get_chan(q.get_mpz_t(), 0, 0);
    EXPECT_EQ(q, 12);
    push();
    kip_mpz_complex w;
    mpz_init_set_si(w.re, 5);
    mpz_init_set_si(w.im, 5);
    f.get_chan(w, 0, 0);
    EXPECT_EQ(mpz_get_si(w.re), 12);
    EXPECT_EQ(mpz_get_si(w.im), 0);
    mpz_clear(w.re);
    mpz_clear(w.im);
    EXPECT_TRUE(f.dout_buffer_mpz[0][0].empty());
}

TEST(GetChan, HilbertPairsTheDelayedInput)
{
    kip_fir_v6_3_config c = defaults();
    c.filter_type = 3;
    c.data_fract_width = 2;
    Model m(c);
    ASSERT_NE(m.h, nullptr);
    FIR& f = m.fir();
    FirFifo<double>& line = f.hilbert_queue[0][0];
    ASSERT_EQ(line.size(), 10u);
    line.clear();
    line.push_back(1.75);
    line.push_back(-0.25);
    f.dout_buffer[0][0].push_back(3.0);
    f.dout_buffer[0][0].push_back(-8.0);
    f.dout_buffer[0][0].push_back(5.0);

    kip_complex z {};
    f.get_chan(z, 0, 0);
    EXPECT_EQ(z.re, 1.75);
    EXPECT_EQ(z.im, 3.0); // outputs are real values (ofw 2)
    kip_mpz_complex w;
    mpz_init(w.re);
    mpz_init(w.im);
    f.get_chan(w, 0, 0);
    EXPECT_EQ(mpz_get_si(w.re), -1); // -0.25 * 2^2
    EXPECT_EQ(mpz_get_si(w.im), -32); // -8 in units of 2^-2
    mpz_clear(w.re);
    mpz_clear(w.im);
    // The real form leaves the delay line alone.
    double d = 0;
    f.get_chan(d, 0, 0);
    EXPECT_EQ(d, 5.0);
    EXPECT_TRUE(line.empty());
}

TEST(GetChan, DebugNotesOfTheIntegerFormsInDoubleMode)
{
    kip_fir_v6_3_config c = defaults();
    c.coeff_fract_width = 1; // ofw 1
    Model m(c, true);
    FIR& f = m.fir();
    ASSERT_EQ(f.config.output_fract_width, 1);
    m.dbg.messages.clear();
    f.dout_buffer[0][0].push_back(2.5);
    f.dout_buffer[0][0].push_back(-1.5);
    f.dout_buffer[0][0].push_back(7.0);
    f.dout_buffer[0][0].push_back(8.0);
    mpz_class q;
    f.get_chan(q.get_mpz_t(), 0, 0);
    EXPECT_EQ(q, 5);
    kip_mpz_complex w;
    mpz_init(w.re);
    mpz_init(w.im);
    f.get_chan(w, 0, 0);
    EXPECT_EQ(mpz_get_si(w.re), -3);
    mpz_clear(w.re);
    mpz_clear(w.im);
    double d;
    f.get_chan(d, 0, 0);
    kip_complex z;
    f.get_chan(z, 0, 0);
    EXPECT_EQ(m.dbg.texts(),
        (std::vector<std::string> {
            "tapforge_v6_3 NOTE: Out raw: 2.5",
            "tapforge_v6_3 NOTE: Out rounded: 2.5",
            "tapforge_v6_3 NOTE: Out scaled: 5",
            "tapforge_v6_3 NOTE: Out raw: -1.5",
            "tapforge_v6_3 NOTE: Out rounded: -3",
        }));
}

} // namespace
