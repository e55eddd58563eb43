// KNum rounding and overflow modes: resize, increment, decrement, negation, shifts,
// saturation, assignment from doubles and conversion to doubles.
#include "num_ref.h"

#include <cfloat>
#include <cmath>

using namespace numref;

namespace {

std::string fmt(int w, int t, int q, int o)
{
    return "w" + std::to_string(w) + (t == SIGNED ? "s" : "u") + " q" + std::to_string(q) + " o"
        + std::to_string(o);
}

template <typename F> void expectOverflow(F f, const char* text, int dir)
{
    try {
        f();
        ADD_FAILURE() << "no Overflow, expected \"" << text << "\"";
    } catch (const KNumException::Overflow& e) {
        EXPECT_STREQ(e.text, text);
        EXPECT_EQ(e.value, dir);
    }
}

// The documented slot-by-slot conversion of KNum values wider than 64 bits.
double slotwiseDouble(const mpz_class& v)
{
    mpz_class m = abs(v);
    std::vector<unsigned long> slots;
    while (m != 0) {
        slots.push_back(mpz_class(m & 0xFFFF).get_ui());
        m >>= 16;
    }
    if (slots.empty())
        return 0.0;
    double x = 0.0;
    for (size_t i = 0; i + 1 < slots.size(); ++i)
        x = (x + (double)slots[i]) * (1.0 / 65536.0);
    x = x + (double)slots.back();
    x = std::ldexp(x, 16 * (int)(slots.size() - 1));
    return v < 0 ? -x : x;
}

} // namespace

TEST(KNumResize, MatchesReferenceInEveryMode)
{
    NUM_SEED_TRACE();
    Rng rng(21);
    for (int it = 0; it < 3000; ++it) {
        const int w = rng.width(200), t = rng.type(), o = rng.ovfl();
        const int near = w + rng.range(-3, 3);
        const int nw = rng.coin() ? rng.width(200) : (near < 0 ? 0 : near);
        const int nt = rng.range(0, 2); // 0 keeps the type
        const mpz_class v = rng.value(w, t == SIGNED);
        KNum k = make(v, w, t, TRUNCATE, WRAP);
        const Outcome want = refResize(v, w, t == SIGNED, nw, nt ? nt : t, o);
        SCOPED_TRACE("v=" + str(v) + " " + fmt(w, t, 0, o) + " -> w" + std::to_string(nw) + " t"
            + std::to_string(nt));
        checkOutcome(
            want, [&] { k.resize(nw, nt, CONVERGENT, o); }, [&] { return value(k); }, "resize");
        if (!want.threw) {
            EXPECT_EQ(k.width, nw);
            EXPECT_EQ(k.type, nt ? nt : t);
            EXPECT_EQ(k.quant, CONVERGENT);
            EXPECT_EQ(k.ovfl, o);
        }
    }
}

TEST(KNumResize, WorkedExamples)
{
    KNum a(300, 16, SIGNED, TRUNCATE, SATURATE);
    a.resize(8);
    EXPECT_EQ(value(a), 127);
    KNum b(300, 16, SIGNED, TRUNCATE, WRAP);
    b.resize(8);
    EXPECT_EQ(value(b), 44);
    KNum c(-300, 16, SIGNED, TRUNCATE, SATURATE);
    c.resize(8);
    EXPECT_EQ(value(c), -128);
    KNum d(-5, 8, SIGNED, TRUNCATE, RAISE);
    expectOverflow([&] { d.resize(8, UNSIGNED); }, "negative value retyped to unsigned", 0);
    KNum e(200, 8, UNSIGNED, TRUNCATE, RAISE);
    expectOverflow([&] { e.resize(8, SIGNED); }, "on unsigned to signed", 1);
    KNum f(300, 16, SIGNED, TRUNCATE, RAISE);
    expectOverflow([&] { f.resize(8); }, "on decreasing resize", 0);
    KNum g(-1, 8, SIGNED, TRUNCATE, WRAP);
    g.resize(12, UNSIGNED);
    EXPECT_EQ(value(g), 4095); // sign-extended, then the bits are kept
}

