// Conditioning of samples and results around the engines, tested on its own.
#include <gtest/gtest.h>

#include <cfenv>
#include <cfloat>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "api_checks.h"
#include "frame_condition.h"
#include "frame_finish.h"
#include "kfft_loop_levels.h"
#include "kfft_test_util.h"
#include "kip_test_seed.h"
#include "path_plan.h"

using namespace kfft;
using kfft_test::capture_stderr;
using kfft_test::lines_of;

namespace {

const std::string kRoundWarning16
    = "WARNING:kfft_v8_0:simulate called with real and/or imaginary data values that are not "
      "pre-quantized to signed two's-complement fixed-point values of precision C_INPUT_WIDTH = 16 "
      "bits.  All real and imaginary data will be internally rounded to the nearest quantization "
      "level for this precision (using convergent rounding to nearest even).";

TEST(RoundHalfEven, TiesGoToEvenOthersToNearest)
{
    EXPECT_EQ(round_half_even(0.5), 0.0);
    EXPECT_EQ(round_half_even(1.5), 2.0);
    EXPECT_EQ(round_half_even(2.5), 2.0);
    EXPECT_EQ(round_half_even(-0.5), 0.0);
    EXPECT_EQ(round_half_even(-1.5), -2.0);
    EXPECT_EQ(round_half_even(-2.5), -2.0);
    EXPECT_EQ(round_half_even(2.4999999), 2.0);
    EXPECT_EQ(round_half_even(-2.5000001), -3.0);
    EXPECT_EQ(round_half_even(std::ldexp(1.0, 60) + std::ldexp(1.0, 8)),
        std::ldexp(1.0, 60) + std::ldexp(1.0, 8));
}

TEST(QuantiseInput, RoundsToNearestEvenWithGuardAtPlusOne)
{
    const double q = std::ldexp(1.0, -15);
    EXPECT_EQ(quantise_input(0.5 + std::ldexp(1.0, -16), 16, true), 0.5); // tie, even
    EXPECT_EQ(quantise_input(0.5 + 3 * std::ldexp(1.0, -16), 16, true), 0.5 + 2 * q);
    EXPECT_EQ(quantise_input(1.0 - std::ldexp(1.0, -17), 16, true), 1.0 - q);
    EXPECT_EQ(quantise_input(1.0 - std::ldexp(1.0, -17), 16, false), 1.0);
    EXPECT_EQ(quantise_input(-1.0 + std::ldexp(1.0, -17), 16, true), -1.0);
    EXPECT_EQ(quantise_input(-1.0, 8, true), -1.0);
    EXPECT_EQ(
        quantise_input(0.3, 34, true), std::round(0.3 * std::ldexp(1.0, 33)) / std::ldexp(1.0, 33));
}

TEST(ConditionFixed, OnGridSamplesPassUnchangedWithoutWarning)
{
    std::vector<double> re = { 0.5, -1.0, 1.0 - std::ldexp(1.0, -15), 0.0 };
    std::vector<double> im = { -0.25, std::ldexp(1.0, -15), 0.0, -0.75 };
    std::vector<double> a(4, 9.0), b(4, 9.0);
    bool rounded = true;
    const std::string err = capture_stderr([&] {
        rounded = condition_fixed(
            re.data(), im.data(), 4, 16, 16, a.data(), b.data(), kfft::Path::FloatAvx512);
    });
    EXPECT_EQ(err, "");
    EXPECT_FALSE(rounded);
    EXPECT_EQ(a, std::vector<double>(4, 9.0)); // not used
    for (kfft::Path l : kfft_test::loop_levels()) {
        EXPECT_FALSE(on_input_grid(re.data(), im.data(), 4, 15, l));
        EXPECT_TRUE(on_input_grid(re.data(), im.data(), 3, 16, l));
    }
}

// The grid test, whole-frame loops of each build forced in turn, against the plain per-sample
// test: on-grid frames of every width with one sample moved off the grid by the smallest step
// (at every position of a frame, in the real or the imaginary part, the tail beyond the
// loops' lanes too), or far beyond the range the loops handle, or NaN; in every rounding mode.
TEST(ConditionFixed, GridTestMatchesThePlainTestOnEveryBuild)
{
    std::mt19937_64 rng(kip_test::seed() + 11);
    const auto plain = [](const std::vector<double>& re, const std::vector<double>& im, int w) {
        const double s = std::ldexp(1.0, w - 1);
        for (size_t i = 0; i < re.size(); ++i)
            if (!(std::floor(s * re[i]) == s * re[i] && std::floor(s * im[i]) == s * im[i]))
                return false;
        return true;
    };
    const int modes[] = { FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO };
    for (int round = 0; round < 400; ++round) {
        const int w = 8 + static_cast<int>(rng() % 27);
        // Lengths beyond the loops' lane multiples leave a tail to the plain test.
        const size_t n = (size_t { 4 } << (rng() % 5)) + rng() % 4;
        const double q = std::ldexp(1.0, 1 - w);
        std::vector<double> re(n), im(n);
        for (size_t i = 0; i < n; ++i) {
            re[i] = std::ldexp(static_cast<double>(static_cast<int64_t>(rng() >> (65 - w))), 1 - w);
            im[i]
                = -std::ldexp(static_cast<double>(static_cast<int64_t>(rng() >> (65 - w))), 1 - w);
        }
        std::vector<double>& part = rng() % 2 ? re : im;
        const size_t at = round % 3 == 0 ? n - 1 : rng() % n;
        switch (round % 6) {
        case 0: // on the grid
            break;
        case 1:
            part[at] += q / 2;
            break;
        case 2:
            part[at] -= std::ldexp(q, -20);
            break;
        case 3: // on the grid, beyond 2^51 steps
            part[at] = std::ldexp(1.0, 52 - w) * (rng() % 2 ? 1.0 : -1.0);
            break;
        case 4: // half a step off, beyond 2^51 steps (adding 1.5 * 2^52 keeps it)
            part[at] = -std::ldexp(std::ldexp(1.0, 51) + 0.5, 1 - w);
            break;
        default:
            part[at] = std::nan("");
            break;
        }
        const bool expected = plain(re, im, w);
        std::fesetround(modes[round % 4]);
        for (kfft::Path l : kfft_test::loop_levels()) {
            const bool got = on_input_grid(re.data(), im.data(), static_cast<int32_t>(n), w, l);
            std::fesetround(FE_TONEAREST);
            ASSERT_EQ(got, expected) << "round " << round << " width " << w << " sample " << at
                                     << " value " << part[at] << " " << kfft_test::level_name(l);
            std::fesetround(modes[round % 4]);
        }
        std::fesetround(FE_TONEAREST);
    }
}

// The call check's range test, whole-frame loops of each build forced in turn, against the
// per-sample test: frames of both modes with one value at a range edge (just inside, just
// outside, NaN, infinities, values rounding to the largest single or to infinity) at any
// position, the tail beyond the loops' lanes too; in every rounding mode.
TEST(CheckSamples, RangeTestMatchesThePerSampleTestOnEveryBuild)
{
    std::mt19937_64 rng(kip_test::seed() + 12);
    const double inf = std::numeric_limits<double>::infinity();
    const double fmax = 3.4028234663852886e38;
    const double fixed_edges[] = { -1.0, std::nextafter(-1.0, -2.0), 1.0, std::nextafter(1.0, 0.0),
        std::nan(""), inf, -inf, 0.0 };
    const double float_edges[] = { fmax, -fmax, std::nextafter(fmax, inf),
        -std::nextafter(fmax, inf), 3.4028235677973366e38, -3.4028235677973366e38, 1e300, -1e300,
        inf, -inf, std::nan(""), 0.0 };
    const int modes[] = { FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO };
    for (int round = 0; round < 400; ++round) {
        const bool flt = round % 2 == 1;
        const size_t n = (size_t { 4 } << (rng() % 5)) + rng() % 4;
        std::uniform_real_distribution<double> u(-1.0, 1.0);
        std::vector<double> x(n);
        for (double& v : x)
            v = flt ? std::ldexp(u(rng), static_cast<int>(rng() % 250) - 125) : u(rng);
        const size_t at = round % 3 == 0 ? n - 1 : rng() % n;
        x[at] = flt ? float_edges[rng() % 12] : fixed_edges[rng() % 8];
        // The single conversion of the per-sample test rounds in the current mode too.
        std::fesetround(modes[round % 4]);
        bool expected = true;
        for (double v : x)
            expected &= !sample_out_of_range(v, flt);
        for (kfft::Path l : kfft_test::loop_levels()) {
            const bool got = samples_in_range(x.data(), static_cast<int32_t>(n), flt, l);
            std::fesetround(FE_TONEAREST);
            ASSERT_EQ(got, expected)
                << "round " << round << (flt ? " float" : " fixed") << " sample " << at << " value "
                << x[at] << " " << kfft_test::level_name(l);
            std::fesetround(modes[round % 4]);
        }
        std::fesetround(FE_TONEAREST);
    }
}

TEST(ConditionFixed, OffGridSampleWarnsOnceAndRoundsWholeFrame)
{
    // The first off-grid value is the imaginary part of sample 1; a later real one is off grid
    // too. Every sample is rounded, with one warning.
    std::vector<double> re = { 0.5, 0.25, 1.0 - std::ldexp(1.0, -17), 0.1 };
    std::vector<double> im = { 0.0, 0.5 + std::ldexp(1.0, -16), -0.75, -0.1 };
    std::vector<double> a(4), b(4);
    bool rounded = false;
    const std::string err = capture_stderr([&] {
        rounded = condition_fixed(
            re.data(), im.data(), 4, 16, 16, a.data(), b.data(), kfft::Path::FloatAvx512);
    });
    EXPECT_TRUE(rounded);
    EXPECT_EQ(lines_of(err), std::vector<std::string> { kRoundWarning16 });
    EXPECT_EQ(a[2], 1.0 - std::ldexp(1.0, -15));
    EXPECT_EQ(b[1], 0.5);
    EXPECT_EQ(a[3], 3277.0 / 32768.0); // 0.1 * 32768 = 3276.8
    EXPECT_EQ(b[3], -3277.0 / 32768.0);
    EXPECT_EQ(re[3], 0.1); // caller's array untouched
}

TEST(FloatScan, DenormalsAreFlushedInPlaceWithOneWarningEach)
{
    const double den = static_cast<double>(std::numeric_limits<float>::denorm_min()) * 3;
    std::vector<double> re = { den, 0.5, -den };
    std::vector<double> im = { -den, 0.25, 0.0 };
    FloatFrame f;
    const std::string err = capture_stderr(
        [&] { f = scan_float_frame(re.data(), im.data(), 3, kfft::Path::FloatAvx512); });
    const std::string wr
        = "WARNING:kfft_v8_0:simulate called with a denormalized real data value, this value will "
          "be set to zero";
    const std::string wi
        = "WARNING:kfft_v8_0:simulate called with a denormalized imag data value, this value will "
          "be set to zero";
    EXPECT_EQ(lines_of(err), (std::vector<std::string> { wr, wi, wr }));
    EXPECT_EQ(re, (std::vector<double> { 0.0, 0.5, 0.0 }));
    EXPECT_EQ(im, (std::vector<double> { 0.0, 0.25, 0.0 }));
    EXPECT_FALSE(f.invalid);
    EXPECT_EQ(f.exponent, 0); // max 0.5
    // A double that is a normal double but a single-precision denormal is flushed too.
    std::vector<double> r2 = { 1e-40 }, i2 = { 0.0 };
    capture_stderr([&] { f = scan_float_frame(r2.data(), i2.data(), 1, kfft::Path::FloatAvx512); });
    EXPECT_EQ(r2[0], 0.0);
}

TEST(FloatScan, InfinityAndNanInvalidateWithWarningPerSample)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> re = { inf, 0.5, nan, 1e39 }; // 1e39 is infinite in single precision
    std::vector<double> im = { 0.0, -inf, 0.0, 0.0 };
    FloatFrame f;
    const std::string err = capture_stderr(
        [&] { f = scan_float_frame(re.data(), im.data(), 4, kfft::Path::FloatAvx512); });
    const std::string wr
        = "WARNING:kfft_v8_0:simulate called with real data values set to inf or NaN, output will "
          "be invalidated";
    const std::string wi
        = "WARNING:kfft_v8_0:simulate called with imag data values set to inf or NaN, output will "
          "be invalidated";
    EXPECT_EQ(lines_of(err), (std::vector<std::string> { wr, wi, wr, wr }));
    EXPECT_TRUE(f.invalid);
    EXPECT_EQ(f.exponent, 0);
}

