// FFPContext: formats, mode checks, descriptions, the rounding and overflow tables checked
// against exact integer references, and the warning records.
#include "kip_test_seed.h"
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>

#include "ffp.h"

namespace {

const RndMode kAllRnd[] = { RND_NONE, RND_CHECK, RND_TO_ZERO, RND_TO_INF, RND_DOWN, RND_UP,
    RND_TO_EVEN, RND_TO_ODD, RND_POSIX, RND_HALF_DOWN, RND_HALF_UP, RND_HALF_TO_ZERO };

// ---------------------------------------------------------------- formats and modes

TEST(FFPFormat, WidthLimits)
{
    EXPECT_NO_THROW(FFPContext(1, 0, RND_NONE, OVF_NONE, SIGN_SIGNED, WARN_NONE));
    EXPECT_NO_THROW(FFPContext(53, 0, RND_NONE, OVF_NONE, SIGN_SIGNED, WARN_NONE));
    try {
        FFPContext(54, 20, RND_NONE, OVF_NONE, SIGN_SIGNED, WARN_NONE);
        FAIL() << "width 54 accepted";
    } catch (const FFPException& e) {
        EXPECT_STREQ(e.what(), "Bad format specified (IFIX_54_20)");
    }
    try {
        FFPContext(0, 3, RND_NONE, OVF_NONE, SIGN_UNSIGNED, WARN_NONE);
        FAIL() << "width 0 accepted";
    } catch (const FFPException& e) {
        EXPECT_STREQ(e.what(), "Bad format specified (UFIX_0_3)");
    }
    try {
        FFPContext(60, 30, RND_NONE, OVF_NONE, SIGN_SIGNED, WARN_NONE);
        FAIL() << "width 60 accepted";
    } catch (const FFPException& e) {
        EXPECT_STREQ(e.what(), "Bad format specified (IFIX_60_30)");
    }
}

TEST(FFPFormat, BadWidthChangesOnlyTheWidth)
{
    FFPContext c(8, 2, RND_DOWN, OVF_WRAP, SIGN_SIGNED, WARN_NONE);
    EXPECT_THROW(c.setFormat(-1, 9, SIGN_UNSIGNED), FFPException);
    EXPECT_EQ(c.width, -1);
    EXPECT_EQ(c.frac, 2);
    EXPECT_EQ(c.sign_mode, SIGN_SIGNED);
    EXPECT_EQ(c.max_value, 127.0);
    EXPECT_EQ(c.scale, 4.0);
}

TEST(FFPFormat, RangesAndScales)
{
    FFPContext s1(1, 0, RND_NONE, OVF_NONE, SIGN_SIGNED, WARN_NONE);
    EXPECT_EQ(s1.max_value, 0.0);
    EXPECT_EQ(s1.min_value, -1.0);
    FFPContext u1(1, 0, RND_NONE, OVF_NONE, SIGN_UNSIGNED, WARN_NONE);
    EXPECT_EQ(u1.max_value, 1.0);
    EXPECT_EQ(u1.min_value, 0.0);
    FFPContext s53(53, 0, RND_NONE, OVF_NONE, SIGN_SIGNED, WARN_NONE);
    EXPECT_EQ(s53.max_value, 4503599627370495.0);
    EXPECT_EQ(s53.min_value, -4503599627370496.0);
    FFPContext neg(16, -2, RND_NONE, OVF_NONE, SIGN_SIGNED, WARN_NONE);
    EXPECT_EQ(neg.scale, 0.25);
    EXPECT_EQ(neg.unscale, 4.0);
    FFPContext big(16, 40, RND_NONE, OVF_NONE, SIGN_SIGNED, WARN_NONE);
    EXPECT_EQ(big.scale, std::ldexp(1.0, 40));
    EXPECT_EQ(big.unscale, std::ldexp(1.0, -40));
}

TEST(FFPFormat, SignModesOtherThanSignedAndUnsignedAreRefused)
{
    try {
        FFPContext(8, 0, RND_NONE, OVF_NONE, static_cast<SignMode>(2), WARN_NONE);
        FAIL() << "sign mode 2 accepted";
    } catch (const FFPException& e) {
        EXPECT_STREQ(e.what(), "Bad sign mode specified");
    }
}

TEST(FFPFormat, ModeChecksKeepTheBadValue)
{
    FFPContext c(8, 0, RND_NONE, OVF_NONE, SIGN_SIGNED, WARN_NONE);
    EXPECT_NO_THROW(c.setRoundingMode(RND_HALF_TO_ZERO));
    EXPECT_NO_THROW(c.setOverflowMode(OVF_CLIP));
    try {
        c.setRoundingMode(static_cast<RndMode>(12));
        FAIL();
    } catch (const FFPException& e) {
        EXPECT_STREQ(e.what(), "Bad rounding mode specified");
    }
    EXPECT_EQ(c.getRoundingMode(), 12);
    EXPECT_THROW(c.setRoundingMode(static_cast<RndMode>(-1)), FFPException);
    try {
        c.setOverflowMode(static_cast<OvfMode>(4));
        FAIL();
    } catch (const FFPException& e) {
        EXPECT_STREQ(e.what(), "Bad overflow mode specified");
    }
    EXPECT_EQ(c.getOverflowMode(), 4);
    EXPECT_THROW(c.setOverflowMode(static_cast<OvfMode>(-3)), FFPException);
    // Describing or using a context left with bad modes stays within its tables.
    EXPECT_EQ(c.describe(true), "IFIX_8_0-RND_INVALID-OVF_INVALID");
    EXPECT_EQ(c.do_restrict(300.5), 300.5);
    // The constructor reports the first failing setter.
    EXPECT_THROW(
        FFPContext(8, 0, static_cast<RndMode>(12), static_cast<OvfMode>(9), SIGN_SIGNED, WARN_NONE),
        FFPException);
}

TEST(FFPFormat, Describe)
{
    FFPContext c(16, 15, RND_TO_EVEN, OVF_WRAP, SIGN_SIGNED, WARN_NONE);
    EXPECT_EQ(c.describe(false), "IFIX_16_15");
    EXPECT_EQ(c.describe(true), "IFIX_16_15-RND_TO_EVEN-OVF_WRAP");
    std::ostringstream os;
    os << c;
    EXPECT_EQ(os.str(), "IFIX_16_15-RND_TO_EVEN-OVF_WRAP");
    FFPContext u(8, 0, RND_HALF_TO_ZERO, OVF_CLIP, SIGN_UNSIGNED, WARN_NONE);
    EXPECT_EQ(u.describe(false), "UFIX_8_0");
    EXPECT_EQ(u.describe(true), "UFIX_8_0-RND_HALF_TO_ZERO-OVF_CLIP");
    FFPContext n(4, -3, RND_NONE, OVF_NONE, SIGN_SIGNED, WARN_NONE);
    EXPECT_EQ(n.describe(true), "IFIX_4_-3-RND_NONE-OVF_NONE");
    const char* rnd[] = { "-RND_NONE", "-RND_CHECK", "-RND_TO_ZERO", "-RND_TO_INF", "-RND_DOWN",
        "-RND_UP", "-RND_TO_EVEN", "-RND_TO_ODD", "-RND_POSIX", "-RND_HALF_DOWN", "-RND_HALF_UP",
        "-RND_HALF_TO_ZERO" };
    const char* ovf[] = { "-OVF_NONE", "-OVF_CHECK", "-OVF_WRAP", "-OVF_CLIP" };
    for (int i = 0; i < 12; ++i)
        EXPECT_STREQ(rnd_desc[i], rnd[i]);
    for (int i = 0; i < 4; ++i)
        EXPECT_STREQ(ovf_desc[i], ovf[i]);
}

// ---------------------------------------------------------------- rounding

// Values -2.7, -2.5, -2.3, 2.3, 2.5, 2.7 and the odd ties -3.5, 3.5, row by row.
struct RoundRow {
    RndMode mode;
    double expect[8];
};

TEST(FFPRounding, TableRows)
{
    const double in[8] = { -2.7, -2.5, -2.3, 2.3, 2.5, 2.7, -3.5, 3.5 };
    const RoundRow rows[] = {
        { RND_NONE, { -2.7, -2.5, -2.3, 2.3, 2.5, 2.7, -3.5, 3.5 } },
        { RND_CHECK, { -2.7, -2.5, -2.3, 2.3, 2.5, 2.7, -3.5, 3.5 } },
        { RND_TO_ZERO, { -2, -2, -2, 2, 2, 2, -3, 3 } },
        { RND_TO_INF, { -3, -3, -3, 3, 3, 3, -4, 4 } },
        { RND_DOWN, { -3, -3, -3, 2, 2, 2, -4, 3 } },
        { RND_UP, { -2, -2, -2, 3, 3, 3, -3, 4 } },
        { RND_TO_EVEN, { -3, -2, -2, 2, 2, 3, -4, 4 } },
        { RND_TO_ODD, { -3, -3, -2, 2, 3, 3, -3, 3 } },
        { RND_POSIX, { -3, -3, -2, 2, 3, 3, -4, 4 } },
        { RND_HALF_DOWN, { -3, -3, -2, 2, 2, 3, -4, 3 } },
        { RND_HALF_UP, { -3, -2, -2, 2, 3, 3, -3, 4 } },
        { RND_HALF_TO_ZERO, { -3, -2, -2, 2, 2, 3, -3, 3 } },
    };
    for (const auto& row : rows) {
        FFPContext c(16, 0, row.mode, OVF_WRAP, SIGN_SIGNED, WARN_NONE);
        for (int k = 0; k < 8; ++k)
            EXPECT_EQ(c.do_restrict(in[k]), row.expect[k]) << rnd_desc[row.mode] << " of " << in[k];
    }
}

// Exact reference: v = k / 2^s with k an integer; results by integer arithmetic.
double reference_round(RndMode mode, int64_t k, int s)
{
    const int64_t one = int64_t { 1 } << s;
    int64_t fl = k >= 0 ? k / one : -((-k + one - 1) / one); // floor(k / one)
    int64_t rem = k - fl * one; // 0 <= rem < one
    const double v = static_cast<double>(k) / static_cast<double>(one);
    if (rem == 0 || mode == RND_NONE || mode == RND_CHECK)
        return v;
    const int64_t ce = fl + 1, tz = k < 0 ? ce : fl, away = k < 0 ? fl : ce;
    const int64_t twice = 2 * rem;
    switch (mode) {
    case RND_TO_ZERO:
        return static_cast<double>(tz);
    case RND_TO_INF:
        return static_cast<double>(away);
    case RND_DOWN:
        return static_cast<double>(fl);
    case RND_UP:
        return static_cast<double>(ce);
    default:
        break;
    }
    if (twice < one)
        return static_cast<double>(fl);
    if (twice > one)
        return static_cast<double>(ce);
    int64_t tie = 0;
    switch (mode) {
    case RND_TO_EVEN:
        tie = (fl % 2 == 0) ? fl : ce;
        break;
    case RND_TO_ODD:
        tie = (fl % 2 != 0) ? fl : ce;
        break;
    case RND_POSIX:
        tie = away;
        break;
    case RND_HALF_DOWN:
        tie = fl;
        break;
    case RND_HALF_UP:
        tie = ce;
        break;
    case RND_HALF_TO_ZERO:
        tie = tz;
        break;
    default:
        break;
    }
    return static_cast<double>(tie);
}

TEST(FFPRounding, QuarterStepsAgainstReference)
{
    for (RndMode mode : kAllRnd) {
        FFPContext c(53, 0, mode, OVF_NONE, SIGN_SIGNED, WARN_NONE);
        for (int64_t k = -4000; k <= 4000; ++k) {
            const double v = static_cast<double>(k) / 4.0;
            ASSERT_EQ(c.do_restrict(v), reference_round(mode, k, 2))
                << rnd_desc[mode] << " of " << v;
        }
    }
}

TEST(FFPRounding, RandomWideValuesAgainstReference)
{
    const uint64_t seed = kip_test::seed();
    std::mt19937_64 gen(seed);
    std::uniform_int_distribution<int64_t> kdist(-(int64_t { 1 } << 50), int64_t { 1 } << 50);
    std::uniform_int_distribution<int> sdist(0, 3);
    for (RndMode mode : kAllRnd) {
        FFPContext c(53, 0, mode, OVF_NONE, SIGN_SIGNED, WARN_NONE);
        for (int n = 0; n < 20000; ++n) {
            const int64_t k = kdist(gen);
            const int s = sdist(gen);
            const double v = std::ldexp(static_cast<double>(k), -s);
            ASSERT_EQ(c.do_restrict(v), reference_round(mode, k, s))
                << rnd_desc[mode] << " of " << k << "/2^" << s << " (KIP_TEST_SEED=" << seed << ")";
        }
    }
}

TEST(FFPRounding, NegativeZeroBecomesPositive)
{
    for (RndMode mode : kAllRnd) {
        FFPContext c(8, 0, mode, OVF_WRAP, SIGN_SIGNED, WARN_NONE);
        double r = c.do_restrict(-0.0);
        EXPECT_EQ(r, 0.0);
        EXPECT_FALSE(std::signbit(r)) << rnd_desc[mode];
    }
    FFPContext t(8, 0, RND_TO_ZERO, OVF_WRAP, SIGN_SIGNED, WARN_NONE);
    EXPECT_FALSE(std::signbit(t.do_restrict(-0.3)));
    FFPContext w(8, 0, RND_NONE, OVF_WRAP, SIGN_SIGNED, WARN_NONE);
    EXPECT_FALSE(std::signbit(w.do_restrict(-256.0))); // fmod gives -0
}

TEST(FFPRounding, NotANumberPassesThrough)
{
    FFPContext c(8, 0, RND_TO_EVEN, OVF_WRAP, SIGN_SIGNED, WARN_OVERFLOW);
    EXPECT_TRUE(std::isnan(c.do_restrict(std::nan(""))));
    EXPECT_TRUE(c.messages.empty());
}

// ---------------------------------------------------------------- overflow

// Exact reference for integer codes.
int64_t reference_overflow(OvfMode mode, bool is_signed, int w, int64_t r)
{
    const int64_t period = int64_t { 1 } << w;
    const int64_t lo = is_signed ? -(period / 2) : 0;
    const int64_t hi = is_signed ? period / 2 - 1 : period - 1;
    if (mode == OVF_NONE || mode == OVF_CHECK || (r >= lo && r <= hi))
        return r;
    if (mode == OVF_CLIP)
        return r > hi ? hi : lo;
    int64_t m = (r - lo) % period;
    if (m < 0)
        m += period;
    return m + lo;
}

TEST(FFPOverflow, IntegerCodesAgainstReference)
{
    const OvfMode modes[] = { OVF_NONE, OVF_CHECK, OVF_WRAP, OVF_CLIP };
    for (OvfMode mode : modes)
        for (int sign = 0; sign < 2; ++sign)
            for (int w = 1; w <= 10; ++w) {
                FFPContext c(w, 0, RND_TO_ZERO, mode, static_cast<SignMode>(sign), WARN_NONE);
                for (int64_t r = -2100; r <= 2100; ++r)
                    ASSERT_EQ(c.do_restrict(static_cast<double>(r)),
                        static_cast<double>(reference_overflow(mode, sign == 0, w, r)))
                        << ovf_desc[mode] << (sign ? " unsigned" : " signed") << " width " << w
                        << " code " << r;
            }
}

TEST(FFPOverflow, TableRows)
{
    FFPContext s(8, 0, RND_TO_ZERO, OVF_WRAP, SIGN_SIGNED, WARN_NONE);
    EXPECT_EQ(s.do_restrict(130), -126);
    EXPECT_EQ(s.do_restrict(-130), 126);
    EXPECT_EQ(s.do_restrict(-300), -44);
    EXPECT_EQ(s.do_restrict(256), 0);
    FFPContext u(8, 0, RND_TO_ZERO, OVF_WRAP, SIGN_UNSIGNED, WARN_NONE);
    EXPECT_EQ(u.do_restrict(300), 44);
    EXPECT_EQ(u.do_restrict(-1), 255);
    EXPECT_EQ(u.do_restrict(-256), 0);
    EXPECT_EQ(u.do_restrict(-257), 255);
    FFPContext sc(8, 0, RND_TO_ZERO, OVF_CLIP, SIGN_SIGNED, WARN_NONE);
    EXPECT_EQ(sc.do_restrict(200), 127);
    EXPECT_EQ(sc.do_restrict(-200), -128);
    FFPContext uc(8, 0, RND_TO_ZERO, OVF_CLIP, SIGN_UNSIGNED, WARN_NONE);
    EXPECT_EQ(uc.do_restrict(-5), 0);
    EXPECT_EQ(uc.do_restrict(999), 255);
    FFPContext ck(8, 0, RND_TO_ZERO, OVF_CHECK, SIGN_SIGNED, WARN_NONE);
    EXPECT_EQ(ck.do_restrict(1000), 1000);
    // Rounding happens first and can itself overflow.
    FFPContext p(8, 0, RND_POSIX, OVF_WRAP, SIGN_SIGNED, WARN_NONE);
    EXPECT_EQ(p.do_restrict(127.5), -128);
    // Without rounding a fractional code wraps as it is.
    FFPContext n(8, 0, RND_NONE, OVF_WRAP, SIGN_SIGNED, WARN_NONE);
    EXPECT_EQ(n.do_restrict(127.5), -128.5);
    // The widest format wraps exactly.
    FFPContext w53(53, 0, RND_TO_ZERO, OVF_WRAP, SIGN_SIGNED, WARN_NONE);
    EXPECT_EQ(w53.do_restrict(4503599627370496.0), -4503599627370496.0);
    EXPECT_EQ(w53.do_restrict(-4503599627370497.0), 4503599627370495.0);
}

// ---------------------------------------------------------------- quantisation of real values

TEST(FFPQuantise, RealValueThroughScaleAndUnscale)
{
    FFPContext c(16, 15, RND_TO_EVEN, OVF_WRAP, SIGN_SIGNED, WARN_NONE);
    const double lsb = std::ldexp(1.0, -15);
    EXPECT_EQ(c.do_restrict(0.5 * c.scale) * c.unscale, 0.5);
    EXPECT_EQ(c.do_restrict((2.5 * lsb) * c.scale) * c.unscale, 2 * lsb);
    EXPECT_EQ(c.do_restrict(1.0 * c.scale) * c.unscale, -1.0); // wraps
}

TEST(FFPQuantise, ToFixAndFromFix)
{
    FFPContext c(8, 2, RND_TO_ZERO, OVF_WRAP, SIGN_SIGNED, WARN_NONE);
    EXPECT_EQ(c.do_tofix(1.3, -128, 127), 5); // 5.2 truncated
    EXPECT_EQ(c.do_tofix(40.0, -128, 127), -96); // 160 wraps
    EXPECT_EQ(c.do_fromfix(5.5, false), 1.25);
    EXPECT_TRUE(c.messages.empty());
}

// ---------------------------------------------------------------- warning records

TEST(FFPWarnings, PrecisionRecord)
{
    FFPContext c(8, 1, RND_TO_EVEN, OVF_WRAP, SIGN_SIGNED, WARN_PRECISION);
    EXPECT_EQ(c.do_restrict(5.5), 6);
    EXPECT_EQ(c.messages, "2.75 too precise for IFIX_8_1 (rounded to 3)");
    c.do_restrict(4.0); // integral: no record
    EXPECT_EQ(c.messages, "2.75 too precise for IFIX_8_1 (rounded to 3)");
    // The record shows the rounded value before negative zero is made positive.
    EXPECT_FALSE(std::signbit(c.do_restrict(-0.25)));
    EXPECT_EQ(c.messages,
        "2.75 too precise for IFIX_8_1 (rounded to 3)\n"
        "-0.125 too precise for IFIX_8_1 (rounded to -0)");
}

TEST(FFPWarnings, PrecisionRecordWithoutRounding)
{
    FFPContext c(8, 0, RND_CHECK, OVF_WRAP, SIGN_SIGNED, WARN_PRECISION);
    EXPECT_EQ(c.do_restrict(2.5), 2.5);
    EXPECT_EQ(c.messages, "2.5 too precise for IFIX_8_0 (was not rounded)");
}

TEST(FFPWarnings, OverflowRecords)
{
    FFPContext c(8, 0, RND_TO_ZERO, OVF_WRAP, SIGN_SIGNED, WARN_OVERFLOW);
    c.do_restrict(130);
    c.do_restrict(-130);
    c.do_restrict(5);
    EXPECT_EQ(c.messages,
        "130 too large for IFIX_8_0 (overflowed to -126)\n"
        "-130 too large for IFIX_8_0 (overflowed to 126)");
    FFPContext u(8, 3, RND_TO_ZERO, OVF_CLIP, SIGN_UNSIGNED, WARN_OVERFLOW);
    u.do_restrict(300.5); // rounded to 300 first, then clipped to 255
    EXPECT_EQ(u.messages, "37.5 too large for UFIX_8_3 (overflowed to 31.875)");
    FFPContext k(8, 0, RND_TO_ZERO, OVF_CHECK, SIGN_SIGNED, WARN_OVERFLOW);
    k.do_restrict(1000);
    EXPECT_EQ(k.messages, "1000 too large for IFIX_8_0 (overflow disabled)");
}

TEST(FFPWarnings, NumbersUseSixSignificantDigits)
{
    FFPContext c(16, 15, RND_TO_EVEN, OVF_WRAP, SIGN_SIGNED, WARN_OVERFLOW);
    c.do_restrict(12345678.0);
    EXPECT_EQ(c.messages, "376.76 too large for IFIX_16_15 (overflowed to 0.760193)");
}

TEST(FFPWarnings, OnceClearsOnlyThatKind)
{
    FFPContext c(
        8, 0, RND_TO_EVEN, OVF_WRAP, SIGN_SIGNED, WARN_ONCE | WARN_OVERFLOW | WARN_PRECISION);
    c.do_restrict(200);
    c.do_restrict(300);
    EXPECT_EQ(c.messages, "200 too large for IFIX_8_0 (overflowed to -56)");
    EXPECT_EQ(c.warn_mode, WARN_ONCE | WARN_PRECISION);
    c.do_restrict(0.5);
    c.do_restrict(1.5);
    EXPECT_EQ(c.messages,
        "200 too large for IFIX_8_0 (overflowed to -56)\n"
        "0.5 too precise for IFIX_8_0 (rounded to 0)");
    EXPECT_EQ(c.warn_mode, WARN_ONCE);
    // Setting the bit anew re-arms the kind.
    c.setWarnMode(c.warn_mode | WARN_OVERFLOW);
    c.do_restrict(-129);
    EXPECT_NE(
        c.messages.find("\n-129 too large for IFIX_8_0 (overflowed to 127)"), std::string::npos);
}

TEST(FFPWarnings, OnceAloneRecordsNothing)
{
    FFPContext c(8, 0, RND_DOWN, OVF_WRAP, SIGN_SIGNED, WARN_ONCE);
    c.do_restrict(1000.5);
    c.do_tofix(1000, -128, 127);
    EXPECT_TRUE(c.messages.empty());
    EXPECT_EQ(c.warn_mode, WARN_ONCE);
}

TEST(FFPWarnings, ThrowCarriesAllAccumulatedText)
{
    FFPContext c(8, 0, RND_TO_ZERO, OVF_WRAP, SIGN_SIGNED, WARN_OVERFLOW | WARN_THROW);
    c.messages = "earlier";
    try {
        c.do_restrict(130);
        FAIL() << "no exception";
    } catch (const FFPException& e) {
        EXPECT_STREQ(e.what(), "earlier\n130 too large for IFIX_8_0 (overflowed to -126)");
    }
}

TEST(FFPWarnings, ThrowAfterPrecisionSkipsOverflow)
{
    FFPContext c(
        8, 0, RND_POSIX, OVF_WRAP, SIGN_SIGNED, WARN_PRECISION | WARN_OVERFLOW | WARN_THROW);
    EXPECT_THROW(c.do_restrict(127.5), FFPException);
    EXPECT_EQ(c.messages, "127.5 too precise for IFIX_8_0 (rounded to 128)");
}

TEST(FFPWarnings, ConversionRecords)
{
    FFPContext c(8, 2, RND_TO_ZERO, OVF_WRAP, SIGN_SIGNED, WARN_CONVERT | WARN_ONCE);
    c.do_tofix(1.0, -128, 127); // in range
    EXPECT_TRUE(c.messages.empty());
    c.do_tofix(40.0, -128, 127);
    EXPECT_EQ(c.messages, "to_fix: 40 (IFIX_8_2) exceeded range of target type");
    EXPECT_EQ(c.warn_mode, WARN_ONCE);
    c.do_tofix(-40.0, -128, 127); // kind cleared
    EXPECT_EQ(c.messages, "to_fix: 40 (IFIX_8_2) exceeded range of target type");

    // from_fix records whenever the caller says so, whatever the convert bit.
    FFPContext f(8, 1, RND_TO_ZERO, OVF_WRAP, SIGN_SIGNED, WARN_NONE);
    EXPECT_EQ(f.do_fromfix(5.5, true), 2.5);
    EXPECT_EQ(
        f.messages, "from_fix: input had more precision than target type IFIX_8_1 (became 5.5)");
    FFPContext t(8, 1, RND_TO_ZERO, OVF_WRAP, SIGN_SIGNED, WARN_THROW);
    EXPECT_THROW(t.do_fromfix(1.5, true), FFPException);
}

} // namespace
