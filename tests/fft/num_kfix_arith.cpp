// KFix exact operators, in-format operations, compound assignments, comparisons, conversion,
// construction, text forms and KFixComplex, against exact GMP arithmetic.
#include "num_ref.h"

#include <cmath>
#include <functional>
#include <memory>
#include <sstream>

using namespace numref;

namespace {

struct Fx {
    int w, f, t;
    mpz_class v;
    KFix x;
};

// Random format and value; the KFix is copy-constructed (assignment would keep a format).
Fx randomFx(Rng& rng, int maxw, int spread = 8)
{
    const int w = rng.width(maxw);
    const int f = rng.range(-spread, w + spread);
    const int t = rng.type();
    const mpz_class v = rng.value(w, t == SIGNED);
    KFix x = makeFix(v, w, f, t);
    x.dbl = rng.range(-1000, 1000) / 8.0; // an independent shadow, to follow through
    return Fx { w, f, t, v, x };
}

std::string describe(const Fx& a)
{
    return str(a.v) + "(" + std::to_string(a.w) + "," + std::to_string(a.f)
        + (a.t == SIGNED ? ",s)" : ",u)");
}

void expectFormat(const KFix& r, int w, int f, int t, int q, int o)
{
    EXPECT_EQ(r.width, w);
    EXPECT_EQ(r.binpt, f);
    EXPECT_EQ(r.type, t);
    EXPECT_EQ(r.quant, q);
    EXPECT_EQ(r.ovfl, o);
}

// Exact value of a, as an integer scaled to binpt f >= a.f.
mpz_class at(const Fx& a, int f) { return a.v << (f - a.f); }

} // namespace

TEST(KFixOperators, ExactFormatsAndValues)
{
    NUM_SEED_TRACE();
    Rng rng(41);
    for (int it = 0; it < 3000; ++it) {
        const Fx a = randomFx(rng, 140), b = randomFx(rng, 140);
        SCOPED_TRACE(describe(a) + " " + describe(b));
        const bool sg = a.t == SIGNED || b.t == SIGNED;
        const int F = a.f > b.f ? a.f : b.f;
        const int I = (a.w - a.f) > (b.w - b.f) ? a.w - a.f : b.w - b.f;
        const KFix s = a.x + b.x;
        expectFormat(s, F + I + 1 + (sg ? 1 : 0), F, sg ? SIGNED : UNSIGNED, TRUNCATE, WRAP);
        EXPECT_EQ(value(s), at(a, F) + at(b, F));
        EXPECT_EQ(s.dbl, a.x.dbl + b.x.dbl);
        const KFix d = a.x - b.x;
        expectFormat(d, F + I + 2, F, SIGNED, TRUNCATE, WRAP);
        EXPECT_EQ(value(d), at(a, F) - at(b, F));
        EXPECT_EQ(d.dbl, a.x.dbl - b.x.dbl);
        const KFix p = a.x * b.x;
        expectFormat(
            p, a.w + b.w + (sg ? 1 : 0), a.f + b.f, sg ? SIGNED : UNSIGNED, TRUNCATE, WRAP);
        EXPECT_EQ(value(p), a.v * b.v);
        EXPECT_EQ(p.dbl, a.x.dbl * b.x.dbl);
        const KFix n = -a.x;
        expectFormat(n, a.w + 1, a.f, SIGNED, TRUNCATE, WRAP);
        EXPECT_EQ(value(n), -a.v);
        const int k = rng.range(0, 20);
        const KFix r = a.x >> k;
        expectFormat(r, a.w + k, a.f + k, a.t, a.x.quant, a.x.ovfl);
        EXPECT_EQ(value(r), a.v);
        EXPECT_EQ(r.dbl, std::ldexp(a.x.dbl, -k));
        const KFix l = a.x << k;
        expectFormat(l, a.w + k, a.f, a.t, a.x.quant, a.x.ovfl);
        EXPECT_EQ(value(l), a.v << k);
        EXPECT_EQ(l.dbl, std::ldexp(a.x.dbl, k));
        // Exact comparison.
        const mpz_class x = at(a, F), y = at(b, F);
        EXPECT_EQ(KFix::compare(a.x, b.x) < 0, x < y);
        EXPECT_EQ(KFix::compare(a.x, b.x) == 0, x == y);
        EXPECT_EQ(a.x == b.x, x == y);
        EXPECT_EQ(a.x != b.x, x != y);
        EXPECT_EQ(a.x < b.x, x < y);
        EXPECT_EQ(a.x <= b.x, x <= y);
        EXPECT_EQ(a.x > b.x, x > y);
        EXPECT_EQ(a.x >= b.x, x >= y);
    }
}

