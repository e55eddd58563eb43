// Floating-point interface mode through the C interface.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "kfft_test_util.h"

using namespace kfft_test;

namespace {

kelvar_ip_kfft_v8_0_generics float_generics(int arch, int nfft_max)
{
    kelvar_ip_kfft_v8_0_generics g = make_generics(arch, nfft_max, 1, 32);
    g.C_USE_FLT_PT = 1;
    return g;
}

Frame run(kelvar_ip_kfft_v8_0_state* s, int nfft, std::vector<double> re, std::vector<double> im,
    int direction = 1, std::string* err = nullptr)
{
    Frame f(nfft, std::move(re), std::move(im), {}, direction);
    f.in.scaling_sch = nullptr; // never read in floating-point mode
    int rc = -1;
    const std::string text = capture_stderr([&] { rc = f.simulate(s); });
    EXPECT_EQ(rc, 0) << text;
    if (err != nullptr)
        *err = text;
    return f;
}

// Random single-precision values of magnitude up to 2^scale, down to 2^(scale - 16).
std::vector<double> random_floats(std::mt19937& rng, size_t n, int scale)
{
    std::uniform_real_distribution<double> m(-1.0, 1.0);
    std::uniform_int_distribution<int> e(-16, 0);
    std::vector<double> v(n);
    for (auto& x : v)
        x = static_cast<double>(static_cast<float>(std::ldexp(m(rng), scale + e(rng))));
    return v;
}

// Round to 24 significant bits, ties to even (the result of a single-precision conversion
// within the normal range).
double round24(double y) { return static_cast<double>(static_cast<float>(y)); }

TEST(FloatMode, ZeroFrame)
{
    for (int arch = 1; arch <= 4; ++arch) {
        State st(float_generics(arch, 6));
        std::string err;
        const Frame f = run(
            st.get(), 6, std::vector<double>(64, 0.0), std::vector<double>(64, -0.0), 1, &err);
        EXPECT_EQ(err, "");
        for (size_t k = 0; k < 64; ++k) {
            ASSERT_EQ(f.out_re[k], 0.0) << "arch " << arch << " bin " << k;
            ASSERT_EQ(f.out_im[k], 0.0) << "arch " << arch << " bin " << k;
        }
        EXPECT_EQ(f.out.blk_exp, 0);
        EXPECT_EQ(f.out.overflow, 0);
    }
}

// The floating-point path equals the fixed-point engine it runs on: the block floating point
// burst engines at 29 (radix-4) or 28 (radix-2) bits, the unscaled pipelined engine at 27 bits,
// fed the samples with the frame exponent removed, with outputs rounded to 24 significant bits
// and the exponent restored.
TEST(FloatMode, EqualsFixedPointEngineWithExponentRestored)
{
    const uint32_t seed = kip_test::seed();
    std::mt19937 rng(seed);
    const int width[] = { 0, 29, 28, 27, 28 };
    for (int arch = 1; arch <= 4; ++arch) {
        const int nfft = arch == 1 ? 7 : 6;
        const size_t n = size_t { 1 } << nfft;
        State flt(float_generics(arch, nfft));
        kelvar_ip_kfft_v8_0_generics fg = make_generics(arch, nfft, arch == 3 ? 0 : 2, width[arch]);
        State fixed(fg);
        for (int scale : { -100, 0, 3, 90 }) {
            for (int direction : { 1, 0 }) {
                const auto re = random_floats(rng, n, scale);
                const auto im = random_floats(rng, n, scale);
                double amax = 0.0;
                for (size_t i = 0; i < n; ++i)
                    amax = std::max({ amax, std::fabs(re[i]), std::fabs(im[i]) });
                int e = 0;
                std::frexp(amax, &e); // amax = m 2^e with m in [0.5, 1): frame exponent e
                const double s = std::ldexp(1.0, width[arch] - 1);
                std::vector<double> a(n), b(n);
                for (size_t i = 0; i < n; ++i) {
                    a[i] = std::nearbyint(std::ldexp(re[i], -e) * s) / s;
                    b[i] = std::nearbyint(std::ldexp(im[i], -e) * s) / s;
                }
                const Frame x = run(fixed.get(), nfft, a, b, direction);
                const Frame f = run(flt.get(), nfft, re, im, direction);
                const int t = e + (arch == 3 ? 0 : x.out.blk_exp);
                for (size_t k = 0; k < n; ++k) {
                    ASSERT_EQ(f.out_re[k], std::ldexp(round24(x.out_re[k]), t))
                        << "arch " << arch << " scale " << scale << " bin " << k << " seed "
                        << seed;
                    ASSERT_EQ(f.out_im[k], std::ldexp(round24(x.out_im[k]), t))
                        << "arch " << arch << " scale " << scale << " bin " << k << " seed "
                        << seed;
                }
                EXPECT_EQ(f.out.blk_exp, 0);
                EXPECT_EQ(f.out.overflow, 0);
                // And close to the exact transform.
                std::vector<double> ref_re, ref_im;
                reference_dft(re, im, direction, ref_re, ref_im);
                double xmax = 0.0;
                for (size_t k = 0; k < n; ++k)
                    xmax = std::max(xmax, std::hypot(ref_re[k], ref_im[k]));
                size_t worst = 0;
                EXPECT_LE(max_error(f, ref_re, ref_im, 0, &worst),
                    std::ldexp(xmax, -10) + nfft * std::ldexp(amax * n, -14))
                    << "arch " << arch << " scale " << scale << " bin " << worst;
            }
        }
    }
}

TEST(FloatMode, DenormalsAreFlushedInTheCallersArray)
{
    const double den = static_cast<double>(std::numeric_limits<float>::denorm_min()) * 5;
    for (int arch : { 1, 3 }) {
        State st(float_generics(arch, 6));
        std::vector<double> re(64, 0.25), im(64, -0.5);
        re[3] = den;
        im[5] = -den;
        im[9] = 1e-42;
        Frame f(6, re, im, {});
        f.in.scaling_sch = nullptr;
        int rc = -1;
        const std::string err = capture_stderr([&] { rc = f.simulate(st.get()); });
        EXPECT_EQ(rc, 0);
        const std::string wr
            = "WARNING:kfft_v8_0:simulate called with a denormalized real data value, this value "
              "will be set to zero";
        const std::string wi
            = "WARNING:kfft_v8_0:simulate called with a denormalized imag data value, this value "
              "will be set to zero";
        EXPECT_EQ(lines_of(err), (std::vector<std::string> { wr, wi, wi }));
        EXPECT_EQ(f.re[3], 0.0);
        EXPECT_EQ(f.im[5], 0.0);
        EXPECT_EQ(f.im[9], 0.0);
        re[3] = im[5] = im[9] = 0.0;
        const Frame g = run(st.get(), 6, re, im);
        EXPECT_EQ(f.out_re, g.out_re);
        EXPECT_EQ(f.out_im, g.out_im);
    }
}

TEST(FloatMode, InfinityOrNanInvalidatesTheFrame)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::string wr
        = "WARNING:kfft_v8_0:simulate called with real data values set to inf or NaN, output will "
          "be invalidated";
    const std::string wi
        = "WARNING:kfft_v8_0:simulate called with imag data values set to inf or NaN, output will "
          "be invalidated";
    for (int arch = 1; arch <= 4; ++arch) {
        State st(float_generics(arch, 6));
        struct Case {
            size_t index;
            bool imag;
            double value;
        } cases[] = { { 7, false, inf }, { 0, true, -inf }, { 63, false, nan }, { 1, true, 1e39 } };
        for (const auto& c : cases) {
            std::vector<double> re(64, 0.5), im(64, 0.5);
            (c.imag ? im : re)[c.index] = c.value;
            std::string err;
            const Frame f = run(st.get(), 6, re, im, 1, &err);
            EXPECT_EQ(lines_of(err), std::vector<std::string> { c.imag ? wi : wr });
            for (size_t k = 0; k < 64; ++k) {
                ASSERT_TRUE(std::isnan(f.out_re[k])) << "arch " << arch << " bin " << k;
                ASSERT_TRUE(std::isnan(f.out_im[k])) << "arch " << arch << " bin " << k;
            }
            EXPECT_EQ(f.out.blk_exp, 0);
            EXPECT_EQ(f.out.overflow, 0);
            EXPECT_EQ(f.out.xk_re_size, 64);
        }
        // The state is unaffected: the next valid frame is correct.
        const Frame g
            = run(st.get(), 6, std::vector<double>(64, 0.5), std::vector<double>(64, 0.0));
        EXPECT_EQ(g.out_re[0], 32.0);
        EXPECT_EQ(g.out_re[1], 0.0);
    }
}