TEST(FloatScan, FrameExponentFromLargestMagnitude)
{
    struct Case {
        double max;
        int32_t exponent;
    } cases[] = { { 0.75, 0 }, { 1.0, 1 }, { -1.0, 1 }, { 3.0, 2 }, { 0.5, 0 }, { 0.4999, -1 },
        { std::ldexp(1.0, -10), -9 }, { 3.0e38, 128 }, { std::ldexp(1.0, -126), -125 },
        { 0.0, 0 } };
    for (const auto& c : cases) {
        std::vector<double> re = { 0.0, c.max * 0.5 }, im = { c.max, 0.0 };
        const FloatFrame f = scan_float_frame(re.data(), im.data(), 2, kfft::Path::FloatAvx512);
        EXPECT_EQ(f.exponent, c.exponent) << "max " << c.max;
    }
    // Every power of two and its single-precision predecessor land on the right side.
    for (int k = -125; k <= 127; ++k) {
        std::vector<double> re = { std::ldexp(1.0, k) }, im = { 0.0 };
        EXPECT_EQ(
            scan_float_frame(re.data(), im.data(), 1, kfft::Path::FloatAvx512).exponent, k + 1)
            << k;
        re[0] = std::nextafter(std::ldexp(1.0f, k), 0.0f);
        EXPECT_EQ(scan_float_frame(re.data(), im.data(), 1, kfft::Path::FloatAvx512).exponent, k)
            << k;
    }
}

