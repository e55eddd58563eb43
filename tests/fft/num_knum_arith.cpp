// KNum full-precision operators, compound assignments, division, remainder and comparison
// against exact GMP arithmetic.
#include "num_ref.h"

using namespace numref;

namespace {

struct Pair {
    int wp, tp, wq, tq;
    mpz_class a, b;
    KNum p, q;
};

Pair randomPair(Rng& rng, int maxw = 200)
{
    Pair x;
    x.wp = rng.width(maxw);
    x.wq = rng.width(maxw);
    x.tp = rng.type();
    x.tq = rng.type();
    x.a = rng.value(x.wp, x.tp == SIGNED);
    x.b = rng.value(x.wq, x.tq == SIGNED);
    x.p = make(x.a, x.wp, x.tp, rng.quant(), rng.ovfl());
    x.q = make(x.b, x.wq, x.tq, rng.quant(), rng.ovfl());
    return x;
}

std::string describe(const Pair& x)
{
    return "p=" + str(x.a) + " (w" + std::to_string(x.wp) + (x.tp == SIGNED ? "s" : "u")
        + ") q=" + str(x.b) + " (w" + std::to_string(x.wq) + (x.tq == SIGNED ? "s" : "u") + ")";
}

void expectFormat(const KNum& r, int w, int t, int quant, int ovfl)
{
    EXPECT_EQ(r.width, w);
    EXPECT_EQ(r.type, t);
    EXPECT_EQ(r.quant, quant);
    EXPECT_EQ(r.ovfl, ovfl);
}

// Quotient of magnitudes rounded by quant, with the sign of a / b.
mpz_class refQuotient(const mpz_class& a, const mpz_class& b, int quant)
{
    const mpz_class ma = abs(a), mb = abs(b);
    mpz_class q = ma / mb;
    const mpz_class r = ma - q * mb;
    bool up = false;
    if (quant == ROUND)
        up = 2 * r >= mb;
    else if (quant == CONVERGENT || quant == CONVERGENT_NOSAT)
        up = 2 * r > mb || (2 * r == mb && mpz_odd_p(q.get_mpz_t()));
    if (up)
        q += 1;
    return ((a < 0) != (b < 0)) ? mpz_class(-q) : q;
}

} // namespace

TEST(KNumOperators, SumDifferenceProductFormatsAndValues)
{
    NUM_SEED_TRACE();
    Rng rng(11);
    for (int it = 0; it < 1500; ++it) {
        const Pair x = randomPair(rng);
        SCOPED_TRACE(describe(x));
        const bool anySigned = x.tp == SIGNED || x.tq == SIGNED;
        const int mw = x.wp > x.wq ? x.wp : x.wq;
        const int mq = x.p.quant > x.q.quant ? x.p.quant : x.q.quant;
        const KNum s = x.p + x.q;
        expectFormat(s, mw + 1 + (anySigned ? 1 : 0), anySigned ? SIGNED : UNSIGNED, mq, RAISE);
        EXPECT_EQ(value(s), x.a + x.b);
        const KNum d = x.p - x.q;
        expectFormat(d, mw + 2, SIGNED, mq, RAISE);
        EXPECT_EQ(value(d), x.a - x.b);
        const KNum m = x.p * x.q;
        expectFormat(
            m, x.wp + x.wq + (anySigned ? 1 : 0), anySigned ? SIGNED : UNSIGNED, mq, RAISE);
        EXPECT_EQ(value(m), x.a * x.b);
        const KNum n = -x.p;
        expectFormat(n, x.wp + 1, SIGNED, x.p.quant, RAISE);
        EXPECT_EQ(value(n), -x.a);
        const int c = KNum::compare(x.p, x.q);
        EXPECT_EQ(c < 0, x.a < x.b);
        EXPECT_EQ(c == 0, x.a == x.b);
        EXPECT_EQ(x.p < x.q, x.a < x.b);
        EXPECT_EQ(x.p >= x.q, x.a >= x.b);
        EXPECT_EQ(x.p == x.q, x.a == x.b);
        EXPECT_EQ(x.p != x.q, x.a != x.b);
        EXPECT_EQ(x.p <= x.q, x.a <= x.b);
        EXPECT_EQ(x.p > x.q, x.a > x.b);
    }
}

