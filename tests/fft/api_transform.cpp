// Fixed-point transforms through the C interface against an exact DFT, for every architecture
// and scaling mode, and the documented equivalences and edge cases.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "kfft_test_util.h"

using namespace kfft_test;

namespace {

struct Case {
    int arch, mode, nfft_max, nfft, width, twiddle, rounding;
};

std::string describe(const Case& c)
{
    std::ostringstream o;
    o << "arch" << c.arch << "_mode" << c.mode << "_M" << c.nfft_max << "_n" << c.nfft << "_w"
      << c.width << "_t" << c.twiddle << "_r" << c.rounding;
    return o.str();
}

class Transform : public testing::TestWithParam<Case> { };

TEST_P(Transform, MatchesExactDftWithinWidthBound)
{
    const Case c = GetParam();
    kelvar_ip_kfft_v8_0_generics g = make_generics(c.arch, c.nfft_max, c.mode, c.width, c.twiddle);
    g.C_HAS_NFFT = c.nfft != c.nfft_max ? 1 : 0;
    g.C_HAS_ROUNDING = c.rounding;
    State st(g);
    ASSERT_NE(st.get(), nullptr);
    const uint32_t seed = kip_test::seed();
    std::mt19937 rng(seed + static_cast<uint32_t>(c.arch * 1000 + c.mode * 100 + c.nfft));
    const size_t n = size_t { 1 } << c.nfft;
    for (int direction : { 1, 0 }) {
        for (double amplitude : { 0.5, 0.02 }) {
            Frame f(c.nfft, random_samples(rng, n, c.width, amplitude),
                random_samples(rng, n, c.width, amplitude), safe_schedule(c.arch, c.nfft),
                direction);
            std::string err;
            int rc = -1;
            err = capture_stderr([&] { rc = f.simulate(st.get()); });
            ASSERT_EQ(rc, 0) << err;
            EXPECT_EQ(err, "");
            EXPECT_EQ(f.out.xk_re_size, static_cast<int32_t>(n));
            std::vector<double> ref_re, ref_im;
            reference_dft(f.re, f.im, direction, ref_re, ref_im);
            int shift = 0;
            if (c.mode == 1) {
                for (int32_t v : f.sch)
                    shift += v;
                EXPECT_EQ(f.out.blk_exp, 0);
                EXPECT_EQ(f.out.overflow, 0);
            } else if (c.mode == 2) {
                shift = f.out.blk_exp;
                EXPECT_GE(shift, 0);
                EXPECT_LE(shift, 3 * c.nfft + c.nfft_max + 1);
                EXPECT_EQ(f.out.overflow, 0);
            } else {
                EXPECT_EQ(f.out.blk_exp, 0);
                EXPECT_EQ(f.out.overflow, 0);
            }
            const double bound
                = fixed_bound(c.nfft, c.width, c.twiddle, shift, max_magnitude(f.re, f.im));
            size_t worst = 0;
            const double e = max_error(f, ref_re, ref_im, shift, &worst);
            EXPECT_LE(e, bound) << describe(c) << " direction " << direction << " amplitude "
                                << amplitude << " seed " << seed << ": bin " << worst << " model ("
                                << std::ldexp(f.out_re[worst], shift) << ", "
                                << std::ldexp(f.out_im[worst], shift) << ") reference ("
                                << ref_re[worst] << ", " << ref_im[worst] << ")";
        }
    }
}

std::vector<Case> transform_cases()
{
    std::vector<Case> cases;
    const Case shapes[] = {
        { 1, 0, 6, 6, 16, 16, 0 },
        { 1, 0, 7, 7, 10, 8, 1 },
        { 1, 0, 8, 7, 16, 16, 0 },
        { 1, 0, 6, 6, 34, 34, 1 },
        { 2, 0, 5, 5, 16, 16, 1 },
        { 2, 0, 6, 3, 16, 16, 0 },
        { 2, 0, 6, 6, 24, 20, 0 },
        { 2, 0, 3, 3, 8, 8, 1 },
        { 4, 0, 5, 5, 16, 16, 0 },
        { 3, 0, 5, 5, 16, 16, 0 },
        { 3, 0, 6, 6, 16, 16, 1 },
        { 3, 0, 7, 4, 16, 16, 0 },
        { 3, 0, 6, 6, 34, 34, 0 },
        { 3, 0, 3, 3, 12, 10, 1 },
    };
    for (const Case& s : shapes)
        for (int mode : { 0, 1, 2 }) {
            Case c = s;
            c.mode = mode;
            cases.push_back(c);
        }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(AllArchitectures, Transform, testing::ValuesIn(transform_cases()),
    [](const testing::TestParamInfo<Case>& info) { return describe(info.param); });

// Runs one frame and returns it; fails the test on a non-zero code.
Frame run(kelvar_ip_kfft_v8_0_state* s, int nfft, std::vector<double> re, std::vector<double> im,
    std::vector<int32_t> sch, int direction = 1, std::string* err = nullptr)
{
    Frame f(nfft, std::move(re), std::move(im), std::move(sch), direction);
    int rc = -1;
    const std::string text = capture_stderr([&] { rc = f.simulate(s); });
    EXPECT_EQ(rc, 0) << text;
    if (err != nullptr)
        *err = text;
    return f;
}

TEST(Equivalence, Radix2AndLiteGiveIdenticalResults)
{
    std::mt19937 rng(kip_test::seed());
    for (int mode : { 0, 1, 2 }) {
        for (int rounding : { 0, 1 }) {
            kelvar_ip_kfft_v8_0_generics g = make_generics(2, 6, mode, 18, 12);
            g.C_HAS_ROUNDING = rounding;
            State r2(g);
            g.C_ARCH = 4;
            State lite(g);
            const auto re = random_samples(rng, 64, 18, 0.7);
            const auto im = random_samples(rng, 64, 18, 0.7);
            std::vector<int32_t> sch = { 1, 0, 1, 1, 2, 1 };
            const Frame a = run(r2.get(), 6, re, im, sch, mode & 1);
            const Frame b = run(lite.get(), 6, re, im, sch, mode & 1);
            EXPECT_EQ(a.out_re, b.out_re) << "mode " << mode;
            EXPECT_EQ(a.out_im, b.out_im) << "mode " << mode;
            EXPECT_EQ(a.out.blk_exp, b.out.blk_exp);
            EXPECT_EQ(a.out.overflow, b.out.overflow);
        }
    }
}

TEST(Equivalence, Radix2BlockFloatingPointEqualsScheduleOfOnes)
{
    // A near-constant frame keeps the largest stage result in the shift-1 class at every stage.
    std::mt19937 rng(kip_test::seed());
    for (int rounding : { 0, 1 }) {
        for (int nfft : { 3, 6 }) {
            const size_t n = size_t { 1 } << nfft;
            std::vector<double> re = random_samples(rng, n, 16, 0.01);
            std::vector<double> im = random_samples(rng, n, 16, 0.01);
            for (size_t i = 0; i < n; ++i) {
                re[i] += 0.5;
                im[i] -= 0.25;
            }
            kelvar_ip_kfft_v8_0_generics g = make_generics(2, nfft, 2);
            g.C_HAS_ROUNDING = rounding;
            State bfp(g);
            g.C_HAS_BFP = 0;
            State sched(g);
            const Frame a = run(bfp.get(), nfft, re, im, {});
            ASSERT_EQ(a.out.blk_exp, nfft) << "precondition: shift 1 at every stage";
            const Frame b = run(sched.get(), nfft, re, im, std::vector<int32_t>(nfft, 1));
            EXPECT_EQ(a.out_re, b.out_re);
            EXPECT_EQ(a.out_im, b.out_im);
            EXPECT_EQ(a.out.overflow, 0);
            EXPECT_EQ(b.out.blk_exp, 0);
        }
    }
}

int run_quiet_code(kelvar_ip_kfft_v8_0_state* s, Frame& f)
{
    int rc = -1;
    const std::string err = capture_stderr([&] { rc = f.simulate(s); });
    EXPECT_EQ(err, "");
    return rc;
}

std::vector<double> impulse(size_t n, double v)
{
    std::vector<double> x(n, 0.0);
    x[0] = v;
    return x;
}

void expect_all(const Frame& f, double re, double im)
{
    for (size_t k = 0; k < f.out_re.size(); ++k) {
        ASSERT_EQ(f.out_re[k], re) << "bin " << k;
        ASSERT_EQ(f.out_im[k], im) << "bin " << k;
    }
}

TEST(EdgeCases, ScaledImpulsesAreExact)
{
    State r4(make_generics(1, 6, 1));
    Frame f = run(r4.get(), 6, impulse(64, 0.5), std::vector<double>(64, 0.0), { 2, 2, 2 });
    expect_all(f, 0.0078125, 0.0);
    EXPECT_EQ(f.out.overflow, 0);
    State r2(make_generics(2, 8, 1));
    f = run(
        r2.get(), 8, impulse(256, 0.5), std::vector<double>(256, 0.0), std::vector<int32_t>(8, 1));
    expect_all(f, 0.001953125, 0.0);
    EXPECT_EQ(f.out.overflow, 0);
}

TEST(EdgeCases, BlockFloatingPointOfZeroAndImpulse)
{
    for (int arch = 1; arch <= 4; ++arch) {
        State st(make_generics(arch, 6, 2));
        Frame f = run(st.get(), 6, std::vector<double>(64, 0.0), std::vector<double>(64, 0.0), {});
        expect_all(f, 0.0, 0.0);
        EXPECT_EQ(f.out.blk_exp, 0) << "arch " << arch;
        EXPECT_EQ(f.out.overflow, 0);
    }
    State pipe(make_generics(3, 6, 2));
    Frame f = run(pipe.get(), 6, impulse(64, 0.5), std::vector<double>(64, 0.0), {});
    expect_all(f, 0.5, 0.0);
    EXPECT_EQ(f.out.blk_exp, 0);
}

TEST(EdgeCases, InputRoundingWarnsOnceAndUsesGuard)
{
    const std::string warning
        = "WARNING:kfft_v8_0:simulate called with real and/or imaginary data values that are not "
          "pre-quantized to signed two's-complement fixed-point values of precision C_INPUT_WIDTH "
          "= 16 bits.  All real and imaginary data will be internally rounded to the nearest "
          "quantization level for this precision (using convergent rounding to nearest even).\n";
    // Unscaled, an impulse passes every stage exactly: each bin equals the rounded sample.
    // Both parts are off the grid, and there is still one warning.
    State st(make_generics(2, 3, 0));
    const std::vector<double> re = impulse(8, 0.5 + std::ldexp(1.0, -16));
    const std::vector<double> im = impulse(8, 1.0 - std::ldexp(1.0, -17));
    std::string err;
    Frame f = run(st.get(), 3, re, im, {}, 1, &err);
    EXPECT_EQ(err, warning);
    expect_all(f, 0.5, 1.0 - std::ldexp(1.0, -15));
    EXPECT_EQ(f.re[0], 0.5 + std::ldexp(1.0, -16)); // the caller's array is not changed
    // On-grid data: no warning.
    f = run(st.get(), 3, impulse(8, -1.0), impulse(8, 0.25), {}, 0, &err);
    EXPECT_EQ(err, "");
    expect_all(f, -1.0, 0.25);
}

TEST(EdgeCases, OverflowFlagPerMode)
{
    // A constant full-scale frame: its DC bin overflows any schedule of zeros.
    const std::vector<double> big(64, 0.75);
    for (int arch = 1; arch <= 4; ++arch) {
        State sched(make_generics(arch, 6, 1));
        Frame f = run(
            sched.get(), 6, big, big, std::vector<int32_t>(arch == 2 || arch == 4 ? 6 : 3, 0));
        EXPECT_EQ(f.out.overflow, 1) << "arch " << arch;
        EXPECT_EQ(f.out.blk_exp, 0);
        State bfp(make_generics(arch, 6, 2));
        f = run(bfp.get(), 6, big, big, {});
        EXPECT_EQ(f.out.overflow, 0) << "arch " << arch;
        EXPECT_NEAR(std::ldexp(f.out_re[0], f.out.blk_exp), 48.0, 0.05);
        State unscaled(make_generics(arch, 6, 0));
        f = run(unscaled.get(), 6, big, big, {});
        EXPECT_EQ(f.out.overflow, 0);
        EXPECT_EQ(f.out.blk_exp, 0);
        EXPECT_EQ(f.out_re[0], 48.0);
    }
}

TEST(EdgeCases, FramesDoNotCarryOver)
{
    // The same frame gives the same result on a fresh state and after other frames of other
    // lengths, schedules, directions and headrooms.
    std::mt19937 rng(kip_test::seed());
    for (int arch = 1; arch <= 3; ++arch) {
        for (int mode : { 1, 2 }) {
            kelvar_ip_kfft_v8_0_generics g = make_generics(arch, 7, mode);
            g.C_HAS_NFFT = 1;
            const auto re = random_samples(rng, 64, 16, 0.1);
            const auto im = random_samples(rng, 64, 16, 0.1);
            State fresh(g);
            const Frame a = run(fresh.get(), 6, re, im, safe_schedule(arch, 6));
            State used(g);
            run(used.get(), 7, std::vector<double>(128, -1.0), std::vector<double>(128, 0.9),
                std::vector<int32_t>(arch == 2 ? 7 : 4, 1), 0);
            const Frame b = run(used.get(), 6, re, im, safe_schedule(arch, 6));
            EXPECT_EQ(a.out_re, b.out_re) << "arch " << arch << " mode " << mode;
            EXPECT_EQ(a.out_im, b.out_im);
            EXPECT_EQ(a.out.blk_exp, b.out.blk_exp);
            EXPECT_EQ(a.out.overflow, b.out.overflow);
        }
    }
}

TEST(EdgeCases, OutputsMayOverwriteTheInputs)
{
    // The samples are conditioned before any bin is written, so in-place calls work.
    std::mt19937 rng(kip_test::seed());
    for (int arch = 1; arch <= 3; ++arch) {
        State st(make_generics(arch, 6, 2));
        const auto re = random_samples(rng, 64, 16, 0.9);
        const auto im = random_samples(rng, 64, 16, 0.9);
        const Frame a = run(st.get(), 6, re, im, {});
        Frame b(6, re, im, {});
        b.out.xk_re = b.re.data();
        b.out.xk_im = b.im.data();
        ASSERT_EQ(run_quiet_code(st.get(), b), 0);
        EXPECT_EQ(b.re, a.out_re) << "arch " << arch;
        EXPECT_EQ(b.im, a.out_im) << "arch " << arch;
        EXPECT_EQ(b.out.blk_exp, a.out.blk_exp);
    }
}

} // namespace
