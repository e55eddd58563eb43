// Reference arithmetic for the KNum / KFix tests: exact integers in GMP, independent of the
// library's digit code, plus seeded random formats and values.
#ifndef TESTS_NUM_REF_H
#define TESTS_NUM_REF_H

#include "kip_test_seed.h"
#include "num.h"

#include <gmpxx.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>

namespace numref {

inline std::string seedNote() { return "KIP_TEST_SEED=" + std::to_string(kip_test::seed()); }

#define NUM_SEED_TRACE() SCOPED_TRACE(numref::seedNote())

inline mpz_class pow2(long n)
{
    mpz_class r;
    mpz_ui_pow_ui(r.get_mpz_t(), 2, (unsigned long)n);
    return r;
}

// Exact value of a KNum read from its slots; also checks the slot invariants.
inline mpz_class value(const KNum& v)
{
    EXPECT_EQ(v.nwords, v.width < 1 ? 1 : (v.width - 1) / 16 + 1);
    EXPECT_EQ(v.topbits, v.width == 0 ? 0 : (v.width % 16 ? v.width % 16 : 16));
    mpz_class r = 0;
    for (int i = v.nwords - 1; i >= 0; --i) {
        EXPECT_LT(v.digits[i], 1u << 16) << "slot " << i;
        r = (r << 16) + v.digits[i];
    }
    EXPECT_EQ(v.digits[v.nwords - 1] >> v.topbits, 0u) << "top slot not masked";
    if (v.type == SIGNED && v.width > 0 && mpz_tstbit(r.get_mpz_t(), (mp_bitcnt_t)(v.width - 1)))
        r -= pow2(v.width);
    return r;
}

inline mpz_class minOf(int w, bool s)
{
    return (s && w > 0) ? mpz_class(-pow2(w - 1)) : mpz_class(0);
}
inline mpz_class maxOf(int w, bool s)
{
    if (w == 0)
        return 0;
    return s ? mpz_class(pow2(w - 1) - 1) : mpz_class(pow2(w) - 1);
}
inline bool fits(const mpz_class& v, int w, bool s) { return v >= minOf(w, s) && v <= maxOf(w, s); }

// v modulo 2^w read in the format (two's complement for signed).
inline mpz_class wrap(const mpz_class& v, int w, bool s)
{
    mpz_class r;
    mpz_fdiv_r_2exp(r.get_mpz_t(), v.get_mpz_t(), (mp_bitcnt_t)w);
    if (s && w > 0 && r >= pow2(w - 1))
        r -= pow2(w);
    return r;
}

inline mpz_class floorShift(const mpz_class& v, long d)
{
    mpz_class r;
    if (d >= 0)
        mpz_fdiv_q_2exp(r.get_mpz_t(), v.get_mpz_t(), (mp_bitcnt_t)d);
    else
        mpz_mul_2exp(r.get_mpz_t(), v.get_mpz_t(), (mp_bitcnt_t)-d);
    return r;
}

// Round-up decision for dropping the d >= 1 lowest bits of v.
inline bool roundsUp(const mpz_class& v, long d, int quant)
{
    if (d < 1 || quant == TRUNCATE)
        return false;
    const mpz_class fl = floorShift(v, d);
    const mpz_class rem = v - (fl << d); // 0 <= rem < 2^d
    const mpz_class half = pow2(d - 1);
    if (rem < half)
        return false;
    const bool lower = rem != half;
    if (quant == ROUND)
        return v >= 0 || lower;
    return lower || mpz_odd_p(fl.get_mpz_t());
}

// Builds a KNum of the given format holding v (low bits).
inline KNum make(const mpz_class& v, int w, int type, int quant = TRUNCATE, int ovfl = WRAP)
{
    KNum r(0, w, type, quant, ovfl);
    const mpz_class bits = wrap(v, w, false);
    for (int i = 0; i < w; ++i)
        if (mpz_tstbit(bits.get_mpz_t(), (mp_bitcnt_t)i))
            r.setBit(i, 1);
    return r;
}

inline KFix makeFix(
    const mpz_class& v, int w, int f, int type, int quant = TRUNCATE, int ovfl = WRAP)
{
    KFix r(0, w, f, type, quant, ovfl);
    const mpz_class bits = wrap(v, w, false);
    for (int i = 0; i < w; ++i)
        if (mpz_tstbit(bits.get_mpz_t(), (mp_bitcnt_t)i))
            r.setBit(i, 1);
    r.dbl = r.toDouble();
    return r;
}

inline std::string str(const mpz_class& v) { return v.get_str(); }

// Random source with the boundary widths and values that break arithmetic.
class Rng {
public:
    Rng(uint64_t salt = 0)
        : gen_(kip_test::seed() * 0x9E3779B97F4A7C15ull + salt)
    {
    }

