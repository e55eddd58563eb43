// Twiddle table: quantised quarter wave, symmetry and lookups.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "engines.h"
#include "fft_frame_ref.h"

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

namespace {

// FNV-1a over the raw real and imaginary integers of entries 0..2^(m-2), as 64-bit words.
struct Fnv {
    uint64_t h = 14695981039346656037ull;
    void add(int64_t v)
    {
        for (int b = 0; b < 8; ++b) {
            h ^= (static_cast<uint64_t>(v) >> (8 * b)) & 0xffu;
            h *= 1099511628211ull;
        }
    }
};

int64_t raw_of(const KFix& v, int tw)
{
    return static_cast<int64_t>(std::ldexp(v.toDouble(), tw - 1));
}

} // namespace

// Every entry of a few tables, pinned by checksum: a change of the math library's cos/sin
// that moves a single entry by one unit is caught. The table built here from the stated
// angle formula with KFix, and the library's lookups, both reproduce the pinned sums.
TEST(TwiddleRom, EntriesPinnedByChecksum)
{
    struct Pin {
        int m, tw;
        uint64_t sum;
    };
    const Pin pins[] = {
        { 3, 8, 0x5a094fa1fae3f885ull },
        { 6, 16, 0x8d5ad3bd631c4399ull },
        { 10, 16, 0x3d48096d9b1b3b59ull },
        { 10, 24, 0xc2df6e8a88183c71ull },
        { 11, 17, 0x4af0ca7dc9c4bf95ull },
        { 12, 34, 0x13fca7ec35f80fa5ull },
        { 16, 16, 0xb058e7a294c6ea71ull },
        { 16, 34, 0xbd02a6cee1480b1dull },
    };
    for (const Pin& p : pins) {
        TWIDDLE_ROM rom(p.m, p.tw);
        const fft_ref::Twiddles ref(p.m, p.tw);
        ASSERT_EQ(rom.entries(), ref.entries());
        Fnv lib, own;
        for (int32_t k = 0; k < ref.entries(); ++k) {
            const CRaw w = rom.lookup_raw(static_cast<uint64_t>(k));
            const int64_t re = raw_of(ref.entry(k).re, p.tw), im = raw_of(ref.entry(k).im, p.tw);
            ASSERT_EQ(w.re, re) << "m=" << p.m << " tw=" << p.tw << " entry " << k;
            ASSERT_EQ(w.im, im) << "m=" << p.m << " tw=" << p.tw << " entry " << k;
            lib.add(w.re);
            lib.add(w.im);
            own.add(re);
            own.add(im);
        }
        EXPECT_EQ(lib.h, p.sum) << "m=" << p.m << " tw=" << p.tw;
        EXPECT_EQ(own.h, p.sum) << "m=" << p.m << " tw=" << p.tw;
        // The symmetric lookups of the reference agree with the library's over the circle.
        const uint64_t n = uint64_t(1) << p.m;
        for (uint64_t i = 0; i < n; i += 1 + n / 512) {
            const KFixComplex r = ref.lookup(i);
            const CRaw w = rom.lookup_raw(i);
            ASSERT_EQ(w.re, raw_of(r.re, p.tw)) << "m=" << p.m << " tw=" << p.tw << " i " << i;
            ASSERT_EQ(w.im, raw_of(r.im, p.tw)) << "m=" << p.m << " tw=" << p.tw << " i " << i;
        }
    }
}