TEST(KNumUnary, IncrementDecrementNegate)
{
    NUM_SEED_TRACE();
    Rng rng(22);
    for (int it = 0; it < 2000; ++it) {
        const int w = rng.width(200), t = rng.type(), o = rng.ovfl();
        const bool s = t == SIGNED;
        const mpz_class v = rng.value(w, s);
        SCOPED_TRACE("v=" + str(v) + " " + fmt(w, t, 0, o));
        for (int op = 0; op < 3; ++op) {
            KNum k = make(v, w, t, TRUNCATE, o);
            mpz_class exact
                = op == 0 ? mpz_class(v + 1) : (op == 1 ? mpz_class(v - 1) : mpz_class(-v));
            Outcome want;
            if (op == 2 && !s && o != WRAP && v != 0) {
                if (o == SATURATE)
                    want.v = 0;
                else {
                    want.threw = true;
                    want.text = "negating unsigned KNum";
                }
            } else if (fits(exact, w, s) || (w == 0 && s)) {
                want.v = wrap(exact, w, s); // a signed width-0 value never overflows
            } else if (o == WRAP) {
                want.v = wrap(exact, w, s);
            } else if (o == SATURATE) {
                want.v = op == 1 ? minOf(w, s) : maxOf(w, s);
            } else {
                want.threw = true;
                want.text = op == 1 ? "Overflow on decr" : "Overflow on incr";
            }
            checkOutcome(
                want,
                [&] {
                    if (op == 0)
                        ++k;
                    else if (op == 1)
                        --k;
                    else
                        k.negate();
                },
                [&] { return value(k); }, "op " + std::to_string(op));
        }
    }
    // Negating the most negative value overflows on the increment.
    KNum m(-128, 8, SIGNED, TRUNCATE, SATURATE);
    m.negate();
    EXPECT_EQ(value(m), 127);
    KNum r(-128, 8, SIGNED, TRUNCATE, RAISE);
    expectOverflow([&] { r.negate(); }, "Overflow on incr", 0);
    KNum u(0, 8, UNSIGNED, TRUNCATE, RAISE);
    u.negate(); // zero stays zero
    EXPECT_EQ(value(u), 0);
}

TEST(KNumUnary, Saturate)
{
    for (int w : { 0, 1, 15, 16, 17, 64, 65, 128, 129, 300 }) {
        for (int t : { UNSIGNED, SIGNED }) {
            KNum k = make(1, w, t);
            k.saturate(5);
            EXPECT_EQ(value(k), maxOf(w, t == SIGNED)) << w;
            k.saturate(-2);
            EXPECT_EQ(value(k), minOf(w, t == SIGNED)) << w;
            k.saturate(0);
            EXPECT_EQ(value(k), 0) << w;
        }
    }
}

TEST(KNumShift, LeftShiftOverflowRules)
{
    NUM_SEED_TRACE();
    Rng rng(23);
    for (int it = 0; it < 3000; ++it) {
        const int w = rng.width(200), t = rng.type(), o = rng.ovfl();
        const bool s = t == SIGNED;
        const mpz_class v = rng.value(w, s);
        const int n = rng.coin() ? rng.range(0, 4) : rng.range(0, w + 3);
        const mpz_class exact = v << n;
        Outcome want;
        if (n == 0 || v == 0) {
            want.v = v;
        } else if (n >= w && o == WRAP) {
            want.v = 0;
        } else if (o == WRAP || fits(exact, w, s)) {
            want.v = wrap(exact, w, s);
        } else if (o == SATURATE) {
            want.v = v < 0 ? minOf(w, s) : maxOf(w, s);
        } else {
            want.threw = true;
            want.text = "during left shift";
            want.dir = v < 0 ? -1 : 1;
        }
        SCOPED_TRACE("v=" + str(v) + " " + fmt(w, t, 0, o) + " n=" + std::to_string(n));
        KNum k = make(v, w, t, TRUNCATE, o);
        checkOutcome(
            want, [&] { k <<= n; }, [&] { return value(k); }, "<<=");
        KNum k2 = make(v, w, t, TRUNCATE, o);
        checkOutcome(
            want, [&] { k2.shiftRight(-n); }, [&] { return value(k2); }, "shiftRight(-n)");
    }
    // 64 (8-bit signed) shifted left by one.
    KNum a(64, 8, SIGNED, TRUNCATE, SATURATE);
    a <<= 1;
    EXPECT_EQ(value(a), 127);
    KNum b(64, 8, SIGNED, TRUNCATE, WRAP);
    b <<= 1;
    EXPECT_EQ(value(b), -128);
    KNum c(64, 8, SIGNED, TRUNCATE, RAISE);
    expectOverflow([&] { c <<= 1; }, "during left shift", 1);
    KNum d(-65, 8, SIGNED, TRUNCATE, RAISE);
    expectOverflow([&] { d <<= 1; }, "during left shift", -1);
}

