// The floating-point mode's output rounding takes its binary exponent from frexp away from
// powers of two; here it is checked against the stated log10 formula at and around every
// power of two of the double range, across the fallback margin, and on random values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>

#include "frame_finish.h"

namespace {

uint64_t bits(double v)
{
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// The formula of the model, written out here: e = floor(log10(|y|) / log10(2)),
// m = 2^(-1-e), |y| -> round_half_even(|y| m 2^24) / 2^24 / m.
double formula(double y)
{
    if (y == 0.0)
        return y;
    const double mag = std::fabs(y);
    const double e = std::floor(std::log10(mag) / std::log10(2.0));
    const double m = std::pow(2.0, -1.0 - e);
    const double two24 = 16777216.0;
    const double x = mag * m * two24;
    double r = std::floor(x);
    if (x - r > 0.5 || (x - r == 0.5 && std::fmod(r, 2.0) != 0.0))
        r += 1.0;
    r = r / two24 / m;
    return y < 0.0 ? -r : r;
}

void expect_same(double y)
{
    const double fast = kfft::round_to_single_significance_fast(y);
    const double ref = formula(y);
    // NaN == NaN in bits as well: both paths must agree on every value.
    ASSERT_EQ(bits(fast), bits(ref)) << "y = " << y;
}

TEST(FloatSignificance, FastExponentMatchesFormulaAroundEveryPowerOfTwo)
{
    for (int k = -1074; k <= 1023; ++k) {
        const double p = std::ldexp(1.0, k);
        double up = p, down = p;
        for (int i = 0; i < 24; ++i) {
            expect_same(up);
            expect_same(-down);
            up = std::nextafter(up, INFINITY);
            down = std::nextafter(down, 0.0);
        }
        // Across the margin of the shortcut, on both sides of the power of two.
        for (int j = 30; j <= 46; ++j) {
            expect_same(p * (1.0 + std::ldexp(1.0, -j)));
            expect_same(p * (1.0 - std::ldexp(1.0, -j)));
            expect_same(-p * (1.0 + 3 * std::ldexp(1.0, -j)));
        }
        if (HasFatalFailure())
            return;
    }
}

TEST(FloatSignificance, FastExponentMatchesFormulaOnRandomValues)
{
    std::mt19937_64 rng(20241208);
    std::uniform_int_distribution<int> ex(-1070, 1020);
    std::uniform_real_distribution<double> frac(0.5, 1.0);
    std::uniform_int_distribution<int64_t> code(int64_t(1) << 23, (int64_t(1) << 24) - 1);
    const double offsets[] = { 0.5, 0.5 - 0x1p-28, 0.5 + 0x1p-28, 0.0, 0x1p-29 };
    for (int i = 0; i < 200000; ++i) {
        const double v = std::ldexp(frac(rng), ex(rng));
        expect_same((i & 1) ? v : -v);
        // Exact ties and near-ties of the 24-bit rounding, odd and even codes.
        const double t = std::ldexp(static_cast<double>(code(rng)) + offsets[i % 5], ex(rng));
        expect_same((i & 2) ? t : -t);
        if (HasFatalFailure())
            return;
    }
}

} // namespace