TEST(KFixOperators, WorkedExampleFormats)
{
    const KFix a(0.5, 16, 15, SIGNED, TRUNCATE, WRAP), b(-0.25, 16, 15, SIGNED, TRUNCATE, WRAP);
    const KFix s = a + b, d = a - b, p = a * b;
    EXPECT_EQ(s.width, 18);
    EXPECT_EQ(s.binpt, 15);
    EXPECT_EQ(d.width, 18);
    EXPECT_EQ(p.width, 33);
    EXPECT_EQ(p.binpt, 30);
    EXPECT_EQ(p.toDouble(), -0.125);
    const KFix r = a >> 3;
    EXPECT_EQ(r.width, 19);
    EXPECT_EQ(r.binpt, 18);
    EXPECT_EQ(value(r), value(a));
    EXPECT_EQ(r.toDouble(), 0.0625);
    const KFixComplex x(a, b), y(b, a);
    const KFixComplex z = x * y;
    EXPECT_EQ(z.re.width, 34);
    EXPECT_EQ(z.re.binpt, 30);
    EXPECT_EQ(z.im.width, 34);
    // (0.5 - 0.25j)(-0.25 + 0.5j) = -0.125 + 0.0625 + j(0.25 + 0.0625)
    EXPECT_EQ(z.re.toDouble(), 0.0);
    EXPECT_EQ(z.im.toDouble(), 0.3125);
}

TEST(KFixOperators, InFormatAndCompoundOperations)
{
    NUM_SEED_TRACE();
    Rng rng(42);
    for (int it = 0; it < 3000; ++it) {
        const Fx a = randomFx(rng, 140), b = randomFx(rng, 140);
        const int w = rng.width(140), f = rng.range(-4, w + 4), t = rng.type();
        const int q = rng.quant(), o = rng.ovfl(), op = rng.range(0, 3);
        const bool sg = op == 1 || op == 2 || a.t == SIGNED || b.t == SIGNED;
        const int F = a.f > b.f ? a.f : b.f;
        const int I = (a.w - a.f) > (b.w - b.f) ? a.w - a.f : b.w - b.f;
        mpz_class exact;
        int ew, ef;
        double dbl;
        if (op == 0) {
            exact = at(a, F) + at(b, F), ew = F + I + 1 + (sg ? 1 : 0), ef = F,
            dbl = a.x.dbl + b.x.dbl;
        } else if (op == 1) {
            exact = at(a, F) - at(b, F), ew = F + I + 2, ef = F, dbl = a.x.dbl - b.x.dbl;
        } else if (op == 2) {
            exact = -a.v, ew = a.w + 1, ef = a.f, dbl = -a.x.dbl;
        } else {
            exact = a.v * b.v, ew = a.w + b.w + (sg ? 1 : 0), ef = a.f + b.f,
            dbl = a.x.dbl * b.x.dbl;
        }
        const Outcome want = refConvert(exact, ew, ef, w, f, t, q, o);
        SCOPED_TRACE(describe(a) + " " + describe(b) + " op " + std::to_string(op) + " into ("
            + std::to_string(w) + "," + std::to_string(f) + ") t" + std::to_string(t) + " q"
            + std::to_string(q) + " o" + std::to_string(o));
        KFix r(0, w, f, t, q, o);
        checkOutcome(
            want,
            [&] {
                if (op == 0)
                    r.add(a.x, b.x);
                else if (op == 1)
                    r.sub(a.x, b.x);
                else if (op == 2)
                    r.neg(a.x);
                else
                    r.mult(a.x, b.x);
            },
            [&] { return value(r); }, "in-format");
        if (!want.threw) {
            EXPECT_EQ(r.dbl, dbl);
            EXPECT_EQ(r.status & 1u, want.status ? 1u : 0u);
            expectFormat(r, w, f, t, q, o);
        }
        // The compound forms assign into the left operand's own format.
        if (op != 2) {
            const Outcome wantc = refConvert(exact, ew, ef, a.w, a.f, a.t, q, o);
            KFix c(a.x, a.w, a.f, a.t, q, o);
            checkOutcome(
                wantc,
                [&] {
                    if (op == 0)
                        c += b.x;
                    else if (op == 1)
                        c -= b.x;
                    else
                        c *= b.x;
                },
                [&] { return value(c); }, "compound");
        }
    }
}

