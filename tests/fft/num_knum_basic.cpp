// KNum formats, construction, bit access, slot-wise operations and their failure texts.
#include "num_ref.h"

#include <cmath>
#include <cstring>
#include <sstream>

using namespace numref;

namespace {

template <typename F> void expectIllegal(F f, const char* text, int32_t value)
{
    try {
        f();
        ADD_FAILURE() << "no exception, expected IllegalIntArg \"" << text << "\"";
    } catch (const KNumException::IllegalIntArg& e) {
        EXPECT_STREQ(e.text, text);
        EXPECT_EQ(e.value, value);
    }
}

template <typename F> void expectBad(F f)
{
    try {
        f();
        ADD_FAILURE() << "no exception, expected bad_exception";
    } catch (const std::bad_exception& e) {
        EXPECT_STREQ(e.what(), "bad exception");
    }
}

} // namespace

TEST(KNumFormat, SlotLayoutAtBoundaries)
{
    const struct {
        int w, nwords, topbits;
    } cases[]
        = { { 0, 1, 0 }, { 1, 1, 1 }, { 15, 1, 15 }, { 16, 1, 16 }, { 17, 2, 1 }, { 31, 2, 15 },
              { 32, 2, 16 }, { 33, 3, 1 }, { 128, 8, 16 }, { 129, 9, 1 }, { 4096, 256, 16 } };
    for (const auto& c : cases) {
        const KNum v(0, c.w, SIGNED, TRUNCATE, WRAP);
        EXPECT_EQ(v.nwords, c.nwords) << c.w;
        EXPECT_EQ(v.topbits, c.topbits) << c.w;
        EXPECT_EQ(KNum::TOP_MASK[c.topbits], (1u << c.topbits) - 1);
        EXPECT_EQ(KNum::TOP_CARRY[c.topbits], 1u << c.topbits);
        EXPECT_EQ(KNum::TOP_SIGN[c.topbits], c.topbits ? 1u << (c.topbits - 1) : 0u);
    }
    const KNum d;
    EXPECT_EQ(d.width, 0);
    EXPECT_EQ(d.type, UNSIGNED);
    EXPECT_EQ(d.quant, TRUNCATE);
    EXPECT_EQ(d.ovfl, WRAP);
    EXPECT_EQ(d.nwords, 1);
    EXPECT_EQ(d.digits[0], 0u);
    EXPECT_EQ(d.status, 0u);
}

TEST(KNumFormat, WidthAndModeLimits)
{
    EXPECT_THROW(KNum(0, 4097, SIGNED, TRUNCATE, WRAP), KNumException::tooManyBits);
    expectBad([] { KNum(0, -1, SIGNED, TRUNCATE, WRAP); });
    expectBad([] { KNum(0, 8, 3, TRUNCATE, WRAP); });
    expectBad([] { KNum(0, 8, SIGNED, 5, WRAP); });
    expectBad([] { KNum(0, 8, SIGNED, TRUNCATE, 4); });
    KNum v(5, 8, SIGNED, TRUNCATE, WRAP);
    EXPECT_THROW(v.resize(4097), KNumException::tooManyBits);
    expectBad([&] { v.resize(8, 0, 0, 7); });
    const KNum a(0, 4095, SIGNED, TRUNCATE, WRAP), b(0, 200, SIGNED, TRUNCATE, WRAP);
    EXPECT_THROW(a + a, KNumException::tooManyBits);
    EXPECT_THROW(a * b, KNumException::tooManyBits);
    // Plain classes: not part of the standard hierarchy, but all catchable as KNumException.
    static_assert(!std::is_base_of<std::exception, KNumException>::value, "plain class");
    static_assert(KNum::SIGNED == SIGNED && KFix::ROUND == ROUND && KFix::RAISE == RAISE, "names");
    try {
        throw KNumException::Overflow("x", 1);
    } catch (const KNumException& e) {
        EXPECT_STREQ(e.what(), "x");
    }
    EXPECT_STREQ(KNumBadAlloc().what(), "bad allocation");
}