TEST(FloatCondition, RemovesExponentInSinglePrecisionThenRounds)
{
    EXPECT_EQ(condition_float_sample(0.75, 0, 28), 0.75);
    EXPECT_EQ(condition_float_sample(3.0, 2, 28), 0.75);
    EXPECT_EQ(condition_float_sample(-std::ldexp(1.0, -100), -99, 28), -0.5);
    EXPECT_EQ(condition_float_sample(std::ldexp(1.0, 127), 128, 29), 0.5); // 128 = 62 + 62 + 4
    // 0.1f is 13421773 * 2^-27: half a unit of 2^-26, a tie resolved to even.
    EXPECT_EQ(condition_float_sample(0.1, 0, 27), 6710886.0 / std::ldexp(1.0, 26));
    // The double is first rounded to single precision.
    EXPECT_EQ(condition_float_sample(0.5 + std::ldexp(1.0, -40), 0, 29), 0.5);
    // Below the grid: 3 * 2^-29 is 1.5 units of 2^-28 at w = 29, a tie to even.
    EXPECT_EQ(condition_float_sample(3 * std::ldexp(1.0, -29), 0, 29), std::ldexp(1.0, -27));
    EXPECT_EQ(condition_float_sample(5 * std::ldexp(1.0, -29), 0, 29), std::ldexp(1.0, -27));
    // A value that underflows in single precision once the exponent is removed.
    EXPECT_EQ(condition_float_sample(std::ldexp(1.0, -120), 60, 29), 0.0);
}