TEST(KFixOperators, ShiftsInPlaceAndRemainder)
{
    NUM_SEED_TRACE();
    Rng rng(43);
    for (int it = 0; it < 1500; ++it) {
        const Fx a = randomFx(rng, 140);
        const int q = rng.quant(), n = rng.range(0, 10);
        KFix r(a.x, a.w, a.f, a.t, q, WRAP);
        r >>= n;
        EXPECT_EQ(value(r), floorShift(a.v, n) + (roundsUp(a.v, n, q) ? 1 : 0))
            << describe(a) << " n " << n;
        EXPECT_EQ(r.binpt, a.f);
        EXPECT_EQ(r.dbl, std::ldexp(a.x.dbl, -n));
        KFix l(a.x, a.w, a.f, a.t, q, WRAP);
        l <<= n;
        EXPECT_EQ(value(l), wrap(a.v << n, a.w, a.t == SIGNED));
        EXPECT_EQ(l.dbl, std::ldexp(a.x.dbl, n));

        const Fx b = randomFx(rng, 100);
        if (b.v == 0)
            continue;
        const int F = a.f > b.f ? a.f : b.f;
        const mpz_class x = at(a, F), y = at(b, F);
        const mpz_class rem = x - (x / y) * y; // sign of the dividend
        const Outcome want = refConvert(rem, a.w + (F - a.f) + 1, F, a.w, a.f, a.t, q, SATURATE);
        KFix m(a.x, a.w, a.f, a.t, q, SATURATE);
        m %= b.x;
        EXPECT_EQ(value(m), want.v) << describe(a) << " % " << describe(b);
    }
    KFix z(1.0, 8, 0, SIGNED, TRUNCATE, WRAP);
    EXPECT_THROW(z %= KFix(0, 4, 0, SIGNED, TRUNCATE, WRAP), KNumException::IllegalIntArg);
    KFix s(64, 8, 0, SIGNED, TRUNCATE, RAISE);
    EXPECT_THROW(s <<= 1, KNumException::Overflow);
    // Extreme shift counts and scalings are refused or saturate, never undefined.
    KFix e(0.75, 8, 6, SIGNED, ROUND, WRAP);
    e >>= INT32_MAX;
    EXPECT_EQ(value(e), 0);
    e = 0.75;
    e <<= INT32_MIN;
    EXPECT_EQ(value(e), 0);
    EXPECT_EQ(e.dbl, 0.0);
    KNum k(5, 8, SIGNED, TRUNCATE, SATURATE);
    k.shiftRight(INT32_MIN);
    EXPECT_EQ(value(k), 127);
    EXPECT_THROW(e.scale(INT32_MAX), std::bad_exception);
    EXPECT_THROW(e >> INT32_MAX, KNumException::tooManyBits);
}

TEST(KFixOperators, ComparisonsNeedValidKnownValues)
{
    KFix a(0.5, 8, 7, SIGNED, TRUNCATE, WRAP), b(0.5, 12, 3, SIGNED, TRUNCATE, WRAP);
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a != b);
    b = NAN;
    EXPECT_FALSE(a == b);
    EXPECT_FALSE(a != b);
    EXPECT_FALSE(a < b);
    EXPECT_FALSE(a >= b);
    KFix c(0.25, 8, 7, SIGNED, TRUNCATE, WRAP);
    c.known = 0;
    EXPECT_FALSE(c < a);
    EXPECT_FALSE(c == c);
    // Differences far below the coarser format's resolution still count.
    const KFix one(1, 0, SIGNED, TRUNCATE, WRAP);
    KFix fine(0, 300, 290, SIGNED, TRUNCATE, WRAP);
    fine.setBit(290, 1);
    fine.setBit(0, 1);
    EXPECT_TRUE(fine > one);
    EXPECT_TRUE(one < fine);
    fine.setBit(0, 0);
    EXPECT_TRUE(fine == one);
}

