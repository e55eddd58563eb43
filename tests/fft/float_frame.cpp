// The floating-point mode's whole-frame loops (input scan, conditioning, result rounding and
// range restore), each implementation forced in turn, against the per-sample formulas written
// out here: random frames and frames built on every boundary the loops test (single-precision
// denormals and range, powers of two, 24-bit ties, extreme exponents, the scale steps), in
// each rounding direction where the result depends on it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "frame_condition.h"
#include "frame_finish.h"
#include "kfft_loop_levels.h"
#include "kip_test_seed.h"
#include "path_plan.h"

namespace {

constexpr double kFloatMax = 3.4028234663852886e38;

uint64_t bits(double v)
{
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

using kfft_test::level_name;
using kfft_test::loop_levels;

// ---- the formulas --------------------------------------------------------------------------

// Per sample: denormal or non-finite in single precision, and the largest single magnitude.
struct Scan {
    bool clean = true;
    double peak = 0.0;
};

Scan scan_reference(const std::vector<double>& re, const std::vector<double>& im)
{
    Scan s;
    for (size_t i = 0; i < re.size(); ++i)
        for (double x : { re[i], im[i] }) {
            const float f = static_cast<float>(x);
            const int c = std::fpclassify(f);
            if (c == FP_SUBNORMAL || c == FP_NAN || c == FP_INFINITE)
                s.clean = false;
            const double mag = static_cast<double>(f > 0.0f ? f : -f);
            if (mag > s.peak)
                s.peak = mag;
        }
    return s;
}

// Single precision, divided (e > 0) or multiplied (e < 0) by 2^|e| in steps of at most 2^62,
// then rounded to the w-bit grid, ties to even.
double condition_reference(double x, int32_t e, int w)
{
    float f = static_cast<float>(x);
    for (int32_t r = e < 0 ? -e : e; r > 0; r -= r > 62 ? 62 : r) {
        const float step = std::ldexp(1.0f, r > 62 ? 62 : r);
        f = e < 0 ? f * step : f / step;
    }
    const double s = std::ldexp(1.0, w - 1);
    const double y = s * static_cast<double>(f);
    double q = std::floor(y);
    if (y - q > 0.5 || (y - q == 0.5 && std::fmod(q, 2.0) != 0.0))
        q += 1.0;
    return q / s;
}

// Rounded to 24 significant bits by the decimal-logarithm exponent, scaled by 2^t in steps of
// at most 2^62, and beyond the single range replaced by its single-precision value.
double finish_reference(double y, int32_t t, bool& overflow)
{
    double v = y;
    if (y != 0.0) {
        const double mag = std::fabs(y);
        const double e = std::floor(std::log10(mag) / std::log10(2.0));
        const double m = std::pow(2.0, -1.0 - e);
        const double x = mag * m * 16777216.0;
        double q = std::floor(x);
        if (x - q > 0.5 || (x - q == 0.5 && std::fmod(q, 2.0) != 0.0))
            q += 1.0;
        v = q / 16777216.0 / m;
        if (y < 0.0)
            v = -v;
    }
    for (int32_t r = t < 0 ? -t : t; r > 0; r -= r > 62 ? 62 : r) {
        const double step = std::ldexp(1.0, r > 62 ? 62 : r);
        v = t < 0 ? v / step : v * step;
    }
    if (std::fabs(v) > kFloatMax) {
        v = static_cast<double>(static_cast<float>(v));
        overflow = true;
    }
    return v;
}

// ---- frames --------------------------------------------------------------------------------

// Pads to a multiple of 4 with copies of random earlier values, then shuffles, so that every
// boundary value meets ordinary neighbours in its group of four.
void pad_and_shuffle(std::vector<double>& v, std::mt19937_64& rng)
{
    if (v.empty())
        v.push_back(0.5);
    while (v.size() % 4 != 0)
        v.push_back(v[rng() % v.size()]);
    std::shuffle(v.begin(), v.end(), rng);
}

void expect_scan(const std::vector<double>& re, const std::vector<double>& im, const char* what)
{
    const Scan ref = scan_reference(re, im);
    for (kfft::Path l : loop_levels()) {
        double peak = -1.0;
        const bool clean = kfft::scan_float_clean(
            re.data(), im.data(), static_cast<int32_t>(re.size()), peak, l);
        ASSERT_EQ(clean, ref.clean) << what << " " << level_name(l);
        if (clean) {
            ASSERT_EQ(bits(peak), bits(ref.peak)) << what << " " << level_name(l);
        }
    }
}

TEST(FloatFrameLoops, ScanFindsEveryDenormalAndNonFiniteSample)
{
    std::mt19937_64 rng(kip_test::seed());
    const double min_normal = std::ldexp(1.0, -126);
    const float fmax = 3.4028234663852886e38f;
    // Single denormal or not, after rounding to single precision, around both range ends.
    const double edges[] = { min_normal, std::nextafter(min_normal, 0.0),
        static_cast<double>(std::nextafter(static_cast<float>(min_normal), 0.0f)),
        min_normal * (1.0 - std::ldexp(1.0, -25)), min_normal * (1.0 - std::ldexp(1.0, -24)),
        std::ldexp(1.0, -149), std::ldexp(1.0, -150), std::ldexp(1.0, -151), 1e-300, kFloatMax,
        std::nextafter(kFloatMax, INFINITY), kFloatMax * (1.0 + std::ldexp(1.0, -25)),
        static_cast<double>(fmax) + std::ldexp(1.0, 103),
        std::nextafter(static_cast<double>(fmax) + std::ldexp(1.0, 103), 0.0),
        std::nextafter(min_normal - std::ldexp(1.0, -150), 0.0),
        std::nextafter(std::ldexp(1.0, -150), 1.0), HUGE_VAL, std::nan(""), 0.0 };
    for (int round = 0; round < 2; ++round) {
        for (double edge : edges)
            for (double sign : { 1.0, -1.0 })
                for (int part = 0; part < 2; ++part) {
                    std::uniform_real_distribution<double> u(-1.0, 1.0);
                    std::vector<double> re(8 + 4 * (rng() % 8)), im(re.size());
                    const int ex = static_cast<int>(rng() % 200) - 100;
                    for (size_t i = 0; i < re.size(); ++i) {
                        re[i] = std::ldexp(u(rng), ex);
                        im[i] = std::ldexp(u(rng), ex);
                    }
                    (part ? im : re)[rng() % re.size()] = sign * edge;
                    expect_scan(re, im, "edge");
                }
        // Frames whose peak is a boundary value, and all-zero frames with signed zeros.
        std::vector<double> re(16, -0.0), im(16, 0.0);
        expect_scan(re, im, "zero");
        re[3] = min_normal;
        expect_scan(re, im, "smallest");
        im[9] = -kFloatMax;
        expect_scan(re, im, "largest");
        // Again in a directed rounding mode, where other samples are denormal in single.
        std::fesetround(FE_TOWARDZERO);
    }
    std::fesetround(FE_TONEAREST);
}

TEST(FloatFrameLoops, ScanPeakOnRandomFrames)
{
    std::mt19937_64 rng(kip_test::seed() + 1);
    const int modes[] = { FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO };
    for (int i = 0; i < 400; ++i) {
        std::vector<double> re(4u << (rng() % 8)), im(re.size());
        std::uniform_real_distribution<double> u(-1.0, 1.0);
        const int ex = static_cast<int>(rng() % 260) - 130;
        for (size_t k = 0; k < re.size(); ++k) {
            re[k] = std::ldexp(u(rng), ex - static_cast<int>(rng() % 30));
            im[k] = std::ldexp(u(rng), ex - static_cast<int>(rng() % 30));
        }
        std::fesetround(modes[i % 4]);
        expect_scan(re, im, "random");
        std::fesetround(FE_TONEAREST);
        if (HasFatalFailure())
            return;
    }
}

void expect_condition(const std::vector<double>& x, int32_t e, int w, const char* what)
{
    for (kfft::Path l : loop_levels()) {
        std::vector<double> out(x.size(), -7.0);
        kfft::condition_float_frame(x.data(), static_cast<int32_t>(x.size()), e, w, out.data(), l);
        // The sign of a zero is not kept: the engine stores either as the word 0.
        for (size_t i = 0; i < x.size(); ++i)
            ASSERT_EQ(bits(out[i] + 0.0), bits(condition_reference(x[i], e, w) + 0.0))
                << what << " " << level_name(l) << " x = " << x[i] << " E = " << e << " w = " << w;
    }
}

TEST(FloatFrameLoops, ConditioningMatchesTheFormulaInEveryRoundingMode)
{
    std::mt19937_64 rng(kip_test::seed() + 2);
    const int widths[] = { 27, 28, 29 };
    const int modes[] = { FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO };
    for (int i = 0; i < 600; ++i) {
        // Frame exponents of every size, including several scale steps and frames whose small
        // samples fall to single denormals or to zero once the exponent is removed.
        const int32_t e = static_cast<int32_t>(rng() % 280) - 149;
        const int w = widths[i % 3];
        std::uniform_real_distribution<double> u(-1.0, 1.0);
        std::vector<double> x(4u << (rng() % 7));
        for (double& v : x) {
            const double m = std::ldexp(u(rng), e - static_cast<int>(rng() % 60));
            v = static_cast<double>(static_cast<float>(m));
            if (std::fpclassify(static_cast<float>(v)) == FP_SUBNORMAL || std::isinf(v))
                v = 0.0;
        }
        // Samples on a grid tie after removing the exponent: the ties must go to even.
        const double tie = std::ldexp(static_cast<double>(2 * (rng() % 1000) + 1), e - w - 1);
        x[rng() % x.size()] = static_cast<double>(static_cast<float>(tie));
        x[rng() % x.size()] = std::ldexp(rng() % 2 ? 1.0 : -1.0, e - 1);
        x[rng() % x.size()] = -0.0;
        // Beyond the frame exponent (not from a frame scan): far up the grid, up to an
        // infinity in single precision once the exponent is removed.
        if (i % 4 == 0)
            x[rng() % x.size()] = static_cast<double>(
                static_cast<float>(std::ldexp(u(rng), std::min(e + 150, 127))));
        // Every rounding mode: the grid rounding of the loops holds only to nearest.
        std::fesetround(modes[i % 4]);
        expect_condition(x, e, w, "random");
        std::fesetround(FE_TONEAREST);
        if (HasFatalFailure())
            return;
    }
}

void expect_finish(
    const std::vector<double>& re, const std::vector<double>& im, int32_t t, const char* what)
{
    bool ref_over = false;
    std::vector<double> ref_re(re.size()), ref_im(im.size());
    for (size_t k = 0; k < re.size(); ++k) {
        ref_re[k] = finish_reference(re[k], t, ref_over);
        ref_im[k] = finish_reference(im[k], t, ref_over);
    }
    for (kfft::Path l : loop_levels()) {
        std::vector<double> r = re, i = im;
        const bool over
            = kfft::finish_float_frame(r.data(), i.data(), static_cast<int32_t>(r.size()), t, l);
        ASSERT_EQ(over, ref_over) << what << " " << level_name(l) << " t = " << t;
        for (size_t k = 0; k < re.size(); ++k) {
            ASSERT_EQ(bits(r[k]), bits(ref_re[k]))
                << what << " " << level_name(l) << " y = " << re[k] << " t = " << t;
            ASSERT_EQ(bits(i[k]), bits(ref_im[k]))
                << what << " " << level_name(l) << " y = " << im[k] << " t = " << t;
        }
    }
}

// Splits values into a real and an imaginary frame, with random signs.
void expect_finish_values(std::vector<double> v, int32_t t, std::mt19937_64& rng, const char* what)
{
    pad_and_shuffle(v, rng);
    if (v.size() % 8 != 0)
        v.insert(v.end(), v.begin(), v.begin() + 4);
    for (double& x : v)
        if (rng() & 1)
            x = -x;
    const size_t h = v.size() / 2;
    expect_finish(std::vector<double>(v.begin(), v.begin() + h),
        std::vector<double>(v.begin() + h, v.end()), t, what);
}

TEST(FloatFrameLoops, ResultRoundingAroundEveryPowerOfTwo)
{
    std::mt19937_64 rng(kip_test::seed() + 3);
    std::vector<double> v;
    // Normal doubles: below them the formula's scale 2^(-1-e) is no longer finite.
    for (int k = -1022; k <= 1023; ++k) {
        const double p = std::ldexp(1.0, k);
        double up = p, down = p;
        for (int i = 0; i < 6; ++i) {
            v.push_back(up);
            v.push_back(down);
            up = std::nextafter(up, INFINITY);
            down = std::nextafter(down, 0.0);
        }
        // Across the margin within which the exponent is taken from the formula.
        for (int j = 36; j <= 42; ++j) {
            v.push_back(p * (1.0 + std::ldexp(1.0, -j)));
            v.push_back(p * (1.0 - std::ldexp(1.0, -j)));
        }
    }
    v.push_back(0.0);
    v.push_back(std::numeric_limits<double>::max());
    // The results stay finite and in range: a scale of 2^0 on values that fit, 2^-1100 on all.
    std::vector<double> small;
    for (double x : v)
        if (x <= 1e38)
            small.push_back(x);
    expect_finish_values(small, 0, rng, "powers of two");
    expect_finish_values(v, -1100, rng, "powers of two, scaled down");
}

TEST(FloatFrameLoops, ResultRoundingTiesRangeAndScale)
{
    std::mt19937_64 rng(kip_test::seed() + 4);
    std::uniform_int_distribution<int64_t> code(int64_t { 1 } << 23, (int64_t { 1 } << 24) - 1);
    const double offsets[] = { 0.5, 0.5 - 0x1p-28, 0.5 + 0x1p-28, 0.0, 0x1p-29, 1.0 - 0x1p-29 };
    const int modes[] = { FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO };
    for (int i = 0; i < 300; ++i) {
        // Engine-like results: raw words of up to 52 bits below a binary point, and exact or
        // near ties of the 24-bit rounding on odd and even codes.
        const int frac = 20 + static_cast<int>(rng() % 33);
        std::vector<double> v;
        const size_t n = 4u << (rng() % 7);
        for (size_t k = 0; k < n; ++k) {
            const int64_t raw = static_cast<int64_t>(rng() >> (12 + rng() % 40));
            v.push_back(std::ldexp(static_cast<double>(raw), -frac));
            const double tie = static_cast<double>(code(rng)) + offsets[rng() % 6];
            v.push_back(std::ldexp(tie, -frac - static_cast<int>(rng() % 10)));
        }
        // Scales of one step and several; results that cross the single range or fall to
        // double denormals.
        const int32_t tset[] = { 0, 1, -1, 62, -62, 63, -63, 124, -130, 200, -1000 };
        int32_t t = tset[rng() % 11] + static_cast<int32_t>(rng() % 5) - 2;
        const double peak = std::ldexp(1.0, 23 - frac + 10);
        if (i % 3 == 0) {
            // The largest value lands near the single range: just inside, on the half-ulp
            // boundary, or beyond it.
            t = 128 - static_cast<int32_t>(std::ilogb(peak)) - 1;
            const double edge = std::ldexp(kFloatMax, -t);
            v.push_back(edge);
            v.push_back(std::nextafter(edge, INFINITY));
            v.push_back(std::ldexp(static_cast<double>(3.4028235677973366e38), -t));
            v.push_back(std::ldexp(1.0, 128 - t));
        }
        std::fesetround(modes[i % 4]);
        expect_finish_values(v, t, rng, "ties and range");
        std::fesetround(FE_TONEAREST);
        if (HasFatalFailure())
            return;
    }
}

} // namespace