TEST(KNumShift, RightShiftRounding)
{
    NUM_SEED_TRACE();
    Rng rng(24);
    for (int it = 0; it < 4000; ++it) {
        const int w = rng.width(200), t = rng.type(), q = rng.quant(), o = rng.ovfl();
        const bool s = t == SIGNED;
        const mpz_class v = rng.value(w, s);
        const int n = rng.coin() ? rng.range(0, 4) : rng.range(0, w + 3);
        const mpz_class want = floorShift(v, n) + (roundsUp(v, n, q) ? 1 : 0);
        SCOPED_TRACE("v=" + str(v) + " " + fmt(w, t, q, o) + " n=" + std::to_string(n));
        KNum k = make(v, w, t, q, o);
        k >>= n;
        EXPECT_EQ(value(k), want);
        KNum k2 = make(v, w, t, q, o);
        k2.shiftLeft(-n);
        EXPECT_EQ(value(k2), want);
    }
    const struct {
        int v, quant, want;
    } cases[] = { { 7, CONVERGENT, 4 }, { 7, TRUNCATE, 3 }, { 7, ROUND, 4 }, { 5, CONVERGENT, 2 },
        { -3, TRUNCATE, -2 }, { -3, ROUND, -2 }, { -3, CONVERGENT, -2 }, { -1, ROUND, -1 },
        { -1, CONVERGENT, 0 } };
    for (const auto& c : cases) {
        KNum k(c.v, 8, SIGNED, c.quant, WRAP);
        k >>= 1;
        EXPECT_EQ(value(k), c.want) << c.v << " quant " << c.quant;
    }
    // Shifting out every bit.
    KNum a(-100, 8, SIGNED, TRUNCATE, WRAP);
    a >>= 20;
    EXPECT_EQ(value(a), -1);
    KNum b(-100, 8, SIGNED, ROUND, WRAP);
    b >>= 20;
    EXPECT_EQ(value(b), 0);
    KNum c(200, 8, UNSIGNED, ROUND, WRAP);
    c >>= 8;
    EXPECT_EQ(value(c), 1); // at least half the range rounds to one
    KNum d(100, 8, UNSIGNED, ROUND, WRAP);
    d >>= 8;
    EXPECT_EQ(value(d), 0);
    // The general rounding rule also when every bit is dropped: 7/8 -> 1, -128/256 -> -1.
    KNum e(7, 3, UNSIGNED, CONVERGENT, WRAP);
    e >>= 3;
    EXPECT_EQ(value(e), 1);
    KNum f(-128, 8, SIGNED, ROUND, WRAP);
    f >>= 8;
    EXPECT_EQ(value(f), -1);
}

TEST(KNumDouble, AssignmentMatchesReference)
{
    NUM_SEED_TRACE();
    Rng rng(25);
    for (int it = 0; it < 4000; ++it) {
        const int w = rng.width(150), t = rng.type(), q = rng.quant(), o = rng.ovfl();
        double x;
        switch (rng.range(0, 4)) {
        case 0: // ties and near-ties
            x = (rng.range(-2000, 2000)) / 2.0 + (rng.coin() ? 0.0 : 0.25);
            break;
        case 1: // around the format's limits
            x = std::ldexp((double)rng.range(-4, 4) / 4.0 + (rng.coin() ? 1.0 : -1.0),
                w - (t == SIGNED ? 1 : 0));
            break;
        case 2:
            x = std::ldexp((double)(int64_t)(rng.gen()() >> 11) * (rng.coin() ? 1 : -1),
                rng.range(-60, w + 5) - 53);
            break;
        case 3:
            x = (double)rng.range(-100000, 100000) / (double)rng.range(1, 64);
            break;
        default:
            x = std::ldexp(rng.coin() ? 1.0 : -1.0, rng.range(-3, w + 2))
                + (rng.coin() ? 0.5 : 0.0);
        }
        const Outcome want = refAssign(x, w, t, q, o);
        KNum k = make(0, w, t, q, o);
        k.status = 1;
        SCOPED_TRACE("x=" + std::to_string(x) + " " + fmt(w, t, q, o));
        checkOutcome(
            want, [&] { k = x; }, [&] { return value(k); }, "assign");
        if (!want.threw) {
            EXPECT_EQ(k.status & 1u, want.status ? 1u : 0u);
        }
    }
}