TEST(KFixConvert, ToDouble)
{
    NUM_SEED_TRACE();
    Rng rng(44);
    for (int it = 0; it < 3000; ++it) {
        const Fx a = randomFx(rng, 300, 60);
        const double want = std::ldexp(nearestDouble(a.v), -a.f);
        const double got = a.x.toDouble();
        EXPECT_TRUE(got == want || (std::isinf(got) && std::isinf(want) && (got > 0) == (want > 0)))
            << describe(a) << " got " << got << " want " << want;
    }
    KFix v(0.75, 8, 6, SIGNED, TRUNCATE, WRAP);
    v.valid = 0;
    EXPECT_TRUE(std::isnan(v.toDouble()));
}

TEST(KFixConstruct, AllForms)
{
    const KFix one(1, 0, SIGNED, TRUNCATE, WRAP), mone(-1, 0, SIGNED, TRUNCATE, WRAP);
    EXPECT_EQ(one.width, 2);
    EXPECT_EQ(one.toDouble(), 1.0);
    EXPECT_EQ(mone.width, 2);
    EXPECT_EQ(mone.toDouble(), -1.0);
    EXPECT_TRUE(one.valid && one.assigned && one.known);
    EXPECT_FALSE(one.always_valid || one.is_bool);
    const KFix three(3, 4, UNSIGNED, TRUNCATE, WRAP);
    EXPECT_EQ(three.width, 6);
    EXPECT_EQ(three.binpt, 4);
    EXPECT_EQ(value(three), 48);
    EXPECT_EQ(three.dbl, 3.0);
    const KFix neg4(-5, -1, SIGNED, TRUNCATE, WRAP); // coarser than the integer: floor(-5/2) = -3
    EXPECT_EQ(neg4.binpt, -1);
    EXPECT_EQ(neg4.toDouble(), -6.0);
    EXPECT_EQ(neg4.dbl, -5.0);

    const KFix e(3, 8, 2, SIGNED, TRUNCATE, WRAP);
    EXPECT_EQ(e.toDouble(), 3.0);
    const KFix c(12, 8, -2, SIGNED, TRUNCATE, WRAP);
    EXPECT_EQ(value(c), 3);
    EXPECT_EQ(c.toDouble(), 12.0);

    const KFix d(0.3, 16, 15, SIGNED, CONVERGENT, WRAP);
    EXPECT_EQ(value(d), 9830); // 0.3 * 2^15 = 9830.4
    EXPECT_EQ(d.dbl, 0.3);
    const KFix dn(NAN, 16, 15, SIGNED, CONVERGENT, WRAP);
    EXPECT_FALSE(dn.valid || dn.assigned || dn.known);

    const KFix a1(0.375, UNSIGNED, TRUNCATE, WRAP), a2(-0.75, SIGNED, TRUNCATE, WRAP),
        a3(40.0, SIGNED, TRUNCATE, WRAP), a4(NAN, SIGNED, TRUNCATE, WRAP);
    EXPECT_EQ(a1.binpt, 3);
    EXPECT_EQ(a1.width, 2);
    EXPECT_EQ(a1.toDouble(), 0.375);
    EXPECT_EQ(a2.binpt, 2);
    EXPECT_EQ(a2.width, 3);
    EXPECT_EQ(a2.toDouble(), -0.75);
    EXPECT_EQ(a3.binpt, 0);
    EXPECT_EQ(a3.width, 7);
    EXPECT_EQ(a3.toDouble(), 40.0);
    EXPECT_FALSE(a4.valid);
    const KFix tiny(std::ldexp(1.0, -1074), SIGNED, TRUNCATE, WRAP);
    EXPECT_EQ(tiny.binpt, 1074);
    EXPECT_EQ(tiny.toDouble(), std::ldexp(1.0, -1074));

    const KFix fromNum(KNum(-7, 8, SIGNED, TRUNCATE, WRAP));
    EXPECT_EQ(fromNum.binpt, 0);
    EXPECT_EQ(fromNum.dbl, -7.0);
    const KFix fromText("0101", 2, SIGNED);
    EXPECT_EQ(fromText.toDouble(), 1.25);
    EXPECT_EQ(fromText.dbl, 1.25);
    const KFix bit(true);
    EXPECT_EQ(bit.is_bool, 1);
    EXPECT_EQ(bit.toDouble(), 1.0);

    // Copies never share scratch values; wide in-format operations use them.
    KFix w1(0, 200, 100, SIGNED, TRUNCATE, WRAP), w2(0, 200, 100, SIGNED, TRUNCATE, WRAP);
    w1.setBit(150, 1);
    w2.add(w1, w1);
    KFix w3(w2);
    w3.add(w3, w1);
    EXPECT_EQ(value(w3), pow2(150) * 3);
    EXPECT_EQ(value(w2), pow2(151));
    KFix moved(std::move(w3));
    moved.add(moved, moved);
    EXPECT_EQ(value(moved), pow2(150) * 6);
}

