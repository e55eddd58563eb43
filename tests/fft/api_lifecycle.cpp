// Records, default generics and the state lifecycle through the C interface.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "kfft_test_util.h"
#include "kfft_v8_0_bitacc_cmodel.h"

using kfft_test::capture_stderr;
using kfft_test::lines_of;

namespace {

using Generics = kelvar_ip_kfft_v8_0_generics;

TEST(Records, LayoutIsNaturallyAligned)
{
    EXPECT_EQ(sizeof(Generics), 36u);
    EXPECT_EQ(offsetof(Generics, C_NFFT_MAX), 0u);
    EXPECT_EQ(offsetof(Generics, C_USE_FLT_PT), 12u);
    EXPECT_EQ(offsetof(Generics, C_HAS_ROUNDING), 32u);

    using In = kelvar_ip_kfft_v8_0_inputs;
    EXPECT_EQ(offsetof(In, nfft), 0u);
    EXPECT_EQ(offsetof(In, xn_re), 8u);
    EXPECT_EQ(offsetof(In, xn_re_size), 16u);
    EXPECT_EQ(offsetof(In, xn_im), 24u);
    EXPECT_EQ(offsetof(In, xn_im_size), 32u);
    EXPECT_EQ(offsetof(In, scaling_sch), 40u);
    EXPECT_EQ(offsetof(In, scaling_sch_size), 48u);
    EXPECT_EQ(offsetof(In, direction), 52u);
    EXPECT_EQ(sizeof(In), 56u);

    using Out = kelvar_ip_kfft_v8_0_outputs;
    EXPECT_EQ(offsetof(Out, xk_re), 0u);
    EXPECT_EQ(offsetof(Out, xk_re_size), 8u);
    EXPECT_EQ(offsetof(Out, xk_im), 16u);
    EXPECT_EQ(offsetof(Out, xk_im_size), 24u);
    EXPECT_EQ(offsetof(Out, blk_exp), 28u);
    EXPECT_EQ(offsetof(Out, overflow), 32u);
    EXPECT_EQ(sizeof(Out), 40u);
}

TEST(Lifecycle, DefaultGenericsBuildAState)
{
    const Generics g = kelvar_ip_kfft_v8_0_get_default_generics();
    EXPECT_EQ(g.C_NFFT_MAX, 10);
    EXPECT_EQ(g.C_ARCH, 1);
    EXPECT_EQ(g.C_HAS_NFFT, 0);
    EXPECT_EQ(g.C_USE_FLT_PT, 0);
    EXPECT_EQ(g.C_INPUT_WIDTH, 16);
    EXPECT_EQ(g.C_TWIDDLE_WIDTH, 16);
    EXPECT_EQ(g.C_HAS_SCALING, 1);
    EXPECT_EQ(g.C_HAS_BFP, 0);
    EXPECT_EQ(g.C_HAS_ROUNDING, 0);
    kelvar_ip_kfft_v8_0_state* s = nullptr;
    EXPECT_EQ(capture_stderr([&] { s = kelvar_ip_kfft_v8_0_create_state(g); }), "");
    ASSERT_NE(s, nullptr);
    kelvar_ip_kfft_v8_0_destroy_state(s);
}

TEST(Lifecycle, DestroyOfNullIsIgnored)
{
    EXPECT_EQ(capture_stderr([] { kelvar_ip_kfft_v8_0_destroy_state(nullptr); }), "");
}

// Creates a state from g; returns the stderr text and whether a state came back.
std::pair<std::string, bool> try_create(const Generics& g)
{
    kelvar_ip_kfft_v8_0_state* s = nullptr;
    const std::string err = capture_stderr([&] { s = kelvar_ip_kfft_v8_0_create_state(g); });
    const bool ok = s != nullptr;
    kelvar_ip_kfft_v8_0_destroy_state(s);
    return { err, ok };
}

const std::string kPre = "ERROR:kfft_v8_0:create_state called with ";

std::string range_msg(const char* name, int lo, int hi, int v)
{
    return kPre + "invalid " + name + " generic: must be in the range " + std::to_string(lo)
        + " to " + std::to_string(hi) + ": Value is " + std::to_string(v) + "\n";
}

TEST(CreateChecks, EachRangeCheckWritesItsMessageAndValue)
{
    struct Case {
        int Generics::*field;
        const char* name;
        int lo, hi;
    } cases[] = { { &Generics::C_NFFT_MAX, "C_NFFT_MAX", 3, 16 },
        { &Generics::C_ARCH, "C_ARCH", 1, 4 }, { &Generics::C_HAS_NFFT, "C_HAS_NFFT", 0, 1 },
        { &Generics::C_INPUT_WIDTH, "C_INPUT_WIDTH", 8, 34 },
        { &Generics::C_TWIDDLE_WIDTH, "C_TWIDDLE_WIDTH", 8, 34 },
        { &Generics::C_HAS_SCALING, "C_HAS_SCALING", 0, 1 },
        { &Generics::C_HAS_BFP, "C_HAS_BFP", 0, 1 },
        { &Generics::C_HAS_ROUNDING, "C_HAS_ROUNDING", 0, 1 },
        { &Generics::C_USE_FLT_PT, "C_USE_FLT_PT", 0, 1 } };
    for (const auto& c : cases) {
        for (int v : { c.lo - 1, c.hi + 1, -2147483647 - 1 }) {
            Generics g = kelvar_ip_kfft_v8_0_get_default_generics();
            g.*c.field = v;
            const auto r = try_create(g);
            EXPECT_FALSE(r.second) << c.name << " = " << v;
            EXPECT_EQ(r.first, range_msg(c.name, c.lo, c.hi, v));
        }
    }
}

TEST(CreateChecks, CombinationChecksInOrder)
{
    Generics g = kelvar_ip_kfft_v8_0_get_default_generics();
    g.C_NFFT_MAX = 5; // radix-4 needs 64 points
    auto r = try_create(g);
    EXPECT_FALSE(r.second);
    EXPECT_EQ(r.first,
        kPre
            + "C_NFFT_MAX < 6 (transform length less than 2^6 = 64) and C_ARCH = 1 "
              "(Radix-4, Burst I/O architecture): this architecture has a minimum "
              "transform length of 64, so C_NFFT_MAX must be 6 or greater.\n");

    g = kelvar_ip_kfft_v8_0_get_default_generics();
    g.C_ARCH = 2;
    g.C_NFFT_MAX = 3;
    EXPECT_EQ(try_create(g), std::make_pair(std::string(), true));
    g.C_HAS_NFFT = 1;
    r = try_create(g);
    EXPECT_FALSE(r.second);
    EXPECT_EQ(r.first,
        kPre
            + "C_NFFT_MAX = 3 (transform length of 2^3 = 8) and C_HAS_NFFT = 1 "
              "(run-time configurable transform length): the minimum transform "
              "length of 8 cannot be run-time configurable as it cannot be reduced.\n");

    g = kelvar_ip_kfft_v8_0_get_default_generics();
    g.C_NFFT_MAX = 6;
    EXPECT_EQ(try_create(g), std::make_pair(std::string(), true));
    g.C_HAS_NFFT = 1;
    r = try_create(g);
    EXPECT_FALSE(r.second);
    EXPECT_EQ(r.first,
        kPre
            + "C_NFFT_MAX = 6 (transform length of 2^6 = 64) and C_HAS_NFFT = 1 (run-time "
              "configurable transform length) and C_ARCH = 1 (Radix-4, Burst I/O "
              "architecture): the minimum transform length of 64 in this architecture cannot "
              "be run-time configurable as it cannot be reduced.\n");

    g = kelvar_ip_kfft_v8_0_get_default_generics();
    g.C_HAS_SCALING = 0;
    g.C_HAS_BFP = 1;
    r = try_create(g);
    EXPECT_FALSE(r.second);
    EXPECT_EQ(r.first,
        kPre
            + "C_HAS_SCALING = 0 (unscaled) and C_HAS_BFP = 1 (block floating point "
              "scaling): these contradict and do not specify a valid scaling option.\n");

    g = kelvar_ip_kfft_v8_0_get_default_generics();
    g.C_USE_FLT_PT = 1;
    r = try_create(g);
    EXPECT_FALSE(r.second);
    EXPECT_EQ(r.first,
        kPre
            + "C_USE_FLT_PT = 1 and C_INPUT_WIDTH != 32: only IEEE single-precision "
              "data of 32 bits is supported.\n");
}

TEST(CreateChecks, FirstFaultInTableOrderIsReported)
{
    Generics g = kelvar_ip_kfft_v8_0_get_default_generics();
    g.C_USE_FLT_PT = 5;
    g.C_HAS_ROUNDING = 5;
    EXPECT_EQ(try_create(g).first, range_msg("C_HAS_ROUNDING", 0, 1, 5));
    // A range fault wins over a combination fault that involves earlier fields.
    g = kelvar_ip_kfft_v8_0_get_default_generics();
    g.C_NFFT_MAX = 5;
    g.C_TWIDDLE_WIDTH = 35;
    EXPECT_EQ(try_create(g).first, range_msg("C_TWIDDLE_WIDTH", 8, 34, 35));
    // Check 10 before check 13 before check 14.
    g = kelvar_ip_kfft_v8_0_get_default_generics();
    g.C_HAS_SCALING = 0;
    g.C_HAS_BFP = 1;
    g.C_USE_FLT_PT = 1;
    EXPECT_NE(try_create(g).first.find("C_HAS_SCALING = 0 (unscaled)"), std::string::npos);
    g.C_NFFT_MAX = 4;
    EXPECT_NE(try_create(g).first.find("C_NFFT_MAX < 6"), std::string::npos);
}

TEST(CreateChecks, LimitsAccepted)
{
    Generics g = kelvar_ip_kfft_v8_0_get_default_generics();
    g.C_NFFT_MAX = 16;
    g.C_INPUT_WIDTH = 34;
    g.C_TWIDDLE_WIDTH = 34;
    EXPECT_EQ(try_create(g), std::make_pair(std::string(), true));
    g.C_NFFT_MAX = 17;
    EXPECT_EQ(try_create(g).first, range_msg("C_NFFT_MAX", 3, 16, 17));
    g = kelvar_ip_kfft_v8_0_get_default_generics();
    g.C_INPUT_WIDTH = 8;
    g.C_TWIDDLE_WIDTH = 8;
    g.C_HAS_SCALING = 0;
    EXPECT_EQ(try_create(g), std::make_pair(std::string(), true));
}

TEST(CreateChecks, FloatingPointAcceptedForEveryArchitecture)
{
    for (int arch = 1; arch <= 4; ++arch) {
        Generics g = kelvar_ip_kfft_v8_0_get_default_generics();
        g.C_ARCH = arch;
        g.C_USE_FLT_PT = 1;
        g.C_INPUT_WIDTH = 32;
        g.C_HAS_SCALING = 0; // ignored in floating-point mode
        g.C_HAS_ROUNDING = 1;
        EXPECT_EQ(try_create(g), std::make_pair(std::string(), true)) << "C_ARCH " << arch;
    }
}

} // namespace