TEST(ScalePow2, LargeExponentsInExactSteps)
{
    EXPECT_EQ(Pow2Scaler(0).apply(0.75), 0.75);
    EXPECT_EQ(Pow2Scaler(145).apply(0.75), std::ldexp(0.75, 145));
    EXPECT_EQ(Pow2Scaler(-150).apply(-0.75), std::ldexp(-0.75, -150));
}

TEST(SingleSignificance, MatchesSinglePrecisionRoundingInNormalRange)
{
    EXPECT_EQ(round_to_single_significance(0.0), 0.0);
    EXPECT_EQ(round_to_single_significance(1.0 + std::ldexp(1.0, -24)), 1.0); // tie, even
    EXPECT_EQ(
        round_to_single_significance(1.0 + 3 * std::ldexp(1.0, -24)), 1.0 + std::ldexp(1.0, -22));
    EXPECT_EQ(round_to_single_significance(-(1.0 + 3 * std::ldexp(1.0, -24))),
        -(1.0 + std::ldexp(1.0, -22)));
    const uint32_t seed = kip_test::seed();
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> mant(-1.0, 1.0);
    std::uniform_int_distribution<int> ex(-100, 100);
    for (int i = 0; i < 20000; ++i) {
        // Values with up to 40 significant bits, as the engines produce.
        const double y = std::ldexp(std::round(std::ldexp(mant(rng), 40)), ex(rng) - 40);
        ASSERT_EQ(round_to_single_significance(y), static_cast<double>(static_cast<float>(y)))
            << "y = " << y << " seed " << seed;
    }
}