TEST(KNumOperators, ProductOfMostNegativeValues)
{
    for (int w : { 1, 8, 15, 16, 17, 32, 33, 63, 64, 65, 127, 128, 200 }) {
        const KNum m = make(minOf(w, true), w, SIGNED);
        EXPECT_EQ(value(m * m), pow2(2 * w - 2)) << w;
        EXPECT_EQ(value(m * make(maxOf(w, true), w, SIGNED)), minOf(w, true) * maxOf(w, true)) << w;
        EXPECT_EQ(value(-m), pow2(w - 1)) << w;
        const KNum u = make(maxOf(w, false), w, UNSIGNED);
        EXPECT_EQ(value(u * u), maxOf(w, false) * maxOf(w, false)) << w;
        EXPECT_EQ(value(u * m), maxOf(w, false) * minOf(w, true)) << w;
    }
}

TEST(KNumOperators, BitwiseOperatorsUseTheLeftFormat)
{
    NUM_SEED_TRACE();
    Rng rng(12);
    for (int it = 0; it < 400; ++it) {
        const Pair x = randomPair(rng);
        SCOPED_TRACE(describe(x));
        const mpz_class ua = wrap(x.a, x.wp, false), ub = wrap(x.b, x.wp, false);
        const bool s = x.tp == SIGNED;
        const KNum r1 = x.p & x.q, r2 = x.p | x.q, r3 = x.p ^ x.q;
        expectFormat(r1, x.wp, x.tp, x.p.quant, x.p.ovfl);
        EXPECT_EQ(value(r1), wrap(ua & ub, x.wp, s));
        EXPECT_EQ(value(r2), wrap(ua | ub, x.wp, s));
        EXPECT_EQ(value(r3), wrap(ua ^ ub, x.wp, s));
        KNum c = x.p;
        c ^= x.q;
        EXPECT_EQ(value(c), value(r3));
    }
}

TEST(KNumOperators, CompoundAssignmentsResizeIntoTheTarget)
{
    NUM_SEED_TRACE();
    Rng rng(13);
    for (int it = 0; it < 1500; ++it) {
        Pair x = randomPair(rng, 150);
        const int op = rng.range(0, 2);
        const mpz_class exact = op == 0 ? mpz_class(x.a + x.b)
                                        : (op == 1 ? mpz_class(x.a - x.b) : mpz_class(x.a * x.b));
        // The full-precision result is signed when either operand is (always for -).
        const bool rs = op == 1 || x.tp == SIGNED || x.tq == SIGNED;
        const int rw = op == 2 ? x.wp + x.wq + (rs ? 1 : 0)
                               : (x.wp > x.wq ? x.wp : x.wq) + (op == 1 ? 2 : (rs ? 2 : 1));
        const Outcome want = refResize(exact, rw, rs, x.wp, x.tp, x.p.ovfl);
        SCOPED_TRACE(
            describe(x) + " op=" + std::to_string(op) + " ovfl=" + std::to_string(x.p.ovfl));
        KNum p = x.p;
        checkOutcome(
            want,
            [&] {
                if (op == 0)
                    p += x.q;
                else if (op == 1)
                    p -= x.q;
                else
                    p *= x.q;
            },
            [&] { return value(p); }, "compound");
        if (!want.threw)
            expectFormat(p, x.wp, x.tp, x.p.quant, x.p.ovfl);
    }
}