TEST(KFixText, NamesAndPrinting)
{
    KFix v(-1.5, 8, 3, SIGNED, TRUNCATE, WRAP);
    EXPECT_EQ(v.typeName(), "Fix_8_3v");
    EXPECT_EQ(v.toString(), "KFix[8,3] '11110.100'");
    v.always_valid = 1;
    EXPECT_EQ(v.typeName(), "Fix_8_3");
    const KFix u(5.0, 4, 0, UNSIGNED, TRUNCATE, WRAP);
    EXPECT_EQ(u.typeName(), "UFix_4_0v");
    EXPECT_EQ(u.toString(), "Unsigned KFix[4,0] '0101'");
    EXPECT_EQ(KFix(true).typeName(), "Bool");
    KFix n(0.0, 4, 2, SIGNED, TRUNCATE, WRAP);
    n = NAN;
    EXPECT_EQ(n.toString(), "KFix[4,2] 'XX.XX'");
    const KFix deep(-0.0625, 2, 5, SIGNED, TRUNCATE, WRAP); // binpt beyond the width
    EXPECT_EQ(deep.toString(), "KFix[2,5] '.11110'");
    std::ostringstream os;
    os << u;
    EXPECT_EQ(os.str(), u.toString());

    EXPECT_EQ(KFix(1.25, 8, 2, SIGNED, TRUNCATE, WRAP).toString(10), "1.25");
    EXPECT_EQ(KFix(-1.25, 8, 2, SIGNED, TRUNCATE, WRAP).toString(2), "-1.01<base2>");
    EXPECT_EQ(KFix(255.5, 12, 1, UNSIGNED, TRUNCATE, WRAP).toString(16), "FF.8<base16>");
    EXPECT_EQ(KFix(12.0, 8, -2, SIGNED, TRUNCATE, WRAP).toString(10), "12");
    EXPECT_EQ(KFix(0.5, 4, 1, SIGNED, TRUNCATE, WRAP).toString(3), "0.1<base3>");
    EXPECT_EQ(n.toString(10), "X");
    EXPECT_THROW(v.toString(40), KNumException::IllegalIntArg);
}