TEST(KNumConstruct, FromSmallIntegers)
{
    // Explicit width: the low bits of v; above bit 31 copies of bit 31 for SIGNED, zeros else.
    EXPECT_EQ(value(KNum(0x1234, 8, UNSIGNED, TRUNCATE, WRAP)), 0x34);
    EXPECT_EQ(value(KNum(-1, 8, SIGNED, TRUNCATE, WRAP)), -1);
    EXPECT_EQ(value(KNum(-1, 8, UNSIGNED, TRUNCATE, WRAP)), 255);
    EXPECT_EQ(value(KNum(-5, 40, SIGNED, TRUNCATE, WRAP)), -5);
    EXPECT_EQ(value(KNum(-5, 40, UNSIGNED, TRUNCATE, WRAP)), mpz_class(4294967291u));
    EXPECT_EQ(value(KNum(INT32_MIN, 32, SIGNED, TRUNCATE, WRAP)), INT32_MIN);
    const KNum m(7, 16, SIGNED, ROUND, SATURATE);
    EXPECT_EQ(m.quant, ROUND);
    EXPECT_EQ(m.ovfl, SATURATE);

    // Automatic width: bit length of |v| plus one when negative or SIGNED.
    const struct {
        int32_t v;
        int type, width;
    } autos[] = { { 0, UNSIGNED, 0 }, { 0, SIGNED, 1 }, { 1, UNSIGNED, 1 }, { 1, SIGNED, 2 },
        { 255, UNSIGNED, 8 }, { 256, SIGNED, 10 }, { -1, SIGNED, 2 }, { -128, SIGNED, 9 },
        { INT32_MIN, SIGNED, 33 }, { INT32_MAX, UNSIGNED, 31 } };
    for (const auto& c : autos) {
        const KNum k(c.v, c.type);
        EXPECT_EQ(k.width, c.width) << c.v;
        EXPECT_EQ(value(k), c.v) << c.v;
    }
    // A negative value into an automatic UNSIGNED format follows ovfl.
    EXPECT_EQ(value(KNum(-3, UNSIGNED, TRUNCATE, SATURATE)), 0);
    EXPECT_THROW(KNum(-3, UNSIGNED, TRUNCATE, RAISE), KNumException::Overflow);
}

TEST(KNumConstruct, FromTextAndDouble)
{
    const KNum s("1011", SIGNED);
    EXPECT_EQ(s.width, 4);
    EXPECT_EQ(value(s), -5);
    EXPECT_EQ(s.quant, TRUNCATE);
    EXPECT_EQ(s.ovfl, WRAP);
    EXPECT_EQ(value(KNum("1x0a", UNSIGNED)), 0xD); // anything but '0' is a one
    EXPECT_EQ(KNum("", UNSIGNED).width, 0);
    EXPECT_EQ(
        KNum(std::string("10000000000000000001"), UNSIGNED).toString(), "10000000000000000001");

    // Automatic width from doubles.
    const struct {
        double x;
        int type, width;
        long v;
    } autos[] = { { 0.0, UNSIGNED, 1, 0 }, { 0.3, SIGNED, 1, 0 }, { 1.0, SIGNED, 2, 1 },
        { 1.0, UNSIGNED, 1, 1 }, { -1.0, SIGNED, 1, -1 }, { -1.5, SIGNED, 2, -2 },
        { 255.0, UNSIGNED, 8, 255 }, { -256.0, SIGNED, 9, -256 }, { -255.0, SIGNED, 9, -255 },
        { 1e6, SIGNED, 21, 1000000 } };
    for (const auto& c : autos) {
        const KNum k(c.x, c.type);
        EXPECT_EQ(k.width, c.width) << c.x;
        EXPECT_EQ(value(k), c.v) << c.x;
    }
    EXPECT_EQ(value(KNum(2.5, 8, SIGNED, CONVERGENT, WRAP)), 2);

    // Copies are deep; the resizing copy applies resize.
    KNum a(300, 16, SIGNED, TRUNCATE, SATURATE);
    KNum b(a);
    b.setBit(0, 1);
    EXPECT_EQ(value(a), 300);
    EXPECT_EQ(value(b), 301);
    EXPECT_EQ(value(KNum(a, 8, SIGNED)), 127);
    EXPECT_EQ(value(KNum(a, 8, SIGNED, 0, WRAP)), 44);
    KNum wide(0, 300, SIGNED, TRUNCATE, WRAP);
    wide.setBit(299, 1);
    KNum moved(std::move(wide));
    EXPECT_EQ(value(moved), -pow2(299));
    KNum target(1, 8, SIGNED, TRUNCATE, WRAP);
    target = moved; // takes the format too
    EXPECT_EQ(target.width, 300);
    EXPECT_EQ(value(target), -pow2(299));
    target = KNum(3, 4, UNSIGNED, TRUNCATE, WRAP);
    EXPECT_EQ(target.width, 4);
    EXPECT_EQ(value(target), 3);
}

