// Derivation of the engine configuration from the generics, and the frame geometry.
#include <gtest/gtest.h>

#include "fft_config.h"

namespace {

kelvar_ip_kfft_v8_0_generics defaults()
{
    // The library defaults: 1,024-point radix-4, 16-bit data and twiddles, scaled, truncating.
    return kelvar_ip_kfft_v8_0_generics { 10, 1, 0, 0, 16, 16, 1, 0, 0 };
}

} // namespace

TEST(FftConfig, DefaultsCopyWidthsAndFlags)
{
    const FFT_CONFIG c = derive_fft_config(defaults());
    EXPECT_EQ(c.input_width, 16);
    EXPECT_EQ(c.data_width, 16);
    EXPECT_EQ(c.C_TWIDDLE_WIDTH, 16);
    EXPECT_EQ(c.C_NFFT_MAX, 10);
    EXPECT_EQ(c.C_HAS_ROUNDING, 0);
    EXPECT_EQ(c.C_HAS_SCALING, 1);
    EXPECT_EQ(c.C_HAS_BFP, 0);
    EXPECT_EQ(c.C_ARCH, 1);
    EXPECT_EQ(c.C_USE_FLT_PT, 0);
    // Geometry of a full-length frame.
    EXPECT_EQ(c.nfft, 10);
    EXPECT_EQ(c.npoints, 1024);
    EXPECT_EQ(c.nfft_odd, 0);
    EXPECT_EQ(c.r4_points, 1024);
    EXPECT_EQ(c.r4_addr_mask, 255);
    EXPECT_EQ(c.r4_stages, 5);
}

TEST(FftConfig, UnscaledWordsCarryFullGrowth)
{
    kelvar_ip_kfft_v8_0_generics g = defaults();
    g.C_HAS_SCALING = 0;
    g.C_HAS_ROUNDING = 1;
    const FFT_CONFIG c = derive_fft_config(g);
    EXPECT_EQ(c.input_width, 16);
    EXPECT_EQ(c.data_width, 27);
    EXPECT_EQ(c.C_HAS_ROUNDING, 1);
    EXPECT_EQ(c.C_HAS_SCALING, 0);
}

TEST(FftConfig, ScaledWidthIndependentOfLength)
{
    for (int m = 3; m <= 16; ++m) {
        kelvar_ip_kfft_v8_0_generics g = defaults();
        g.C_NFFT_MAX = m;
        g.C_ARCH = 2;
        g.C_HAS_BFP = m & 1;
        const FFT_CONFIG c = derive_fft_config(g);
        EXPECT_EQ(c.input_width, 16);
        EXPECT_EQ(c.data_width, 16);
        EXPECT_EQ(c.C_HAS_BFP, m & 1);
    }
}

TEST(FftConfig, FloatingPointOverridesWidthsAndFlags)
{
    const int input[5] = { 0, 29, 28, 27, 28 };
    for (int arch = 1; arch <= 4; ++arch) {
        kelvar_ip_kfft_v8_0_generics g = defaults();
        g.C_ARCH = arch;
        g.C_NFFT_MAX = 12;
        g.C_USE_FLT_PT = 1;
        g.C_INPUT_WIDTH = 32;
        // The user's scaling, block floating point and rounding choices are ignored.
        g.C_HAS_SCALING = arch == 3 ? 1 : 0;
        g.C_HAS_BFP = arch == 3 ? 1 : 0;
        g.C_HAS_ROUNDING = 1;
        const FFT_CONFIG c = derive_fft_config(g);
        SCOPED_TRACE(arch);
        EXPECT_EQ(c.input_width, input[arch]);
        EXPECT_EQ(c.data_width, arch == 3 ? 27 + 12 + 1 : input[arch]);
        EXPECT_EQ(c.C_HAS_ROUNDING, 0);
        EXPECT_EQ(c.C_HAS_SCALING, arch == 3 ? 0 : 1);
        EXPECT_EQ(c.C_HAS_BFP, arch == 3 ? 0 : 1);
        EXPECT_EQ(c.C_USE_FLT_PT, 1);
        EXPECT_EQ(c.C_ARCH, arch);
    }
}

TEST(FftConfig, FrameGeometry)
{
    FFT_CONFIG c = derive_fft_config(defaults());
    ASSERT_TRUE(set_frame_geometry(c, 7));
    EXPECT_EQ(c.nfft, 7);
    EXPECT_EQ(c.npoints, 128);
    EXPECT_EQ(c.nfft_odd, 1);
    EXPECT_EQ(c.r4_points, 64);
    EXPECT_EQ(c.r4_addr_mask, 15);
    EXPECT_EQ(c.r4_stages, 3);
    ASSERT_TRUE(set_frame_geometry(c, 16));
    EXPECT_EQ(c.npoints, 65536);
    EXPECT_EQ(c.r4_addr_mask, 16383);
    ASSERT_TRUE(set_frame_geometry(c, 3));
    EXPECT_EQ(c.r4_points, 4);
    EXPECT_EQ(c.r4_addr_mask, 0);
    EXPECT_EQ(c.r4_stages, 1);
    // Out-of-range lengths leave the geometry alone.
    const FFT_CONFIG before = c;
    EXPECT_FALSE(set_frame_geometry(c, 2));
    EXPECT_FALSE(set_frame_geometry(c, 17));
    EXPECT_FALSE(set_frame_geometry(c, -5));
    EXPECT_EQ(c.npoints, before.npoints);
    EXPECT_EQ(c.nfft, before.nfft);
}

TEST(FftConfig, InvalidMaximumLengthLeavesGeometryEmpty)
{
    kelvar_ip_kfft_v8_0_generics g = defaults();
    g.C_NFFT_MAX = 40;
    const FFT_CONFIG c = derive_fft_config(g);
    EXPECT_EQ(c.npoints, 0);
    EXPECT_EQ(c.nfft, 0);
}
