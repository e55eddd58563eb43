// KFix quantising assignment (alignment, rounding, overflow, status), assignment from doubles,
// setFormat and the template format, against exact GMP references.
#include "num_internal.h"
#include "num_ref.h"

#include <cfloat>
#include <cmath>

using namespace numref;

namespace {

std::string fmt(int w, int f, int t, int q = 0, int o = 0)
{
    return "(" + std::to_string(w) + "," + std::to_string(f) + (t == SIGNED ? ",s" : ",u") + " q"
        + std::to_string(q) + " o" + std::to_string(o) + ")";
}

mpz_class raw(const KFix& v) { return value(v); }

// A random source format and value.
struct Src {
    int w, f, t;
    mpz_class v;
    KFix x;
};

Src randomSrc(Rng& rng, int maxw)
{
    // KFix assignment keeps the target's format, so the value is copy-constructed.
    const int w = rng.width(maxw);
    const int f = rng.range(-8, w + 8);
    const int t = rng.type();
    const mpz_class v = rng.value(w, t == SIGNED);
    return Src { w, f, t, v, makeFix(v, w, f, t) };
}

// setFormat steps on exact integers: grow, early retype, shift, retype, shrink, retype.
Outcome refSetFormat(mpz_class v, int w0, int f0, int t0, int w, int f, int t, int q, int o)
{
    int cw = w0 > w ? w0 : w;
    bool cs = t0 == SIGNED;
    auto retype = [&](int nt) {
        const Outcome r = refResize(v, cw, cs, cw, nt, o);
        v = r.v;
        cs = nt == SIGNED;
        return r;
    };
    if (cs && t == UNSIGNED && f >= f0) {
        const Outcome r = retype(UNSIGNED);
        if (r.threw)
            return r;
    }
    const long n = (long)f - f0;
    if (n > 0 && v != 0) {
        const mpz_class exact = v << n;
        if (n >= cw && o == WRAP)
            v = 0;
        else if (o == WRAP || fits(exact, cw, cs))
            v = wrap(exact, cw, cs);
        else if (o == SATURATE)
            v = v < 0 ? minOf(cw, cs) : maxOf(cw, cs);
        else {
            Outcome r;
            r.threw = true;
            r.text = "during left shift";
            r.dir = v < 0 ? -1 : 1;
            return r;
        }
    } else if (n < 0) {
        v = floorShift(v, -n) + (roundsUp(v, -n, q) ? 1 : 0);
    }
    if (cs && t == UNSIGNED) {
        const Outcome r = retype(UNSIGNED);
        if (r.threw)
            return r;
    }
    if (w < cw) {
        const Outcome r = refResize(v, cw, cs, w, cs ? SIGNED : UNSIGNED, o);
        if (r.threw)
            return r;
        v = r.v;
        cw = w;
    }
    if (t == SIGNED && !cs) {
        const Outcome r = retype(SIGNED);
        if (r.threw)
            return r;
    }
    Outcome r;
    r.v = v;
    return r;
}

} // namespace

TEST(KFixAssign, QuantisesIntoTheTargetFormat)
{
    NUM_SEED_TRACE();
    Rng rng(31);
    for (int it = 0; it < 6000; ++it) {
        const Src s = randomSrc(rng, 180);
        const int w = rng.width(180);
        const int f = rng.coin() ? s.f + rng.range(-4, 4) : rng.range(-8, w + 8);
        const int t = rng.type(), q = rng.quant(), o = rng.ovfl();
        const Outcome want = refConvert(s.v, s.w, s.f, w, f, t, q, o);
        KFix d(0, w, f, t, q, o);
        d.status = 1;
        SCOPED_TRACE("src " + str(s.v) + fmt(s.w, s.f, s.t) + " -> " + fmt(w, f, t, q, o));
        checkOutcome(
            want, [&] { d = s.x; }, [&] { return raw(d); }, "assign");
        if (!want.threw) {
            EXPECT_EQ(d.status & 1u, want.status ? 1u : 0u);
            EXPECT_EQ(d.width, w);
            EXPECT_EQ(d.binpt, f);
            EXPECT_EQ(d.type, t);
            EXPECT_EQ(d.dbl, s.x.dbl);
        }
    }
}