    int range(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(gen_); }
    bool coin() { return range(0, 1) == 1; }
    int type() { return coin() ? SIGNED : UNSIGNED; }
    int quant() { return range(TRUNCATE, CONVERGENT_NOSAT); }
    int ovfl() { return range(WRAP, RAISE); }

    // Widths around slot and word boundaries, sometimes anything up to maxw.
    int width(int maxw = 200)
    {
        static const int edges[] = { 1, 2, 3, 15, 16, 17, 31, 32, 33, 47, 48, 49, 52, 53, 54, 63,
            64, 65, 80, 100, 126, 127, 128, 129, 144, 160, 191, 192, 193 };
        for (int k = 0; k < 8; ++k) {
            const int w = range(0, 3) ? edges[range(0, sizeof edges / sizeof edges[0] - 1)]
                                      : range(0, maxw);
            if (w <= maxw)
                return w;
        }
        return range(0, maxw);
    }

    // A value of the format: extremes, small values or random bits.
    mpz_class value(int w, bool s)
    {
        if (w == 0)
            return 0;
        switch (range(0, 9)) {
        case 0:
            return minOf(w, s);
        case 1:
            return maxOf(w, s);
        case 2:
            return s ? -1 : 0;
        case 3:
            return wrap(range(-3, 3), w, s);
        default: {
            mpz_class r = 0;
            for (int i = 0; i < w; i += 32)
                r = (r << 32) + (unsigned long)(gen_() & 0xFFFFFFFFu);
            // Sometimes keep only a few significant bits.
            if (range(0, 2) == 0)
                r = floorShift(r, range(0, w));
            return wrap(r, w, s);
        }
        }
    }