TEST(KNumBits, GetAndSetBit)
{
    KNum v(0, 20, SIGNED, TRUNCATE, WRAP);
    v.setBit(19, 1);
    v.setBit(3, 1);
    EXPECT_EQ(value(v), -pow2(19) + 8);
    EXPECT_EQ(v.getBit(3), 1);
    EXPECT_EQ(v.getBit(4), 0);
    EXPECT_EQ(v.getBit(-1), 0);
    EXPECT_EQ(v.getBit(20), 1); // sign extension
    EXPECT_EQ(v.getBit(1000), 1);
    EXPECT_EQ(v.sign(), 1);
    v.setBit(19, 0);
    EXPECT_EQ(v.getBit(25), 0);
    const KNum u(0xFFFF, 16, UNSIGNED, TRUNCATE, WRAP);
    EXPECT_EQ(u.getBit(16), 0); // unsigned values extend with zeros
    EXPECT_EQ(u.sign(), 0);
    EXPECT_EQ(KNum().sign(), 0);
    expectIllegal([&] { v.setBit(20, 1); }, "index", 20);
    expectIllegal([&] { v.setBit(-2, 1); }, "index", -2);
    expectIllegal([&] { v.setBit(2, 2); }, "val", 2);
}

TEST(KNumSlotwise, MatchesModularReference)
{
    NUM_SEED_TRACE();
    Rng rng(1);
    for (int it = 0; it < 400; ++it) {
        const int w = rng.width(300), t = rng.type();
        const bool s = t == SIGNED;
        const mpz_class a = rng.value(w, s), b = rng.value(w, s);
        const KNum p = make(a, w, t), q = make(b, w, t);
        SCOPED_TRACE("w=" + std::to_string(w) + " a=" + str(a) + " b=" + str(b));
        KNum r(0, w, t, TRUNCATE, WRAP);
        r.add(p, q);
        EXPECT_EQ(value(r), wrap(a + b, w, s));
        r.sub(p, q);
        EXPECT_EQ(value(r), wrap(a - b, w, s));
        const mpz_class ua = wrap(a, w, false), ub = wrap(b, w, false);
        r.bitAnd(p, q);
        EXPECT_EQ(value(r), wrap(ua & ub, w, s));
        r.bitOr(p, q);
        EXPECT_EQ(value(r), wrap(ua | ub, w, s));
        r.bitXor(p, q);
        EXPECT_EQ(value(r), wrap(ua ^ ub, w, s));
        r.bitNot(p);
        EXPECT_EQ(value(r), wrap(~ua, w, s));
        const int c = p.unsigned_comp(q);
        EXPECT_EQ(c > 0, ua > ub);
        EXPECT_EQ(c == 0, ua == ub);
        const int w2 = rng.width(150);
        const mpz_class b2 = rng.value(w2, s);
        KNum m(0, w + w2, UNSIGNED, TRUNCATE, WRAP);
        m.unsigned_mult(p, make(b2, w2, t));
        EXPECT_EQ(value(m), ua * wrap(b2, w2, false));
    }
    // r may be an operand.
    KNum x = make(1000, 16, SIGNED);
    x.add(x, x);
    EXPECT_EQ(value(x), 2000);
    // Worked example: 100 + 100 in 8-bit signed is -56 modulo 2^8; the full sum is 200.
    const KNum h = make(100, 8, SIGNED);
    KNum r8(0, 8, SIGNED, TRUNCATE, WRAP);
    r8.add(h, h);
    EXPECT_EQ(value(r8), -56);
    const KNum full = h + h;
    EXPECT_EQ(full.width, 10);
    EXPECT_EQ(full.type, SIGNED);
    EXPECT_EQ(value(full), 200);
}