TEST(KFixAssign, ShortPathAgreesWithGenericPath)
{
    NUM_SEED_TRACE();
    Rng rng(32);
    for (int it = 0; it < 6000; ++it) {
        const Src s = randomSrc(rng, rng.coin() ? 64 : 127);
        const int w = rng.width(rng.coin() ? 64 : 127);
        const int f = rng.coin() ? s.f + rng.range(-3, 3) : rng.range(-140, 140);
        const int t = rng.type(), q = rng.quant(), o = rng.ovfl();
        KFix a(0, w, f, t, q, o), b(0, w, f, t, q, o), c(0, w, f, t, q, o);
        std::string ea, eb, ec;
        try {
            num_internal::convertSmall(a, f, s.x.get128(), s.w, s.f);
        } catch (const KNumException::Overflow& e) {
            ea = e.text + std::to_string(e.value);
        }
        try {
            num_internal::convertGeneric(b, f, s.x, s.f);
        } catch (const KNumException::Overflow& e) {
            eb = e.text + std::to_string(e.value);
        }
        const bool with64 = num_internal::convertible64(c, f, s.x, s.f);
        try {
            if (with64)
                num_internal::convert64(c, f, s.x.get64(), s.w, s.f);
        } catch (const KNumException::Overflow& e) {
            ec = e.text + std::to_string(e.value);
        }
        SCOPED_TRACE("src " + str(s.v) + fmt(s.w, s.f, s.t) + " -> " + fmt(w, f, t, q, o));
        EXPECT_EQ(ea, eb);
        if (ea.empty() && eb.empty()) {
            EXPECT_EQ(str(raw(a)), str(raw(b)));
            EXPECT_EQ(a.status, b.status);
        }
        if (with64) {
            EXPECT_EQ(ec, eb);
            if (ec.empty() && eb.empty()) {
                EXPECT_EQ(str(raw(c)), str(raw(b)));
                EXPECT_EQ(c.status, b.status);
            }
        }
    }
}

TEST(KFixAssign, WorkedExamples)
{
    const KFix minusOne = makeFix(-32768, 16, 15, SIGNED);
    const KFix nearOne = makeFix(0x7FFF, 16, 15, SIGNED);
    KFix t(0, 8, 7, SIGNED, TRUNCATE, WRAP);
    t = minusOne;
    EXPECT_EQ(t.toDouble(), -1.0);
    t = nearOne;
    EXPECT_EQ(t.toDouble(), 0.9921875);
    KFix cs(0, 8, 7, SIGNED, CONVERGENT, SATURATE);
    cs = nearOne;
    EXPECT_EQ(cs.toDouble(), 0.9921875);
    EXPECT_EQ(cs.status & 1u, 1u);
    KFix cw(0, 8, 7, SIGNED, CONVERGENT, WRAP);
    cw = nearOne;
    EXPECT_EQ(cw.toDouble(), -1.0);
    KFix cr(0, 8, 7, SIGNED, CONVERGENT, RAISE);
    EXPECT_THROW(cr = nearOne, KNumException::Overflow);
    KFix ns(0, 8, 7, SIGNED, CONVERGENT_NOSAT, RAISE);
    ns = nearOne;
    EXPECT_EQ(ns.toDouble(), 0.9921875);
    EXPECT_EQ(ns.status, 0u);

    // Ties: 1.5 units of the target.
    const KFix tie = makeFix(0x0180, 16, 15, SIGNED), ntie = makeFix(-0x0180, 16, 15, SIGNED);
    const struct {
        int quant;
        int pos, neg;
    } ties[] = { { CONVERGENT, 2, -2 }, { ROUND, 2, -2 }, { TRUNCATE, 1, -2 },
        { CONVERGENT_NOSAT, 2, -2 } };
    for (const auto& c : ties) {
        KFix r(0, 8, 7, SIGNED, c.quant, WRAP);
        r = tie;
        EXPECT_EQ(raw(r), c.pos) << c.quant;
        r = ntie;
        EXPECT_EQ(raw(r), c.neg) << c.quant;
    }
    // A tie of 2.5 units goes to the even neighbour under CONVERGENT, away from zero under ROUND.
    KFix c25(0, 8, 7, SIGNED, CONVERGENT, WRAP), r25(0, 8, 7, SIGNED, ROUND, WRAP);
    c25 = makeFix(-0x0280, 16, 15, SIGNED);
    r25 = makeFix(-0x0280, 16, 15, SIGNED);
    EXPECT_EQ(raw(c25), -2);
    EXPECT_EQ(raw(r25), -3);
    // Overflow texts and directions.
    KFix small(0, 4, 0, SIGNED, TRUNCATE, RAISE);
    try {
        small = makeFix(-100, 8, 0, SIGNED);
        ADD_FAILURE();
    } catch (const KNumException::Overflow& e) {
        EXPECT_STREQ(e.text, "during convert");
        EXPECT_EQ(e.value, -1);
    }
    KFix u(0, 8, 0, UNSIGNED, TRUNCATE, SATURATE);
    u = makeFix(-1, 8, 0, SIGNED);
    EXPECT_EQ(raw(u), 0);
    u = makeFix(300, 12, 0, SIGNED);
    EXPECT_EQ(raw(u), 255);
}

