// The engines' processing elements against a register-by-register KFix model of the same
// datapaths: every register in its own KFix format, every assignment quantising as KFix
// does. Random operands include the extreme codes and twiddles outside the unit circle, so
// every rounding, wrapping and overflow path is compared bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "engines.h"
#include "fft_engine_harness.h"

using kfft_raw::CRaw;

namespace {

KFix reg(int w, int f, int quant = TRUNCATE, int ovfl = WRAP)
{
    return KFix(0.0, w, f, SIGNED, quant, ovfl);
}

KFixComplex creg(int w, int f, int quant = TRUNCATE, int ovfl = WRAP)
{
    return KFixComplex(reg(w, f, quant, ovfl), reg(w, f, quant, ovfl));
}

KFix fix(int64_t raw, int w, int f, int quant = TRUNCATE, int ovfl = WRAP)
{
    return KFix(std::ldexp(static_cast<double>(raw), -f), w, f, SIGNED, quant, ovfl);
}

KFixComplex cfix(const CRaw& v, int w, int f, int ovfl = WRAP)
{
    return KFixComplex(fix(v.re, w, f, TRUNCATE, ovfl), fix(v.im, w, f, TRUNCATE, ovfl));
}

int64_t raw(const KFix& v, int f) { return static_cast<int64_t>(std::ldexp(v.toDouble(), f)); }

const KFix& one()
{
    static const KFix v(1, 0, SIGNED, TRUNCATE, WRAP);
    return v;
}

const KFix& minus_one()
{
    static const KFix v(-1, 0, SIGNED, TRUNCATE, WRAP);
    return v;
}

bool outside(const KFix& v) { return v < minus_one() || v >= one(); }

// Operand generator: mostly uniform codes, often the extreme ones.
struct Gen {
    std::mt19937_64 rng;
    explicit Gen(uint64_t seed)
        : rng(seed)
    {
    }

    int64_t code(int w)
    {
        const int64_t lo = -(int64_t(1) << (w - 1)), hi = (int64_t(1) << (w - 1)) - 1;
        switch (rng() % 8) {
        case 0:
            return lo;
        case 1:
            return hi;
        case 2:
            return static_cast<int64_t>(rng() % 7) - 3;
        case 3:
            return (rng() & 1) ? hi - static_cast<int64_t>(rng() % 64)
                               : lo + static_cast<int64_t>(rng() % 64);
        default:
            return std::uniform_int_distribution<int64_t>(lo, hi)(rng);
        }
    }
    CRaw word(int w) { return CRaw { code(w), code(w) }; }
    // A twiddle from the table, or any value of the twiddle format.
    CRaw twiddle(const TWIDDLE_ROM& rom, int tw)
    {
        if (rng() % 4 == 0)
            return word(tw + 1);
        return rom.lookup_raw(rng());
    }
};

const int kCases = 1500;

// ---------------------------------------------------------------------------------------
// Radix-4 butterfly, register by register.

struct R4Ref {
    int W, TW;
    bool round;
    int overflow = 0;