TEST(FloatMode, OutputsBeyondSingleRangeBecomeInfinityWithOverflow)
{
    for (int arch = 1; arch <= 4; ++arch) {
        for (int direction : { 1, 0 }) {
            State st(float_generics(arch, 6));
            const Frame f = run(st.get(), 6, std::vector<double>(64, 3.0e38),
                std::vector<double>(64, -1.0e38), direction);
            EXPECT_EQ(f.out_re[0], std::numeric_limits<double>::infinity()) << "arch " << arch;
            EXPECT_EQ(f.out_im[0], -std::numeric_limits<double>::infinity()) << "arch " << arch;
            EXPECT_LE(std::fabs(f.out_re[1]), 1e33); // the other bins stay finite
            EXPECT_EQ(f.out.overflow, 1) << "arch " << arch;
            EXPECT_EQ(f.out.blk_exp, 0);
        }
    }
}

TEST(FloatMode, RuntimeLengthAndSmallestFrame)
{
    kelvar_ip_kfft_v8_0_generics g = float_generics(2, 6);
    g.C_HAS_NFFT = 1;
    State st(g);
    std::vector<double> re(8, 0.0), im(8, 0.0);
    re[1] = 1.5;
    const Frame f = run(st.get(), 3, re, im);
    // X[k] = 1.5 e^(-j 2 pi k / 8)
    for (size_t k = 0; k < 8; ++k) {
        const double a = -2.0 * 3.14159265358979323846 * static_cast<double>(k) / 8.0;
        EXPECT_NEAR(f.out_re[k], 1.5 * std::cos(a), 1e-4) << k;
        EXPECT_NEAR(f.out_im[k], 1.5 * std::sin(a), 1e-4) << k;
    }
    EXPECT_EQ(f.out.xk_re_size, 8);
}

} // namespace