TEST(KFixAssign, FlagsAndShadow)
{
    KFix src(0.75, 8, 6, SIGNED, TRUNCATE, WRAP);
    KFix dst(0, 4, 1, SIGNED, TRUNCATE, WRAP);
    dst = src;
    EXPECT_EQ(dst.dbl, 0.75);
    EXPECT_EQ(dst.toDouble(), 0.5);
    const KFix& self = dst;
    dst = self; // self-assignment changes nothing
    EXPECT_EQ(dst.toDouble(), 0.5);
    src = NAN;
    EXPECT_EQ(raw(src), 0);
    EXPECT_FALSE(src.valid);
    EXPECT_FALSE(src.assigned);
    EXPECT_FALSE(src.known);
    EXPECT_TRUE(std::isnan(src.toDouble()));
    dst = src;
    EXPECT_FALSE(dst.valid);
    EXPECT_FALSE(dst.known);
    EXPECT_TRUE(std::isnan(dst.toDouble()));
    dst = 0.5;
    EXPECT_TRUE(dst.valid && dst.assigned && dst.known);
    EXPECT_EQ(dst.toDouble(), 0.5);
    dst = 0;
    EXPECT_EQ(raw(dst), 0);
    EXPECT_EQ(dst.dbl, 0.0);
    dst = 3; // integers go through the double assignment (saturating width 4, binpt 1: wraps)
    EXPECT_EQ(dst.dbl, 3.0);
    EXPECT_EQ(raw(dst), 6);
    dst = true;
    EXPECT_EQ(raw(dst), 1);
    EXPECT_EQ(dst.dbl, 1.0);
    // always_valid keeps validity through NaN.
    KFix av(0, 8, 0, SIGNED, TRUNCATE, WRAP);
    KFix tmpl(0, 8, 0, SIGNED, TRUNCATE, WRAP);
    tmpl.always_valid = 1;
    av.setFormat(tmpl);
    EXPECT_EQ(av.always_valid, 1);
    av = NAN;
    EXPECT_TRUE(av.valid);
    EXPECT_FALSE(av.known);
    EXPECT_FALSE(av.assigned);
}

TEST(KFixAssign, FromDouble)
{
    NUM_SEED_TRACE();
    Rng rng(33);
    for (int it = 0; it < 3000; ++it) {
        const int w = rng.width(120), t = rng.type(), q = rng.quant(), o = rng.ovfl();
        const int f = rng.range(-20, w + 20);
        double x = std::ldexp(
            (double)(int64_t)(rng.gen()() >> rng.range(11, 60)) * (rng.coin() ? 1 : -1),
            rng.range(-40, 40) - f);
        if (rng.range(0, 4) == 0)
            x = std::ldexp(rng.range(-9, 9) / 2.0, -f); // ties
        const Outcome want = refAssign(std::ldexp(x, f), w, t, q, o);
        KFix k(0, w, f, t, q, o);
        SCOPED_TRACE("x=" + std::to_string(x) + " " + fmt(w, f, t, q, o));
        checkOutcome(
            want, [&] { k = x; }, [&] { return raw(k); }, "assign double");
        if (!want.threw) {
            EXPECT_EQ(k.status & 1u, want.status ? 1u : 0u);
            EXPECT_EQ(k.dbl, x);
        }
        // The constructor from a double quantises the same way.
        if (!want.threw) {
            const KFix c(x, w, f, t, q, o);
            EXPECT_EQ(raw(c), want.v);
        }
    }
    // Huge values into wide formats: x * 2^binpt is beyond the double range.
    KFix wide(0, 1200, 1000, SIGNED, TRUNCATE, SATURATE);
    wide = -3.5;
    EXPECT_EQ(raw(wide), mpz_class(-7) << 999);
    EXPECT_EQ(wide.toDouble(), -3.5);
    wide = std::ldexp(-1.0, 199); // the most negative value
    EXPECT_EQ(raw(wide), -pow2(1199));
    EXPECT_EQ(wide.status, 0u);
    wide = DBL_MAX;
    EXPECT_EQ(raw(wide), maxOf(1200, true));
    EXPECT_EQ(wide.status & 1u, 1u);
    KFix widest(0, 2100, 1000, SIGNED, TRUNCATE, RAISE);
    widest = -DBL_MAX;
    EXPECT_EQ(raw(widest), mpz_class(-DBL_MAX) << 1000);
    KFix narrow(0, 60, 1030, SIGNED, TRUNCATE, SATURATE);
    narrow = 1.0;
    EXPECT_EQ(raw(narrow), maxOf(60, true));
    EXPECT_EQ(narrow.status & 1u, 1u);
    narrow = -1.0;
    EXPECT_EQ(raw(narrow), minOf(60, true));
    KFix nr(0, 60, 1030, SIGNED, TRUNCATE, RAISE);
    EXPECT_THROW(nr = 1.0, KNumException::Overflow);
    KFix w30(0, 30, 1030, SIGNED, TRUNCATE, WRAP);
    w30 = 1.0; // 2^1030 wraps to zero in 30 bits
    EXPECT_EQ(raw(w30), 0);
    EXPECT_EQ(w30.status & 1u, 1u);
    // Values far below the resolution round like any value below half a unit.
    KFix tiny(0, 8, -1000, SIGNED, TRUNCATE, WRAP);
    tiny = -1e-300;
    EXPECT_EQ(raw(tiny), -1);
    KFix tinyr(0, 8, -1000, SIGNED, ROUND, WRAP);
    tinyr = -1e-300;
    EXPECT_EQ(raw(tinyr), 0);
}