    std::mt19937_64& gen() { return gen_; }

private:
    std::mt19937_64 gen_;
};

// Outcome of an operation that may throw an Overflow.
struct Outcome {
    bool threw = false;
    std::string text;
    int dir = 0;
    mpz_class v;
    bool status = false;
};

// resize() of the exact value v (current width w, signedness s) to (nw, ntype) under ovfl.
inline Outcome refResize(mpz_class v, int w, bool s, int nw, int ntype, int ovfl)
{
    Outcome o;
    int cw = w > nw ? w : nw;
    if (s && ntype == UNSIGNED) {
        if (v < 0) {
            if (ovfl == RAISE) {
                o.threw = true;
                o.text = "negative value retyped to unsigned";
                return o;
            }
            v = ovfl == SATURATE ? mpz_class(0) : wrap(v, cw, false);
        }
        s = false;
    }
    if (nw < w && !fits(v, nw, s)) {
        if (ovfl == RAISE) {
            o.threw = true;
            o.text = "on decreasing resize";
            return o;
        }
        v = ovfl == SATURATE ? (v < 0 ? minOf(nw, s) : maxOf(nw, s)) : wrap(v, nw, s);
    }
    if (!s && ntype == SIGNED) {
        if (nw > 0 && v >= pow2(nw - 1)) {
            if (ovfl == RAISE) {
                o.threw = true;
                o.text = "on unsigned to signed";
                o.dir = 1;
                return o;
            }
            v = ovfl == SATURATE ? maxOf(nw, true) : mpz_class(v - pow2(nw));
        }
    }
    o.v = v;
    return o;
}

// Quantising assignment of source value sv (width ws, binpt fs) into the format (w, f, type,
// quant, ovfl): alignment, rounding, the no-round-up rule of CONVERGENT_NOSAT, overflow.
inline Outcome refConvert(
    const mpz_class& sv, int ws, int fs, int w, int f, int type, int quant, int ovfl)
{
    Outcome o;
    const bool ts = type == SIGNED;
    const long d = (long)fs - f;
    const mpz_class fl = floorShift(sv, d);
    const bool ovf = !fits(fl, w, ts);
    bool inc = roundsUp(sv, d, quant);
    mpz_class r = wrap(fl, w, false); // bit pattern
    if (inc && quant == CONVERGENT_NOSAT && w >= 1 && w - f <= ws - fs && r == pow2(w - 1) - 1)
        inc = false;
    if (inc) {
        const mpz_class top = maxOf(w, ts);
        if ((w > 0 || !ts) && wrap(r, w, ts) == top) {
            o.status = ovfl != WRAP; // WRAP skips the overflow test
            if (ovfl == RAISE) {
                o.threw = true;
                o.text = "Overflow on incr";
                return o;
            }
            if (ovfl == WRAP)
                r = wrap(r + 1, w, false);
        } else {
            r += 1;
        }
    }
    o.v = wrap(r, w, ts);
    if (ovf && ovfl != WRAP) {
        o.status = true;
        if (ovfl == RAISE) {
            o.threw = true;
            o.text = "during convert";
            o.dir = sv < 0 ? -1 : 1;
            return o;
        }
        if (ovfl == SATURATE)
            o.v = sv < 0 ? minOf(w, ts) : maxOf(w, ts);
    }
    return o;
}

// Runs f, which may throw KNumException::Overflow, and compares with the expected outcome;
// got() reads the value afterwards.
template <typename F, typename G>
void checkOutcome(const Outcome& want, F f, G got, const std::string& what)
{
    try {
        f();
        if (want.threw) {
            ADD_FAILURE() << what << ": expected Overflow \"" << want.text << "\"";
            return;
        }
        EXPECT_EQ(str(got()), str(want.v)) << what;
    } catch (const KNumException::Overflow& e) {
        if (!want.threw) {
            ADD_FAILURE() << what << ": unexpected Overflow \"" << e.text << "\"";
            return;
        }
        EXPECT_STREQ(e.text, want.text.c_str()) << what;
        EXPECT_EQ(e.value, want.dir) << what;
    }
}

// Correctly rounded double of v (ties to even).
inline double nearestDouble(const mpz_class& v)
{
    const mpz_class m = abs(v);
    const long len = (long)mpz_sizeinbase(m.get_mpz_t(), 2);
    if (m == 0 || len <= 53)
        return v.get_d();
    const mpz_class q = floorShift(m, len - 54);
    const bool sticky = (q << (len - 54)) != m;
    mpz_class q53 = q >> 1;
    if (mpz_tstbit(q.get_mpz_t(), 0) && (sticky || mpz_odd_p(q53.get_mpz_t())))
        q53 += 1;
    const double r = std::ldexp(q53.get_d(), (int)(len - 53));
    return v < 0 ? -r : r;
}

// Assignment of a finite double into (w, type, quant, ovfl).
inline Outcome refAssign(double x, int w, int type, int quant, int ovfl)
{
    Outcome o;
    const bool s = type == SIGNED;
    int e;
    const double m = std::frexp(x, &e);
    if (s && w == e && m == -0.5) {
        o.v = minOf(w, true);
        return o;
    }
    if (e + (s ? 1 : 0) > w) {
        o.status = true;
        if (ovfl == SATURATE) {
            o.v = x > 0 ? maxOf(w, s) : minOf(w, s);
            return o;
        }
        if (ovfl == RAISE) {
            o.threw = true;
            o.text = "KNum-assign-from-double saturated";
            return o;
        }
    }
    if (x < 0 && !s) {
        o.status = true;
        if (ovfl == SATURATE) {
            o.v = 0;
            return o;
        }
        if (ovfl == RAISE) {
            o.threw = true;
            o.text = "KNum-assign-from-double, negative to unsigned";
            return o;
        }
    }
    double ip;
    const double f = std::modf(std::fabs(x), &ip);
    mpz_class r(ip);
    bool up = false;
    if (quant == ROUND)
        up = f >= 0.5;
    else if (quant != TRUNCATE)
        up = f > 0.5 || (f == 0.5 && mpz_odd_p(r.get_mpz_t()));
    else
        up = x < 0 && f > 0;
    if (up)
        r += 1;
    if (x < 0)
        r = -r;
    if (fits(r, w, s)) {
        o.v = r;
        return o;
    }
    o.status = true;
    if (ovfl == WRAP)
        o.v = wrap(r, w, s);
    else if (ovfl == SATURATE)
        o.v = r < 0 ? minOf(w, s) : maxOf(w, s);
    else {
        o.threw = true;
        o.text = r < 0 && !s ? "negative value retyped to unsigned" : "on decreasing resize";
    }
    return o;
}

} // namespace numref

#endif // TESTS_NUM_REF_H
