// The engines against the register-by-register KFix model of the same datapaths (every
// register in its own KFix format, every assignment quantising as KFix does) on frames of any
// memory words, the extreme codes included, so that every rounding, wrapping and overflow path
// is compared bit for bit; and the word storage, twiddle lookups and block floating point
// classes through the KFix formats.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "engines.h"
#include "fft_engine_harness.h"
#include "fft_frame_ref.h"

namespace {

KFix reg(int w, int f, int quant = TRUNCATE, int ovfl = WRAP)
{
    return KFix(0.0, w, f, SIGNED, quant, ovfl);
}

KFix fix(int64_t raw, int w, int f, int quant = TRUNCATE, int ovfl = WRAP)
{
    return KFix(std::ldexp(static_cast<double>(raw), -f), w, f, SIGNED, quant, ovfl);
}

int64_t raw(const KFix& v, int f) { return static_cast<int64_t>(std::ldexp(v.toDouble(), f)); }

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
};

// ---------------------------------------------------------------------------------------
// The engines' datapaths, register by register, on any memory words.

// Frames of random memory words of every width (the extreme codes often), loaded beyond the
// input range where the memory has headroom, through each engine forced onto each stage
// implementation, against the KFix reference of the whole frame: every output word, the block
// exponent and the overflow flag. Random schedules and lengths give every stage shift, the
// radix-2 stages of odd radix-4 lengths, every pipelined stage kind and both parities of
// C_NFFT_MAX; the full-scale words wrap and overflow the stages.
TEST(KfixReference, EnginesOnAnyWords)
{
    const uint64_t seed = kip_test::seed();
    Gen gen(seed + 1);
    struct C {
        int arch, M, iw, tw, scaling, bfp;
    } configs[] = { { 1, 7, 8, 8, 1, 0 }, { 1, 6, 16, 16, 1, 0 }, { 1, 7, 12, 30, 1, 0 },
        { 1, 6, 34, 34, 1, 0 }, { 1, 6, 16, 16, 0, 0 }, { 1, 7, 34, 20, 0, 0 },
        { 1, 6, 24, 34, 0, 0 }, { 1, 7, 16, 16, 1, 1 }, { 2, 5, 8, 8, 1, 0 },
        { 2, 6, 16, 16, 1, 0 }, { 2, 5, 34, 34, 1, 0 }, { 2, 6, 16, 24, 0, 0 },
        { 2, 5, 34, 34, 0, 0 }, { 2, 6, 16, 16, 1, 1 }, { 3, 6, 16, 16, 1, 0 },
        { 3, 5, 16, 16, 1, 0 }, { 3, 6, 8, 8, 1, 0 }, { 3, 5, 34, 34, 1, 0 },
        { 3, 6, 16, 16, 0, 0 }, { 3, 5, 34, 34, 0, 0 }, { 3, 6, 16, 12, 1, 1 },
        { 3, 5, 34, 34, 1, 1 } };
    const FFT::Path paths[]
        = { FFT::Path::Integer, FFT::Path::Float, FFT::Path::FloatAvx2, FFT::Path::FloatAvx512 };
    for (const C& c : configs) {
        for (int rnd : { 0, 1 }) {
            const FFT_CONFIG cfg = derive_fft_config(
                fft_test::generics(c.M, c.arch, c.iw, c.tw, c.scaling, c.bfp, rnd));
            const fft_ref::EngineConfig ec { c.arch, c.M, c.tw, cfg.input_width, cfg.data_width,
                cfg.C_HAS_ROUNDING, cfg.C_HAS_SCALING, cfg.C_HAS_BFP };
            std::unique_ptr<FrameEngine> eng;
            if (c.arch == 1)
                eng = std::make_unique<R4_loop>(cfg);
            else if (c.arch == 3)
                eng = std::make_unique<R22_pipeline>(cfg);
            else
                eng = std::make_unique<R2_loop>(cfg);
            // Memory words: the data width, or the pipelined memory's P + 1 bits.
            const int mw = c.arch == 3 ? static_cast<R22_pipeline&>(*eng).internal_width() + 1
                                       : cfg.data_width;
            TWIDDLE_ROM rom(c.M, c.tw);
            for (int i = 0; i < 32; ++i) {
                const int lo = c.arch == 1 ? 6 : 3;
                const int nfft = lo + static_cast<int>(gen.rng() % (c.M - lo + 1));
                const int n = 1 << nfft;
                const int steps = c.arch == 1 || c.arch == 3 ? (nfft + 1) / 2 : nfft;
                std::vector<int32_t> sch(static_cast<size_t>(steps));
                for (int t = 0; t < steps; ++t)
                    sch[t] = static_cast<int32_t>(gen.rng() % 4);
                if (c.arch != 2 && (nfft & 1))
                    sch.back() &= 1;
                const int dir = static_cast<int>(gen.rng() % 2);
                fft_test::Frame f;
                for (int k = 0; k < n; ++k) {
                    f.re.push_back(std::ldexp(static_cast<double>(gen.code(mw)), 1 - c.iw));
                    f.im.push_back(std::ldexp(static_cast<double>(gen.code(mw)), 1 - c.iw));
                }
                fft_ref::Result ref;
                fft_ref::run_engine(ec, nfft, f.re, f.im, sch, dir, ref);
                uint32_t packed = 0;
                for (int t = 0; t < steps; ++t)
                    packed |= static_cast<uint32_t>(sch[t]) << (2 * t);
                for (FFT::Path p : paths) {
                    eng->force_path(p);
                    const fft_test::Result r
                        = fft_test::run_frame(*eng, rom, cfg, nfft, f, dir, c.scaling ? packed : 0);
                    for (int k = 0; k < n; ++k) {
                        ASSERT_EQ(r.re[k], ref.re[k])
                            << "arch " << c.arch << " M " << c.M << " iw " << c.iw << " tw " << c.tw
                            << " scaling " << c.scaling << " bfp " << c.bfp << " rnd " << rnd
                            << " nfft " << nfft << " dir " << dir << " path " << static_cast<int>(p)
                            << " bin " << k << " seed " << seed;
                        ASSERT_EQ(r.im[k], ref.im[k]) << "bin " << k << " seed " << seed;
                    }
                    ASSERT_EQ(r.blk_exp, ref.blk_exp) << "arch " << c.arch << " seed " << seed;
                    ASSERT_EQ(r.overflow, ref.overflow) << "arch " << c.arch << " seed " << seed;
                }
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
                const kfft_raw::CRaw r = rom.lookup_raw(i);
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