TEST(KFixFormat, SetFormatMatchesReference)
{
    NUM_SEED_TRACE();
    Rng rng(34);
    for (int it = 0; it < 3000; ++it) {
        const Src s = randomSrc(rng, 150);
        const int w = rng.coin() ? s.w + rng.range(-3, 3) : rng.width(150);
        const int f = rng.coin() ? s.f + rng.range(-5, 5) : rng.range(-8, 158);
        const int t = rng.type(), q = rng.quant(), o = rng.ovfl();
        if (w < 0)
            continue;
        const Outcome want = refSetFormat(s.v, s.w, s.f, s.t, w, f, t, q, o);
        KFix k = s.x;
        SCOPED_TRACE("src " + str(s.v) + fmt(s.w, s.f, s.t) + " -> " + fmt(w, f, t, q, o));
        checkOutcome(
            want, [&] { k.setFormat(w, f, t, q, o); }, [&] { return raw(k); }, "setFormat");
        if (!want.threw) {
            EXPECT_EQ(k.width, w);
            EXPECT_EQ(k.binpt, f);
            EXPECT_EQ(k.type, t);
            EXPECT_EQ(k.quant, q);
            EXPECT_EQ(k.ovfl, o);
            EXPECT_EQ(k.dbl, s.x.dbl);
            const KFix c(s.x, w, f, t, q, o);
            EXPECT_EQ(raw(c), want.v);
        }
    }
}

TEST(KFixFormat, TemplatesBooleansAndScaling)
{
    KFix b(true);
    EXPECT_EQ(b.is_bool, 1);
    EXPECT_EQ(b.width, 1);
    EXPECT_EQ(b.type, UNSIGNED);
    EXPECT_THROW(b.setFormat(8, 0, SIGNED, TRUNCATE, WRAP), KNumException::UnimplementedSpec);
    b.setFormat(1, 0, SIGNED, ROUND, SATURATE); // accepted and left unchanged
    EXPECT_EQ(b.type, UNSIGNED);
    EXPECT_EQ(raw(b), 1);

    KFix v(0.5, 16, 15, SIGNED, TRUNCATE, WRAP);
    v = NAN;
    v.setFormat(KFix(false)); // an invalid value becomes a valid boolean 0
    EXPECT_EQ(v.is_bool, 1);
    EXPECT_TRUE(v.valid);
    EXPECT_EQ(raw(v), 0);

    const KFix tmpl(0, 12, 10, SIGNED, CONVERGENT, SATURATE);
    KFix x(1.75, 8, 4, SIGNED, TRUNCATE, WRAP);
    x.setFormat(tmpl);
    EXPECT_EQ(x.width, 12);
    EXPECT_EQ(x.binpt, 10);
    EXPECT_EQ(x.quant, CONVERGENT);
    EXPECT_EQ(x.ovfl, SATURATE);
    EXPECT_EQ(x.toDouble(), 1.75);
    EXPECT_EQ(x.always_valid, 0);

    // Scaling by 2^-n changes binpt and dbl, not the bits.
    KFix s(3.0, 8, 2, SIGNED, TRUNCATE, WRAP);
    s.scale(3);
    EXPECT_EQ(s.binpt, 5);
    EXPECT_EQ(raw(s), 12);
    EXPECT_EQ(s.toDouble(), 0.375);
    EXPECT_EQ(s.dbl, 0.375);
    s.scale(-4);
    EXPECT_EQ(s.toDouble(), 6.0);
}