TEST(KNumDouble, WorkedExamples)
{
    const struct {
        double x;
        int quant;
        int want;
    } cases[] = { { 2.5, CONVERGENT, 2 }, { 3.5, CONVERGENT, 4 }, { -2.5, CONVERGENT, -2 },
        { 2.5, ROUND, 3 }, { -2.5, ROUND, -3 }, { -2.5, TRUNCATE, -3 }, { 2.5, TRUNCATE, 2 },
        { -0.5, CONVERGENT, 0 } };
    for (const auto& c : cases) {
        KNum k(0, 8, SIGNED, c.quant, WRAP);
        k = c.x;
        EXPECT_EQ(value(k), c.want) << c.x << " quant " << c.quant;
    }
    KNum m(0, 8, SIGNED, TRUNCATE, RAISE);
    m = -128.0;
    EXPECT_EQ(value(m), -128);
    EXPECT_EQ(m.status, 0u);
    KNum s(0, 8, SIGNED, TRUNCATE, SATURATE);
    s = 128.0;
    EXPECT_EQ(value(s), 127);
    EXPECT_EQ(s.status & 1u, 1u);
    expectOverflow([&] { m = 128.0; }, "KNum-assign-from-double saturated", 0);
    KNum u(0, 8, UNSIGNED, TRUNCATE, RAISE);
    expectOverflow([&] { u = -1.0; }, "KNum-assign-from-double, negative to unsigned", 0);
    u = 0; // zero clears directly
    EXPECT_EQ(value(u), 0);
    u = 17;
    EXPECT_EQ(value(u), 17);
    // Non-finite values.
    KNum n(5, 8, SIGNED, TRUNCATE, SATURATE);
    n = NAN;
    EXPECT_EQ(value(n), 0);
    EXPECT_EQ(n.status & 1u, 1u);
    n = INFINITY;
    EXPECT_EQ(value(n), 127);
    n = -INFINITY;
    EXPECT_EQ(value(n), -128);
    KNum wr(5, 8, SIGNED, TRUNCATE, WRAP);
    wr = INFINITY;
    EXPECT_EQ(value(wr), 0);
    KNum rs(5, 8, SIGNED, TRUNCATE, RAISE);
    expectOverflow([&] { rs = -INFINITY; }, "KNum-assign-from-double saturated", 0);
    // Wide formats take every bit of large doubles.
    KNum big(0, 1100, SIGNED, TRUNCATE, WRAP);
    big = -DBL_MAX;
    EXPECT_EQ(value(big), mpz_class(-DBL_MAX));
}

TEST(KNumDouble, ToDouble)
{
    NUM_SEED_TRACE();
    Rng rng(26);
    for (int it = 0; it < 3000; ++it) {
        const int w = rng.width(300), t = rng.type();
        const mpz_class v = rng.value(w, t == SIGNED);
        const KNum k = make(v, w, t);
        const double want = w <= 64 ? nearestDouble(v) : slotwiseDouble(v);
        const double got = k.toDouble();
        EXPECT_TRUE(got == want || (std::isinf(got) && std::isinf(want) && (got > 0) == (want > 0)))
            << "v=" << str(v) << " w=" << w << " got " << got << " want " << want;
    }
    EXPECT_EQ(KNum(-128, 8, SIGNED, TRUNCATE, WRAP).toDouble(), -128.0);
    EXPECT_EQ(make(pow2(4095) * -1, 4096, SIGNED).toDouble(), -INFINITY);
    EXPECT_EQ(make(pow2(1023), 1025, SIGNED).toDouble(), std::ldexp(1.0, 1023));
}