TEST(KNumOperators, DivisionAndRemainder)
{
    NUM_SEED_TRACE();
    Rng rng(14);
    for (int it = 0; it < 1500; ++it) {
        Pair x = randomPair(rng, 150);
        if (x.b == 0)
            continue;
        SCOPED_TRACE(describe(x) + " quant=" + std::to_string(x.p.quant));
        const bool anySigned = x.tp == SIGNED || x.tq == SIGNED;
        const int mq = x.p.quant > x.q.quant ? x.p.quant : x.q.quant;
        const KNum d = x.p / x.q;
        expectFormat(
            d, x.wp + x.wq + (anySigned ? 1 : 0), anySigned ? SIGNED : UNSIGNED, mq, RAISE);
        EXPECT_EQ(value(d), refQuotient(x.a, x.b, mq));
        const mpz_class rem = x.a - (x.a / x.b) * x.b; // GMP truncates: sign of the dividend
        const KNum r = x.p % x.q;
        expectFormat(r, x.wp + (x.tp == UNSIGNED ? 1 : 0), SIGNED, TRUNCATE, WRAP);
        EXPECT_EQ(value(r), rem);
        // In place: the rounded quotient resized into the dividend's format.
        KNum p = x.p;
        const Outcome want
            = refResize(refQuotient(x.a, x.b, x.p.quant), x.wp + 2, true, x.wp, x.tp, x.p.ovfl);
        checkOutcome(
            want, [&] { p /= x.q; }, [&] { return value(p); }, "/=");
        KNum p2 = x.p;
        p2 %= x.q;
        EXPECT_EQ(value(p2), rem);
    }
    // Rounding of the quotient on magnitudes.
    const struct {
        int a, b, quant, q;
    } cases[] = { { 7, 2, TRUNCATE, 3 }, { -7, 2, TRUNCATE, -3 }, { 7, 2, ROUND, 4 },
        { -7, 2, ROUND, -4 }, { 5, 2, CONVERGENT, 2 }, { 7, 2, CONVERGENT, 4 },
        { 8, 3, CONVERGENT, 3 }, { 2, 3, ROUND, 1 }, { 1, 3, ROUND, 0 },
        { -2, 3, CONVERGENT_NOSAT, -1 } };
    for (const auto& c : cases) {
        KNum p(c.a, 16, SIGNED, c.quant, WRAP);
        p /= KNum(c.b, 16, SIGNED, TRUNCATE, WRAP);
        EXPECT_EQ(value(p), c.q) << c.a << "/" << c.b << " quant " << c.quant;
    }
    // -128 / -1 does not fit 8 signed bits.
    KNum m(-128, 8, SIGNED, TRUNCATE, SATURATE);
    m /= KNum(-1, 8, SIGNED, TRUNCATE, WRAP);
    EXPECT_EQ(value(m), 127);
    KNum z(5, 8, SIGNED, TRUNCATE, WRAP);
    const KNum zero(0, 8, SIGNED, TRUNCATE, WRAP);
    for (int k = 0; k < 4; ++k) {
        try {
            if (k == 0)
                z /= zero;
            else if (k == 1)
                z %= zero;
            else if (k == 2)
                (void)(z / zero);
            else
                (void)(z % zero);
            ADD_FAILURE() << "zero divisor accepted";
        } catch (const KNumException::IllegalIntArg& e) {
            EXPECT_STREQ(e.text, "a");
            EXPECT_EQ(e.value, 0);
        }
    }
}

TEST(KNumOperators, WideValuesUseTheHeapOnlyBeyond128Bits)
{
    const KNum small(0, 128, SIGNED, TRUNCATE, WRAP);
    const KNum wide(0, 129, SIGNED, TRUNCATE, WRAP);
    EXPECT_GE(reinterpret_cast<const char*>(small.digits), reinterpret_cast<const char*>(&small));
    EXPECT_LT(
        reinterpret_cast<const char*>(small.digits), reinterpret_cast<const char*>(&small + 1));
    EXPECT_FALSE(reinterpret_cast<const char*>(wide.digits) >= reinterpret_cast<const char*>(&wide)
        && reinterpret_cast<const char*>(wide.digits) < reinterpret_cast<const char*>(&wide + 1));
    // Moves of wide values hand the slots over; the source stays usable.
    KNum a = make(pow2(300) - 7, 302, SIGNED);
    const uint32_t* slots = a.digits;
    KNum b(std::move(a));
    EXPECT_EQ(b.digits, slots);
    EXPECT_EQ(value(b), pow2(300) - 7);
    a = b;
    EXPECT_EQ(value(a), pow2(300) - 7);
}