TEST(KNumSlotwise, FormatMismatchTexts)
{
    const KNum s8(1, 8, SIGNED, TRUNCATE, WRAP), u8(1, 8, UNSIGNED, TRUNCATE, WRAP),
        s9(1, 9, SIGNED, TRUNCATE, WRAP);
    KNum r(0, 8, SIGNED, TRUNCATE, WRAP), r9(0, 9, SIGNED, TRUNCATE, WRAP);
    const char* addText = "KNum::add(p, q) must havethe same type and width";
    const char* subText = "KNum::sub(p, q) must havethe same type and width";
    expectIllegal([&] { r.add(s8, u8); }, addText, 0);
    expectIllegal([&] { r.add(s8, s9); }, addText, 0);
    expectIllegal([&] { r9.add(s8, s8); }, addText, 0);
    expectIllegal([&] { r.sub(u8, u8); }, subText, 0);
    expectIllegal([&] { r.unsigned_mult(s8, s8); },
        "KNum::unsigned_mult(p, q) yields result in container of wrong width", 0);
    expectIllegal(
        [&] { r.bitAnd(s8, s9); }, "KNum::bitAnd(p, q) q and q must have the same width", 0);
    expectIllegal(
        [&] { r9.bitAnd(s8, s8); }, "KNum::bitAnd(p, q) resultmust have the same width", 0);
    expectIllegal(
        [&] { r.bitOr(s8, s9); }, "KNum::bitOr(p, q) q and q must have the same width", 0);
    expectIllegal([&] { r9.bitOr(s8, u8); }, "KNum::bitOr(p, q) resultmust have the same width", 0);
    expectIllegal(
        [&] { r.bitXor(s9, s8); }, "KNum::bitXor(p, q) q and q must have the same width", 0);
    expectIllegal(
        [&] { r9.bitXor(s8, s8); }, "KNum::bitXor(p, q) resultmust have the same width", 0);
    expectIllegal([&] { r9.bitNot(s8); }, "KNum::bitNot(p) resultmust have the same width", 0);
    expectIllegal([&] { s8.unsigned_comp(u8); },
        "KNum::unsigned_comp(p) must have the same width and type", 0);
    expectIllegal([&] { s8.unsigned_comp(s9); },
        "KNum::unsigned_comp(p) must have the same width and type", 0);
    // Bitwise operations accept mixed types of one width.
    r.bitAnd(s8, u8);
    EXPECT_EQ(value(r), 1);
    EXPECT_EQ(make(5, 8, SIGNED).unsigned_comp(make(3, 8, SIGNED)), 2);
}

TEST(KNumText, BitsNamesAndBases)
{
    EXPECT_EQ(make(-3, 5, SIGNED).toString(), "11101");
    EXPECT_EQ(KNum().toString(), "");
    EXPECT_EQ(make(5, 17, UNSIGNED).toString(), "00000000000000101");
    EXPECT_EQ(make(5, 17, UNSIGNED).typeName(), "UNum_17");
    EXPECT_EQ(make(5, 3, SIGNED).typeName(), "Num_3");
    EXPECT_EQ(make(-255, 12, SIGNED).toString(16), "-FF<base16>");
    EXPECT_EQ(make(1234567, 40, SIGNED).toString(10), "1234567");
    EXPECT_EQ(make(0, 4, SIGNED).toString(2), "0<base2>");
    EXPECT_EQ(make(31, 8, UNSIGNED).toString(32), "V<base32>");
    const mpz_class big = pow2(200) + 12345;
    EXPECT_EQ(make(big, 250, SIGNED).toString(10), big.get_str(10));
    EXPECT_EQ(make(-big, 250, SIGNED).toString(7), "-" + big.get_str(7) + "<base7>");
    expectIllegal([] { make(1, 4, SIGNED).toString(33); }, "base", 33);
    expectIllegal([] { make(1, 4, SIGNED).toString(1); }, "base", 1);
    std::ostringstream os;
    os << make(6, 4, UNSIGNED);
    EXPECT_EQ(os.str(), "0110");
}