TEST(KFixBitwise, AlignedBitsAndBooleans)
{
    NUM_SEED_TRACE();
    Rng rng(45);
    for (int it = 0; it < 1500; ++it) {
        const Fx a = randomFx(rng, 140), b = randomFx(rng, 140);
        const int F = a.f > b.f ? a.f : b.f;
        const int I = (a.w - a.f) > (b.w - b.f) ? a.w - a.f : b.w - b.f;
        const bool sg = a.t == SIGNED || b.t == SIGNED;
        const int W = F + I + (a.t != b.t ? 1 : 0);
        const mpz_class x = at(a, F), y = at(b, F); // two's complement: GMP's bit operations
        const int op = rng.range(0, 3);
        mpz_class exact;
        int ew = W, ef = F;
        if (op == 0)
            exact = x & y;
        else if (op == 1)
            exact = x | y;
        else if (op == 2)
            exact = x ^ y;
        else {
            exact = wrap(~a.v, a.w, a.t == SIGNED);
            ew = a.w;
            ef = a.f;
        }
        const int w = rng.width(140), f = rng.range(-4, w + 4), t = rng.type(), q = rng.quant();
        const Outcome want = refConvert(exact, ew, ef, w, f, t, q, WRAP);
        KFix r(0, w, f, t, q, WRAP);
        if (op == 0)
            r.bitAnd(a.x, b.x);
        else if (op == 1)
            r.bitOr(a.x, b.x);
        else if (op == 2)
            r.bitXor(a.x, b.x);
        else
            r.bitNot(a.x);
        EXPECT_EQ(value(r), want.v)
            << describe(a) << " " << describe(b) << " op " << op << " sg " << sg;
    }
    KFix r(false);
    r.bitAnd(KFix(true), KFix(true));
    EXPECT_EQ(value(r), 1);
    r.bitXor(KFix(true), KFix(true));
    EXPECT_EQ(value(r), 0);
    r.bitNot(KFix(false));
    EXPECT_EQ(value(r), 1);
    EXPECT_EQ(r.is_bool, 1);
}

TEST(KFixComplexOps, SumDifferenceProduct)
{
    NUM_SEED_TRACE();
    Rng rng(46);
    for (int it = 0; it < 2000; ++it) {
        // Engine-like: both parts of an operand share a format; sometimes they differ.
        const bool same = rng.range(0, 3) != 0;
        const Fx ar = randomFx(rng, 70), br = randomFx(rng, 70);
        Fx ai = randomFx(rng, 70), bi = randomFx(rng, 70);
        if (same) {
            ai.w = ar.w, ai.f = ar.f, ai.t = ar.t, ai.v = rng.value(ar.w, ar.t == SIGNED);
            bi.w = br.w, bi.f = br.f, bi.t = br.t, bi.v = rng.value(br.w, br.t == SIGNED);
        }
        const KFixComplex a(ar.x, same ? makeFix(ai.v, ai.w, ai.f, ai.t) : ai.x);
        const KFixComplex b(br.x, same ? makeFix(bi.v, bi.w, bi.f, bi.t) : bi.x);
        SCOPED_TRACE(describe(ar) + " " + describe(ai) + " " + describe(br) + " " + describe(bi));
        const bool sg = ar.t == SIGNED || ai.t == SIGNED || br.t == SIGNED || bi.t == SIGNED;
        const int F = std::max(std::max(ar.f, ai.f), std::max(br.f, bi.f));
        const int I
            = std::max(std::max(ar.w - ar.f, ai.w - ai.f), std::max(br.w - br.f, bi.w - bi.f));
        const KFixComplex s = a + b;
        expectFormat(s.re, F + I + 1 + (sg ? 1 : 0), F, sg ? SIGNED : UNSIGNED, TRUNCATE, WRAP);
        expectFormat(s.im, F + I + 1 + (sg ? 1 : 0), F, sg ? SIGNED : UNSIGNED, TRUNCATE, WRAP);
        EXPECT_EQ(value(s.re), at(ar, F) + at(br, F));
        EXPECT_EQ(value(s.im), at(ai, F) + at(bi, F));
        const KFixComplex d = a - b;
        expectFormat(d.im, F + I + 2, F, SIGNED, TRUNCATE, WRAP);
        EXPECT_EQ(value(d.re), at(ar, F) - at(br, F));
        EXPECT_EQ(value(d.im), at(ai, F) - at(bi, F));
        const KFixComplex p = a * b;
        const int fa = std::max(ar.f, ai.f), fb = std::max(br.f, bi.f);
        const int ia = std::max(ar.w - ar.f, ai.w - ai.f), ib = std::max(br.w - br.f, bi.w - bi.f);
        const int pf = fa + fb;
        expectFormat(p.re, fa + fb + ia + ib + 2, pf, SIGNED, TRUNCATE, WRAP);
        if (same) {
            EXPECT_EQ(p.re.width, ar.w + br.w + 2);
        }
        auto prod = [&](const Fx& x, const Fx& y) -> mpz_class {
            return (x.v * y.v) << (pf - x.f - y.f);
        };
        EXPECT_EQ(value(p.re), prod(ar, br) - prod(ai, bi));
        EXPECT_EQ(value(p.im), prod(ar, bi) + prod(ai, br));
        EXPECT_EQ(p.re.dbl, a.re.dbl * b.re.dbl - a.im.dbl * b.im.dbl);
        EXPECT_EQ(p.im.dbl, a.re.dbl * b.im.dbl + a.im.dbl * b.re.dbl);
    }
}

