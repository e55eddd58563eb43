// Every simulate validation code with its exact message, through the C interface.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "api_state.h"
#include "kfft_test_util.h"
#include "kip_test_seed.h"

using namespace kfft_test;

namespace {

// The named return codes keep the values callers compiled against.
constexpr int kCodes[] = {
    KELVAR_IP_KFFT_V8_0_OK,
    KELVAR_IP_KFFT_V8_0_NULL_STATE,
    KELVAR_IP_KFFT_V8_0_NULL_OUTPUTS,
    KELVAR_IP_KFFT_V8_0_CORRUPT_STATE_R4,
    KELVAR_IP_KFFT_V8_0_CORRUPT_STATE_R2,
    KELVAR_IP_KFFT_V8_0_CORRUPT_STATE_PIPELINED,
    KELVAR_IP_KFFT_V8_0_BAD_NFFT_R4,
    KELVAR_IP_KFFT_V8_0_BAD_NFFT,
    KELVAR_IP_KFFT_V8_0_NULL_XN_RE,
    KELVAR_IP_KFFT_V8_0_BAD_XN_RE_SIZE,
    KELVAR_IP_KFFT_V8_0_BAD_XN_RE_VALUE,
    KELVAR_IP_KFFT_V8_0_NULL_XN_IM,
    KELVAR_IP_KFFT_V8_0_BAD_XN_IM_SIZE,
    KELVAR_IP_KFFT_V8_0_BAD_XN_IM_VALUE,
    KELVAR_IP_KFFT_V8_0_NULL_SCALING_SCH,
    KELVAR_IP_KFFT_V8_0_BAD_SCALING_SCH_SIZE_R4,
    KELVAR_IP_KFFT_V8_0_BAD_SCALING_SCH_SIZE_R2,
    KELVAR_IP_KFFT_V8_0_BAD_SCALING_VALUE,
    KELVAR_IP_KFFT_V8_0_BAD_FINAL_SCALING_VALUE,
    KELVAR_IP_KFFT_V8_0_BAD_DIRECTION,
    KELVAR_IP_KFFT_V8_0_NULL_XK_RE,
    KELVAR_IP_KFFT_V8_0_NULL_XK_IM,
    KELVAR_IP_KFFT_V8_0_SMALL_XK_RE_SIZE,
    KELVAR_IP_KFFT_V8_0_SMALL_XK_IM_SIZE,
    KELVAR_IP_KFFT_V8_0_NULL_INPUTS,
};
static_assert(sizeof kCodes / sizeof kCodes[0] == 25, "one name per code");
constexpr bool codes_in_order()
{
    for (int i = 0; i < 25; ++i)
        if (kCodes[i] != i)
            return false;
    return true;
}
static_assert(codes_in_order(), "return code values changed");

const std::string kSim = "ERROR:kfft_v8_0:simulate called with ";

// Runs the frame, expects code and exactly one message line, and checks that the outputs were
// left untouched.
void expect_error(kelvar_ip_kfft_v8_0_state* s, Frame& f, int code, const std::string& msg)
{
    std::fill(f.out_re.begin(), f.out_re.end(), -7.0);
    std::fill(f.out_im.begin(), f.out_im.end(), -7.0);
    f.out.blk_exp = -5;
    f.out.overflow = -5;
    const kelvar_ip_kfft_v8_0_outputs before = f.out;
    int rc = -1;
    const std::string err = capture_stderr([&] { rc = f.simulate(s); });
    EXPECT_EQ(rc, code);
    EXPECT_EQ(err, msg + "\n");
    EXPECT_EQ(f.out.xk_re_size, before.xk_re_size);
    EXPECT_EQ(f.out.xk_im_size, before.xk_im_size);
    EXPECT_EQ(f.out.blk_exp, before.blk_exp);
    EXPECT_EQ(f.out.overflow, before.overflow);
    for (size_t k = 0; k < f.out_re.size(); ++k) {
        ASSERT_EQ(f.out_re[k], -7.0) << "xk_re[" << k << "] written";
        ASSERT_EQ(f.out_im[k], -7.0) << "xk_im[" << k << "] written";
    }
}

int run_quiet(kelvar_ip_kfft_v8_0_state* s, Frame& f, std::string* err = nullptr)
{
    int rc = -1;
    const std::string text = capture_stderr([&] { rc = f.simulate(s); });
    if (err != nullptr)
        *err = text;
    return rc;
}

kelvar_ip_kfft_v8_0_generics runtime_length(int arch, int nfft_max, int mode)
{
    kelvar_ip_kfft_v8_0_generics g = make_generics(arch, nfft_max, mode);
    g.C_HAS_NFFT = 1;
    return g;
}

TEST(SimulateChecks, NullStateOutputsAndInputs)
{
    State st(runtime_length(2, 4, 1));
    Frame f(3, 2);
    int rc = 0;
    std::string err = capture_stderr(
        [&] { rc = kelvar_ip_kfft_v8_0_bitacc_simulate(nullptr, nullptr, nullptr); });
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(err, kSim + "null state structure\n");
    err = capture_stderr(
        [&] { rc = kelvar_ip_kfft_v8_0_bitacc_simulate(st.get(), &f.in, nullptr); });
    EXPECT_EQ(rc, 2);
    EXPECT_EQ(err, kSim + "null output structure\n");
    err = capture_stderr(
        [&] { rc = kelvar_ip_kfft_v8_0_bitacc_simulate(st.get(), nullptr, nullptr); });
    EXPECT_EQ(rc, 2);
    const kelvar_ip_kfft_v8_0_outputs before = f.out;
    err = capture_stderr(
        [&] { rc = kelvar_ip_kfft_v8_0_bitacc_simulate(st.get(), nullptr, &f.out); });
    EXPECT_EQ(rc, KELVAR_IP_KFFT_V8_0_NULL_INPUTS);
    EXPECT_EQ(err, kSim + "null input structure\n");
    EXPECT_EQ(f.out.blk_exp, before.blk_exp);
    EXPECT_EQ(f.out_re[0], -7.0);
}

TEST(SimulateChecks, MissingEngineIsACorruptedState)
{
    const struct {
        int arch;
        int code;
    } cases[] = { { 1, 3 }, { 2, 4 }, { 4, 4 }, { 3, 5 } };
    for (const auto& c : cases) {
        State st(make_generics(c.arch, 6, 1));
        ASSERT_NE(st.get(), nullptr);
        // Simulate a state whose engine could not be built.
        st.get()->engine.reset();
        Frame f(6, c.arch);
        // Checked before the inputs record.
        int rc = 0;
        const std::string err = capture_stderr(
            [&] { rc = kelvar_ip_kfft_v8_0_bitacc_simulate(st.get(), nullptr, &f.out); });
        EXPECT_EQ(rc, c.code) << "C_ARCH " << c.arch;
        EXPECT_EQ(err, kSim + "corrupted state structure\n");
    }
}

TEST(SimulateChecks, TransformLengthRange)
{
    State r4(runtime_length(1, 7, 1));
    Frame f(5, 1);
    expect_error(r4.get(), f, 6, kSim + "nfft input 5 out of legal range 6 to C_NFFT_MAX");
    f.in.nfft = 8;
    expect_error(r4.get(), f, 6, kSim + "nfft input 8 out of legal range 6 to C_NFFT_MAX");
    for (int arch : { 2, 3, 4 }) {
        State st(runtime_length(arch, 5, 1));
        Frame g(2, arch);
        expect_error(st.get(), g, 7, kSim + "nfft input 2 out of legal range 3 to C_NFFT_MAX");
        g.in.nfft = 6;
        expect_error(st.get(), g, 7, kSim + "nfft input 6 out of legal range 3 to C_NFFT_MAX");
    }
}

TEST(SimulateChecks, FixedLengthIgnoresNfftWithWarning)
{
    State st(make_generics(2, 4, 1));
    Frame f(4, 2);
    f.in.nfft = 0;
    std::string err;
    EXPECT_EQ(run_quiet(st.get(), f, &err), 0);
    EXPECT_EQ(err,
        "WARNING:kfft_v8_0:simulate called with nfft input = 0, different from C_NFFT_MAX "
        "= 4, which is not permitted when C_HAS_NFFT is 0.  The nfft input will be ignored "
        "and C_NFFT_MAX used instead.\n");
    EXPECT_EQ(f.out.xk_re_size, 16);
    // The substituted length applies to every later check.
    Frame g(3, 2);
    expect_error(st.get(), g, 9,
        "WARNING:kfft_v8_0:simulate called with nfft input = 3, different from "
        "C_NFFT_MAX = 4, which is not permitted when C_HAS_NFFT is 0.  The nfft input "
        "will be ignored and C_NFFT_MAX used instead.\n"
            + kSim + "incorrect xn_re_size input 8: must be 2^nfft = 16");
}

TEST(SimulateChecks, InputArrays)
{
    State st(runtime_length(3, 7, 1));
    Frame f(6, 3);
    f.in.xn_re = nullptr;
    expect_error(st.get(), f, 8, kSim + "null pointer for xn_re input");
    f.bind();
    f.in.xn_re_size = 63;
    expect_error(st.get(), f, 9, kSim + "incorrect xn_re_size input 63: must be 2^nfft = 64");
    f.bind();
    f.re[0] = -1.0; // accepted
    f.re[3] = 1.0;
    f.re[5] = 2.0;
    expect_error(st.get(), f, 10,
        kSim
            + "invalid real data value: xn_re[3] = 1: all values must be in the range "
              "-1.0 <= data < 1.0");
    f.re[3] = -1.0000001;
    expect_error(st.get(), f, 10,
        kSim
            + "invalid real data value: xn_re[3] = -1: all values must be in the range "
              "-1.0 <= data < 1.0");
    f.re[3] = std::numeric_limits<double>::quiet_NaN();
    expect_error(st.get(), f, 10,
        kSim
            + "invalid real data value: xn_re[3] = nan: all values must be in the "
              "range -1.0 <= data < 1.0");
    f.re.assign(64, 0.0);
    f.in.xn_im = nullptr;
    expect_error(st.get(), f, 11, kSim + "null pointer for xn_im input");
    f.bind();
    f.in.xn_im_size = 128;
    expect_error(st.get(), f, 12, kSim + "incorrect xn_im_size input 128: must be 2^nfft = 64");
    f.bind();
    f.im[63] = 0.99999999; // accepted (rounded)
    f.im[62] = 1.5;
    expect_error(st.get(), f, 13,
        kSim
            + "invalid imaginary data value: xn_im[62] = 1.5: all values must be in "
              "the range -1.0 <= data < 1.0");
    // The real array is scanned completely before the imaginary pointer is looked at.
    f.re[1] = 1.0;
    f.in.xn_im = nullptr;
    expect_error(st.get(), f, 10,
        kSim
            + "invalid real data value: xn_re[1] = 1: all values must be in the range "
              "-1.0 <= data < 1.0");
}

TEST(SimulateChecks, FloatingPointSampleRange)
{
    kelvar_ip_kfft_v8_0_generics g = make_generics(2, 3, 1, 32);
    g.C_USE_FLT_PT = 1;
    State st(g);
    Frame f(3, std::vector<double>(8, 1.0), std::vector<double>(8, -1.0), {});
    f.in.scaling_sch = nullptr; // not read in floating-point mode
    f.re[2] = static_cast<double>(FLT_MAX) * (1 + std::ldexp(1.0, -30)); // still FLT_MAX in single
    expect_error(st.get(), f, 10,
        kSim
            + "invalid real data value: xn_re[2] = 3.40282e+38: all values must be in "
              "the range -3.40282e+38< data < 3.40282e+38");
    f.re[2] = static_cast<double>(FLT_MAX);
    f.im[7] = -static_cast<double>(FLT_MAX) * (1 + std::ldexp(1.0, -30));
    expect_error(st.get(), f, 13,
        kSim
            + "invalid imaginary data value: xn_im[7] = -3.40282e+38: all values must "
              "be in the range -3.40282e+38< data < 3.40282e+38");
    f.im[7] = 0.0;
    EXPECT_EQ(run_quiet(st.get(), f), 0);
}

// Values placed anywhere in either part (both lane positions of the whole-array test and the
// last sample): refused just beyond the single range, accepted once they round to an infinity
// in single precision and as infinities or NaN. The first refused value, real part first, is
// the one reported.
TEST(SimulateChecks, FloatingPointSampleRangeAtEveryPosition)
{
    kelvar_ip_kfft_v8_0_generics g = make_generics(2, 5, 1, 32);
    g.C_USE_FLT_PT = 1;
    g.C_HAS_NFFT = 1;
    State st(g);
    const double fmax = static_cast<double>(FLT_MAX);
    const double refused[] = { fmax * (1 + std::ldexp(1.0, -30)), std::nextafter(fmax, HUGE_VAL),
        std::ldexp(1.0, 128) - std::ldexp(1.0, 103) * (1 + 0x1p-40) };
    const double accepted[] = { std::ldexp(1.0, 128) - std::ldexp(1.0, 103), 1e39, HUGE_VAL,
        std::numeric_limits<double>::quiet_NaN(), fmax, 0.5 };
    std::mt19937 rng(kip_test::seed());
    for (int trial = 0; trial < 300; ++trial) {
        const int nfft = 4 + trial % 2;
        const size_t n = size_t { 1 } << nfft;
        Frame f(nfft, std::vector<double>(n, 0.25), std::vector<double>(n, -0.25), {});
        f.in.scaling_sch = nullptr;
        for (int k = static_cast<int>(rng() % 4); k > 0; --k) {
            const bool bad = rng() % 3 == 0;
            const double v = bad ? refused[rng() % 3] : accepted[rng() % 6];
            std::vector<double>& part = rng() % 2 ? f.re : f.im;
            part[rng() % 3 == 0 ? n - 1 : rng() % n] = rng() % 2 ? v : -v;
        }
        const auto first = [&](const std::vector<double>& x) {
            for (size_t i = 0; i < n; ++i)
                if (std::fabs(x[i]) > fmax && !std::isinf(static_cast<float>(x[i])))
                    return static_cast<int>(i);
            return -1;
        };
        const int r = first(f.re), i = first(f.im);
        if (r < 0 && i < 0) {
            ASSERT_EQ(run_quiet(st.get(), f), 0) << trial;
            continue;
        }
        const bool real = r >= 0;
        std::ostringstream msg;
        msg << kSim << "invalid " << (real ? "real" : "imaginary")
            << " data value: " << (real ? "xn_re[" : "xn_im[") << (real ? r : i)
            << "] = " << (real ? f.re[r] : f.im[i])
            << ": all values must be in the range -3.40282e+38< data < 3.40282e+38";
        expect_error(st.get(), f, real ? 10 : 13, msg.str());
        if (HasFatalFailure())
            return;
    }
}

TEST(SimulateChecks, ScheduleChecks)
{
    {
        State st(runtime_length(2, 5, 1));
        Frame f(5, 2);
        f.in.scaling_sch = nullptr;
        expect_error(st.get(), f, 14, kSim + "null pointer for scaling_sch input");
        f.sch.assign(3, 1);
        f.bind();
        expect_error(
            st.get(), f, 16, kSim + "incorrect scaling_sch_size input 3: must be nfft = 5");
        f.sch = { 1, 1, 1, 3, 1 };
        f.bind();
        EXPECT_EQ(run_quiet(st.get(), f), 0); // radix-2 stages take any value 0 to 3
        f.sch = { 1, 4, -1, 1, 1 };
        f.bind();
        expect_error(st.get(), f, 17,
            kSim
                + "invalid scaling value: scaling_sch[1] = 4: all values must be in the "
                  "range 0 to 3");
        f.sch = { 1, 1, -1, 1, 1 };
        f.bind();
        expect_error(st.get(), f, 17,
            kSim
                + "invalid scaling value: scaling_sch[2] = -1: all values must be in "
                  "the range 0 to 3");
    }
    const std::string final_stage
        = ": when C_ARCH = 1 (Radix-4, Burst I/O architecture) or C_ARCH = 3 (Pipelined, "
          "Streaming I/O architecture) and nfft is odd, the final stage scaling value must be 0 or "
          "1";
    {
        State st(runtime_length(3, 6, 1));
        Frame f(5, 3);
        f.sch = { 2, 2, 1, 0, 0 };
        f.bind();
        expect_error(
            st.get(), f, 15, kSim + "incorrect scaling_sch_size input 5: must be ceil(nfft/2) = 3");
        f.sch = { 3, 3, 2 };
        f.bind();
        expect_error(st.get(), f, 18,
            kSim
                + "invalid scaling value: scaling value in the final stage, "
                  "scaling_sch[2] = 2"
                + final_stage);
        f.sch = { 3, 3, 1 };
        f.bind();
        EXPECT_EQ(run_quiet(st.get(), f), 0);
        // Even lengths allow any final value.
        Frame e(6, 3);
        e.sch = { 1, 1, 3 };
        e.bind();
        EXPECT_EQ(run_quiet(st.get(), e), 0);
    }
    {
        State st(runtime_length(1, 7, 1));
        Frame f(7, 1);
        f.sch = { 2, 2, 2, 2 };
        f.bind();
        expect_error(st.get(), f, 18,
            kSim
                + "invalid scaling value: scaling value in the final stage, "
                  "scaling_sch[3] = 2"
                + final_stage);
        // Out of range beats the final-stage rule.
        f.sch = { 2, 2, 2, 7 };
        f.bind();
        expect_error(st.get(), f, 17,
            kSim
                + "invalid scaling value: scaling_sch[3] = 7: all values must be in "
                  "the range 0 to 3");
    }
}

TEST(SimulateChecks, ScheduleNotReadWithoutScheduledScaling)
{
    for (int mode : { 0, 2 }) {
        for (int arch = 1; arch <= 4; ++arch) {
            State st(make_generics(arch, 6, mode));
            Frame f(6, arch);
            f.in.scaling_sch = nullptr;
            f.in.scaling_sch_size = -3;
            EXPECT_EQ(run_quiet(st.get(), f), 0) << "arch " << arch << " mode " << mode;
        }
    }
}

TEST(SimulateChecks, DirectionAndOutputs)
{
    State st(make_generics(4, 6, 1));
    Frame f(6, 4);
    f.in.direction = 2;
    expect_error(st.get(), f, 19, kSim + "invalid direction input 2: must be 0 or 1");
    f.in.direction = -1;
    expect_error(st.get(), f, 19, kSim + "invalid direction input -1: must be 0 or 1");
    f.in.direction = 0;
    f.out.xk_re = nullptr;
    expect_error(st.get(), f, 20, kSim + "null pointer for xk_re output");
    f.bind();
    f.out.xk_im = nullptr;
    f.out.xk_re_size = 1; // pointers are checked before sizes
    expect_error(st.get(), f, 21, kSim + "null pointer for xk_im output");
    f.bind();
    f.out.xk_re_size = 63;
    expect_error(st.get(), f, 22,
        kSim
            + "too small a value for xk_re_size in outputs structure 63: must be at "
              "least 2^nfft = 64");
    f.bind();
    f.out.xk_im_size = 0;
    expect_error(st.get(), f, 23,
        kSim
            + "too small a value for xk_im_size in outputs structure 0: must be at "
              "least 2^nfft = 64");
    // Larger arrays are accepted; only N elements are written and the sizes become N.
    f.out_re.assign(80, -7.0);
    f.out_im.assign(70, -7.0);
    f.bind();
    EXPECT_EQ(run_quiet(st.get(), f), 0);
    EXPECT_EQ(f.out.xk_re_size, 64);
    EXPECT_EQ(f.out.xk_im_size, 64);
    EXPECT_EQ(f.out_re[63], 0.0);
    EXPECT_EQ(f.out_re[64], -7.0);
    EXPECT_EQ(f.out_im[64], -7.0);
}

TEST(SimulateChecks, FirstFailureWins)
{
    State st(runtime_length(2, 5, 1));
    Frame f(4, 2);
    f.in.direction = 9;
    f.out.xk_re = nullptr;
    f.sch[0] = 5;
    f.in.xn_im = nullptr;
    f.in.xn_re_size = 3;
    expect_error(st.get(), f, 9, kSim + "incorrect xn_re_size input 3: must be 2^nfft = 16");
    f.in.nfft = 9;
    expect_error(st.get(), f, 7, kSim + "nfft input 9 out of legal range 3 to C_NFFT_MAX");
}

} // namespace
