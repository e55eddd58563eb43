// Twiddle table: quantised quarter wave, symmetry and lookups.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "engines.h"

using kfft_raw::CRaw;

namespace {

int64_t unit(int tw) { return int64_t(1) << (tw - 1); }

} // namespace

TEST(TwiddleRom, SmallestTable)
{
    TWIDDLE_ROM rom(3, 16);
    EXPECT_EQ(rom.entries(), 3); // angles 0, pi/4, pi/2
    const CRaw w6 = rom.lookup_raw(6); // 3 pi / 2
    EXPECT_EQ(w6.re, 0);
    EXPECT_EQ(w6.im, -unit(16));
}

TEST(TwiddleRom, QuadrantPoints)
{
    for (int m = 3; m <= 16; ++m) {
        TWIDDLE_ROM rom(m, 18);
        const int64_t one = unit(18);
        const uint64_t quarter = uint64_t(1) << (m - 2);
        EXPECT_EQ(rom.entries(), static_cast<int32_t>(quarter + 1));
        const CRaw e0 = rom.lookup_raw(0), e1 = rom.lookup_raw(quarter),
                   e2 = rom.lookup_raw(2 * quarter), e3 = rom.lookup_raw(3 * quarter);
        EXPECT_EQ(e0.re, one);
        EXPECT_EQ(e0.im, 0);
        EXPECT_EQ(e1.re, 0);
        EXPECT_EQ(e1.im, one);
        EXPECT_EQ(e2.re, -one);
        EXPECT_EQ(e2.im, 0);
        EXPECT_EQ(e3.re, 0);
        EXPECT_EQ(e3.im, -one);
    }
}

TEST(TwiddleRom, EighthWaveAtEightBits)
{
    // 0.7071067811865476 with 7 fraction bits: 90.51 units round to 91/128.
    TWIDDLE_ROM rom(3, 8);
    const CRaw w = rom.lookup_raw(1);
    EXPECT_EQ(w.re, 91);
    EXPECT_EQ(w.im, 91);
    EXPECT_EQ(std::ldexp(static_cast<double>(w.re), -7), 0.7109375);
    const CRaw w3 = rom.lookup_raw(3);
    EXPECT_EQ(w3.re, -91);
    EXPECT_EQ(w3.im, 91);
}

TEST(TwiddleRom, EveryEntryRoundsToNearestWithExactSymmetry)
{
    const long double pi = 3.141592653589793238462643383279502884L;
    for (int m : { 3, 4, 7, 10, 12 }) {
        for (int tw : { 8, 11, 16, 24, 34 }) {
            TWIDDLE_ROM rom(m, tw);
            const uint64_t n = uint64_t(1) << m;
            for (uint64_t i = 0; i < n; ++i) {
                const CRaw w = rom.lookup_raw(i);
                const long double a = 2 * pi * static_cast<long double>(i) / n;
                const long double c = std::ldexp(std::cos(a), tw - 1);
                const long double s = std::ldexp(std::sin(a), tw - 1);
                ASSERT_LE(std::fabs(w.re - c), 0.5L + 1e-6L)
                    << "m=" << m << " tw=" << tw << " i=" << i;
                ASSERT_LE(std::fabs(w.im - s), 0.5L + 1e-6L)
                    << "m=" << m << " tw=" << tw << " i=" << i;
                // Mirror images are exact negations or swaps.
                const CRaw neg = rom.lookup_raw(i + n / 2);
                ASSERT_EQ(neg.re, -w.re);
                ASSERT_EQ(neg.im, -w.im);
                const CRaw conj = rom.lookup_raw(n - i);
                ASSERT_EQ(conj.re, w.re);
                ASSERT_EQ(conj.im, -w.im);
                // Indexes wrap modulo the table period.
                const CRaw again = rom.lookup_raw(i + 5 * n);
                ASSERT_EQ(again.re, w.re);
                ASSERT_EQ(again.im, w.im);
            }
        }
    }
}

TEST(TwiddleRom, RefusesImpossibleSizes)
{
    EXPECT_THROW(TWIDDLE_ROM(2, 16), std::invalid_argument);
    EXPECT_THROW(TWIDDLE_ROM(17, 16), std::invalid_argument);
    EXPECT_THROW(TWIDDLE_ROM(10, 7), std::invalid_argument);
    EXPECT_THROW(TWIDDLE_ROM(10, 35), std::invalid_argument);
}