TEST(KFixComplexOps, PartwiseAssignmentAndTemplates)
{
    const KFix data(0, 8, 7, SIGNED, TRUNCATE, WRAP);
    KFixComplex z;
    z.setFormat(data);
    EXPECT_EQ(z.re.width, 8);
    EXPECT_EQ(z.im.binpt, 7);
    const KFixComplex src(
        KFix(0.3, 16, 15, SIGNED, TRUNCATE, WRAP), KFix(-0.3, 16, 15, SIGNED, TRUNCATE, WRAP));
    z = src;
    EXPECT_EQ(z.re.width, 8); // the target keeps its format
    EXPECT_EQ(z.re.toDouble(), 38.0 / 128.0);
    EXPECT_EQ(z.im.toDouble(), -39.0 / 128.0);
    EXPECT_EQ(z.re.dbl, 0.3);
    KFixComplex copy(z);
    EXPECT_EQ(copy.re.width, 8);
    const KFixComplex sum = z + copy;
    EXPECT_EQ(sum.re.toDouble(), 76.0 / 128.0);
    z.setFormat(10, 9, SIGNED, ROUND, SATURATE);
    EXPECT_EQ(z.im.quant, ROUND);
    EXPECT_EQ(z.im.toDouble(), -39.0 / 128.0);
}

TEST(KFixComplexOps, InPlaceFormsMatchTheOperators)
{
    NUM_SEED_TRACE();
    Rng rng(47);
    auto sameFmt = [&](int maxw) {
        const int w = rng.width(maxw), f = rng.range(-4, w + 4), t = rng.type();
        return KFixComplex(makeFix(rng.value(w, t == SIGNED), w, f, t),
            makeFix(rng.value(w, t == SIGNED), w, f, t));
    };
    auto run = [](KFixComplex& r, const std::function<void()>& f) -> std::string {
        try {
            f();
            return str(value(r.re)) + "," + str(value(r.im)) + " s" + std::to_string(r.re.status)
                + std::to_string(r.im.status) + " d" + std::to_string(r.re.dbl) + ","
                + std::to_string(r.im.dbl);
        } catch (const KNumException::Overflow& e) {
            return std::string("throw ") + e.text;
        }
    };
    for (int it = 0; it < 3000; ++it) {
        const KFixComplex a = sameFmt(rng.coin() ? 40 : 140), b = sameFmt(rng.coin() ? 40 : 140);
        const int w = rng.width(rng.coin() ? 64 : 140), f = rng.range(-4, w + 4), t = rng.type();
        const int q = rng.quant(), o = rng.ovfl(), op = rng.range(0, 3), n = rng.range(0, 6);
        KFixComplex r1 = KFixComplex::zero(w, f, t, q, o), r2 = KFixComplex::zero(w, f, t, q, o);
        std::string s1, s2;
        if (op == 0) {
            s1 = run(r1, [&] { r1 = a + b; });
            s2 = run(r2, [&] { r2.add(a, b); });
        } else if (op == 1) {
            s1 = run(r1, [&] { r1 = a - b; });
            s2 = run(r2, [&] { r2.sub(a, b); });
        } else if (op == 2) {
            s1 = run(r1, [&] { r1 = a * b; });
            s2 = run(r2, [&] { r2.mult(a, b); });
        } else {
            s1 = run(r1, [&] {
                r1.re = a.re >> n;
                r1.im = a.im >> n;
            });
            s2 = run(r2, [&] { r2.assignShifted(a, n); });
        }
        EXPECT_EQ(s1, s2) << "op " << op << " a.re " << a.re.toString() << " b.re "
                          << b.re.toString() << " into (" << w << "," << f << ") t" << t << " q"
                          << q << " o" << o;
    }
}