TEST(FloatRange, OverflowBecomesInfinityOrLargestValue)
{
    double v = 0.75;
    EXPECT_FALSE(restore_float_range(v, Pow2Scaler(100)));
    EXPECT_EQ(v, std::ldexp(0.75, 100));
    v = -0.75;
    EXPECT_TRUE(restore_float_range(v, Pow2Scaler(129)));
    EXPECT_EQ(v, -std::numeric_limits<double>::infinity());
    // Within half a unit in the last place above the largest value: rounds to it, still flagged.
    v = (static_cast<double>(FLT_MAX) + std::ldexp(1.0, 102)) / std::ldexp(1.0, 128);
    EXPECT_TRUE(restore_float_range(v, Pow2Scaler(128)));
    EXPECT_EQ(v, static_cast<double>(FLT_MAX));
    v = static_cast<double>(FLT_MAX) / 2;
    EXPECT_FALSE(restore_float_range(v, Pow2Scaler(1)));
    EXPECT_EQ(v, static_cast<double>(FLT_MAX));
}

TEST(FinalFields, FirstMatchingRulePerMode)
{
    auto run = [](bool flt, int scaling, int bfp) {
        kelvar_ip_kfft_v8_0_outputs o {};
        o.xk_re_size = o.xk_im_size = 100;
        o.blk_exp = 5;
        o.overflow = 1;
        set_final_fields(o, 64, flt, scaling, bfp);
        EXPECT_EQ(o.xk_re_size, 64);
        EXPECT_EQ(o.xk_im_size, 64);
        return std::make_pair(o.blk_exp, o.overflow);
    };
    EXPECT_EQ(run(true, 1, 1), std::make_pair(0, 1)); // floating point keeps overflow
    EXPECT_EQ(run(true, 0, 0), std::make_pair(0, 1));
    EXPECT_EQ(run(false, 0, 0), std::make_pair(0, 0)); // unscaled
    EXPECT_EQ(run(false, 1, 0), std::make_pair(0, 1)); // scaled schedule
    EXPECT_EQ(run(false, 1, 1), std::make_pair(5, 0)); // block floating point
}

} // namespace