    void run(const CRaw xr[4], const CRaw wr[3], bool radix2, int s, CRaw zr[4])
    {
        const int pw = W + TW + 2, pf = W + TW - 2;
        // (Registers are built in their formats; assignment keeps the target's format.)
        std::vector<KFixComplex> x, T;
        for (int q = 0; q < 4; ++q)
            x.push_back(cfix(xr[q], W, W - 1));
        KFix K = fix((int64_t(1) << (TW - 5)) - 1, pw, pf);
        for (int q = 0; q < 3; ++q) {
            KFixComplex w = cfix(wr[q], TW + 1, TW - 1, SATURATE);
            KFixComplex P = creg(pw, pf);
            P = x[q + 1] * w;
            P.re = P.re + K;
            P.im = P.im + K;
            T.push_back(creg(W + 4, W + 2));
            T[q] = P;
        }
        KFixComplex A = creg(W + 6, W + 2), B = creg(W + 6, W + 2), U = creg(W + 6, W + 2),
                    V = creg(W + 6, W + 2);
        if (!radix2) {
            A = x[0] + T[1];
            U = x[0] - T[1];
            B = T[0] + T[2];
            KFixComplex D = T[0] - T[2];
            V.re = D.im;
            V.im = -D.re;
        } else {
            A = x[0];
            B = T[0];
            U = T[1];
            V = T[2];
        }
        KFixComplex Y[4]
            = { creg(W + 9, W + 5), creg(W + 9, W + 5), creg(W + 9, W + 5), creg(W + 9, W + 5) };
        Y[0] = A + B;
        Y[2] = A - B;
        Y[1] = U + V;
        Y[3] = U - V;
        for (int q = 0; q < 4; ++q) {
            KFixComplex S = creg(W + 9, W + 5);
            S.re = Y[q].re >> s;
            S.im = Y[q].im >> s;
            KFixComplex Z = creg(W, W - 1, round ? CONVERGENT_NOSAT : TRUNCATE);
            Z = S;
            if (outside(S.re) || outside(S.im))
                overflow = 1;
            zr[q] = CRaw { raw(Z.re, W - 1), raw(Z.im, W - 1) };
        }
    }
};

TEST(KfixReference, Radix4Butterfly)
{
    const uint64_t seed = kip_test::seed();
    Gen gen(seed);
    struct C {
        int iw, tw, scaling;
    } configs[] = { { 8, 8, 1 }, { 16, 16, 1 }, { 12, 30, 1 }, { 34, 34, 1 }, { 16, 16, 0 },
        { 34, 20, 0 }, { 24, 34, 0 } };
    for (const C& c : configs) {
        for (int rnd : { 0, 1 }) {
            const FFT_CONFIG cfg
                = derive_fft_config(fft_test::generics(12, 1, c.iw, c.tw, c.scaling, 0, rnd));
            const int W = cfg.data_width;
            TWIDDLE_ROM rom(12, c.tw);
            for (int i = 0; i < kCases; ++i) {
                CRaw x[4], w[3], z[4], zref[4];
                for (auto& v : x)
                    v = gen.word(W);
                for (auto& v : w)
                    v = gen.twiddle(rom, c.tw);
                const bool radix2 = gen.rng() % 4 == 0;
                const int s = static_cast<int>(gen.rng() % 4);
                R4Ref ref { W, c.tw, rnd != 0 };
                ref.run(x, w, radix2, s, zref);
                R4_DIT_PE one(cfg);
                one.butterfly(x, w, radix2, s, z);
                for (int q = 0; q < 4; ++q) {
                    ASSERT_EQ(z[q].re, zref[q].re)
                        << "W=" << W << " TW=" << c.tw << " rnd=" << rnd << " case " << i
                        << " output " << q << " seed " << seed;
                    ASSERT_EQ(z[q].im, zref[q].im) << "W=" << W << " TW=" << c.tw << " case " << i;
                }
                ASSERT_EQ(one.pe_overflow(), ref.overflow) << "W=" << W << " case " << i;
            }
        }
    }
}

// ---------------------------------------------------------------------------------------
// Radix-2 butterfly.

TEST(KfixReference, Radix2Butterfly)
{
    const uint64_t seed = kip_test::seed();
    Gen gen(seed + 1);
    struct C {
        int iw, tw, scaling;
    } configs[] = { { 8, 8, 1 }, { 16, 16, 1 }, { 34, 34, 1 }, { 16, 24, 0 }, { 34, 34, 0 } };
    for (const C& c : configs) {
        for (int rnd : { 0, 1 }) {
            const FFT_CONFIG cfg
                = derive_fft_config(fft_test::generics(12, 2, c.iw, c.tw, c.scaling, 0, rnd));
            const int W = cfg.data_width, TW = c.tw;
            TWIDDLE_ROM rom(12, TW);
            for (int i = 0; i < kCases; ++i) {
                CRaw x[2] = { gen.word(W), gen.word(W) }, z[2];
                const CRaw w = gen.twiddle(rom, TW);
                const int s = static_cast<int>(gen.rng() % 4);
                R2_DIT_PE pe(cfg);
                pe.butterfly(x, w, s, z);

                const int pw = W + TW + 2, pf = W + TW - 2;
                KFixComplex x0 = cfix(x[0], W, W - 1), x1 = cfix(x[1], W, W - 1);
                KFixComplex P = creg(pw, pf), T = creg(W + 4, W + 2);
                KFix K = fix((int64_t(1) << (TW - 5)) - 1, pw, pf);
                P = x1 * cfix(w, TW + 1, TW - 1, SATURATE);
                P.re = P.re + K;
                P.im = P.im + K;
                T = P;
                KFixComplex Y[2] = { creg(W + 5, W + 2), creg(W + 5, W + 2) };
                Y[0] = x0 + T;
                Y[1] = x0 - T;
                int overflow = 0;
                for (int q = 0; q < 2; ++q) {
                    KFixComplex S = creg(W + 8, W + 5);
                    S.re = Y[q].re >> s;
                    S.im = Y[q].im >> s;
                    KFixComplex Z = creg(W, W - 1, rnd ? CONVERGENT_NOSAT : TRUNCATE);
                    Z = S;
                    overflow |= outside(S.re) || outside(S.im);
                    ASSERT_EQ(z[q].re, raw(Z.re, W - 1))
                        << "W=" << W << " TW=" << TW << " case " << i << " seed " << seed;
                    ASSERT_EQ(z[q].im, raw(Z.im, W - 1))
                        << "W=" << W << " TW=" << TW << " case " << i;
                }
                ASSERT_EQ(pe.pe_overflow(), overflow) << "W=" << W << " case " << i;
            }
        }
    }
}

// ---------------------------------------------------------------------------------------
// Pipelined butterfly pair: every stage kind, mode, direction and parity of C_NFFT_MAX.

TEST(KfixReference, PipelinedButterfly)
{
    const uint64_t seed = kip_test::seed();
    Gen gen(seed + 2);
    struct C {
        int M, iw, tw, scaling, bfp;
    } configs[]
        = { { 8, 16, 16, 1, 0 }, { 9, 16, 16, 1, 0 }, { 8, 8, 8, 1, 0 }, { 9, 34, 34, 1, 0 },
              { 8, 16, 16, 0, 0 }, { 9, 34, 34, 0, 0 }, { 8, 16, 12, 1, 1 }, { 16, 34, 34, 1, 1 } };
    for (const C& c : configs) {
        for (int rnd : { 0, 1 }) {
            const FFT_CONFIG cfg
                = derive_fft_config(fft_test::generics(c.M, 3, c.iw, c.tw, c.scaling, c.bfp, rnd));
            auto eng = std::make_unique<R22_pipeline>(cfg);
            const int P = eng->internal_width(), TW = c.tw;
            const bool scaled = c.scaling == 1 && c.bfp == 0;
            const int Bw = scaled ? P + 2 : P, Prw = scaled ? P + TW + 3 : P + TW + 1;
            const int G = scaled ? P + 4 : P + 5, Tww = scaled ? P + 8 : P + 6;
            const int Lw = c.M % 2 == 0 ? P + 4 : P + 5, Lf = c.M % 2 == 0 ? P + 1 : P + 2;
            const int oq = rnd ? CONVERGENT_NOSAT : TRUNCATE;
            TWIDDLE_ROM rom(c.M, TW);
            for (int i = 0; i < kCases; ++i) {
                const int nfft = 3 + static_cast<int>(gen.rng() % (c.M - 2));
                const int t = static_cast<int>(gen.rng() % nfft);
                const int g = static_cast<int>(gen.rng() % 4);
                const int dir = static_cast<int>(gen.rng() % 2);
                const int s = static_cast<int>(gen.rng() % 4) & ((t % 2 == 0) ? 1 : 3);
                const CRaw a = gen.word(P + 1), b = gen.word(P + 1);
                const CRaw w1 = gen.twiddle(rom, TW), w2 = gen.twiddle(rom, TW);
                CRaw out[2];
                R22_DIF_PE pe(cfg, P, nfft, dir);
                pe.butterfly(a, b, w1, w2, t, g, s, out);

                const bool last = t == nfft - 1;
                KFixComplex A = cfix(a, P + 1, P - 1), Bi = cfix(b, P + 1, P - 1);
                KFixComplex B[2] = { creg(Bw, P - 1), creg(Bw, P - 1) };
                if (t % 2 == 0 || g % 2 == 0) {
                    B[0] = A + Bi;
                    B[1] = A - Bi;
                } else {
                    const bool fwd = dir == 1;
                    B[0].re = fwd ? A.re + Bi.im : A.re - Bi.im;
                    B[0].im = fwd ? A.im - Bi.re : A.im + Bi.re;
                    B[1].re = fwd ? A.re - Bi.im : A.re + Bi.im;
                    B[1].im = fwd ? A.im + Bi.re : A.im - Bi.re;
                }
                KFixComplex O[2] = { creg(Bw, P - 1, oq), creg(Bw, P - 1, oq) };
                int overflow = 0;
                for (int q = 0; q < 2; ++q) {
                    if (t % 2 == 0) {
                        if (last && scaled) {
                            KFixComplex S = creg(P + 11, P + 7);
                            S.re = B[q].re >> s;
                            S.im = B[q].im >> s;
                            overflow |= outside(S.re) || outside(S.im);
                            O[q] = S;
                        } else {
                            O[q] = B[q];
                        }
                    } else if (!last) {
                        KFixComplex Pr = creg(Prw, P + TW - 2), Tw = creg(Tww, G);
                        KFix K
                            = fix((int64_t(1) << (scaled ? TW - 7 : TW - 8)) - 1, Prw, P + TW - 2);
                        Pr = B[q] * cfix(q == 0 ? w1 : w2, TW + 1, TW - 1, SATURATE);
                        Pr.re = Pr.re + K;
                        Pr.im = Pr.im + K;
                        Tw = Pr;
                        if (scaled) {
                            KFixComplex S = creg(P + 11, P + 7);
                            S.re = Tw.re >> s;
                            S.im = Tw.im >> s;
                            overflow |= outside(S.re) || outside(S.im);
                            O[q] = S;
                        } else {
                            O[q] = Tw;
                        }
                    } else if (scaled) {
                        KFixComplex S = creg(P + 5, P + 2), L = creg(Lw, Lf);
                        S.re = B[q].re >> s;
                        S.im = B[q].im >> s;
                        overflow |= outside(S.re) || outside(S.im);
                        L = S;
                        O[q] = L;
                    } else {
                        O[q] = B[q];
                    }
                    ASSERT_EQ(out[q].re, raw(O[q].re, P - 1))
                        << "M=" << c.M << " P=" << P << " TW=" << TW << " rnd=" << rnd
                        << " nfft=" << nfft << " t=" << t << " g=" << g << " dir=" << dir
                        << " s=" << s << " case " << i << " seed " << seed;
                    ASSERT_EQ(out[q].im, raw(O[q].im, P - 1)) << "case " << i;
                }
                ASSERT_EQ(pe.pe_overflow(), overflow) << "case " << i;
            }
        }
    }
}

// ---------------------------------------------------------------------------------------
// Sample storage and the block floating point class through the KFix formats.

TEST(KfixReference, SampleStorageMatchesKfixAssignment)
{
    const uint64_t seed = kip_test::seed();
    Gen gen(seed + 3);
    std::uniform_real_distribution<double> u(-1.25, 1.25);
    for (int W : { 8, 16, 27, 51 }) {
        const FFT_CONFIG cfg = derive_fft_config(fft_test::generics(6, 2, W, 16, 1, 0, 0));
        FFT_CONFIG g = cfg;
        auto eng = std::make_unique<R2_loop>(cfg);
        ASSERT_TRUE(set_frame_geometry(g, 6));
        ASSERT_TRUE(eng->set_frame(g));
        KFix word = reg(W, W - 1);
        for (int i = 0; i < 500; ++i) {
            const double x = (i % 3 == 0) ? std::ldexp(static_cast<double>(gen.code(W + 2)), 1 - W)
                                          : u(gen.rng);
            ASSERT_TRUE(eng->load_input(0, x, -x));
            word = x;
            ASSERT_EQ(eng->word(0).re, raw(word, W - 1)) << "W=" << W << " x=" << x;
            word = -x;
            ASSERT_EQ(eng->word(0).im, raw(word, W - 1)) << "W=" << W << " x=" << -x;
        }
    }
}

TEST(KfixReference, TwiddleLookupsAgree)
{
    for (int M : { 3, 6, 10 }) {
        for (int TW : { 8, 16, 34 }) {
            TWIDDLE_ROM rom(M, TW);
            for (uint64_t i = 0; i < (uint64_t(2) << M); ++i) {
                const KFixComplex w = rom.lookup(i);
                const CRaw r = rom.lookup_raw(i);
                ASSERT_EQ(w.re.width, TW + 1);
                ASSERT_EQ(w.re.binpt, TW - 1);
                ASSERT_EQ(w.im.width, TW + 1);
                ASSERT_EQ(raw(w.re, TW - 1), r.re) << "M=" << M << " TW=" << TW << " i=" << i;
                ASSERT_EQ(raw(w.im, TW - 1), r.im) << "M=" << M << " TW=" << TW << " i=" << i;
            }
        }
    }
    TWIDDLE_ROM rom(3, 8);
    EXPECT_EQ(rom.lookup(1).re.toDouble(), 0.7109375);
    EXPECT_EQ(rom.lookup(6).re.toDouble(), 0.0);
    EXPECT_EQ(rom.lookup(6).im.toDouble(), -1.0);
}

TEST(KfixReference, BlockFloatingPointClassThroughScratchFormat)
{
    // The class bounds apply to the value truncated to 8 bits with 7 fraction bits.
    for (int W : { 8, 16, 29 }) {
        for (int64_t code :
            { -(int64_t(1) << (W - 1)), (int64_t(1) << (W - 1)) - 1, int64_t(0), int64_t(-1) }) {
            KFix scratch = reg(8, 7);
            scratch = fix(code, W, W - 1);
            const int64_t c8 = raw(scratch, 7);
            const int64_t key = code ^ (code >> 63);
            EXPECT_EQ(key >> (W - 8), c8 < 0 ? -c8 - 1 : c8) << "W=" << W << " code=" << code;
        }
    }
}

} // namespace
