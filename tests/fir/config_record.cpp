// Layout and defaults of the FIR configuration record, and the version query.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "tapforge_v6_3_bitacc_cmodel.h"

namespace {

// Field offsets in declaration order; the record is 112 bytes with a gap at 28..31.
struct FieldAt {
    const char* name;
    size_t offset;
    size_t expected;
};

TEST(ConfigRecord, LayoutMatchesTheBinaryInterface) {
    const FieldAt fields[] = {
        {"name", offsetof(kip_fir_v6_3_config, name), 0},
        {"filter_type", offsetof(kip_fir_v6_3_config, filter_type), 8},
        {"rate_change", offsetof(kip_fir_v6_3_config, rate_change), 12},
        {"interp_rate", offsetof(kip_fir_v6_3_config, interp_rate), 16},
        {"decim_rate", offsetof(kip_fir_v6_3_config, decim_rate), 20},
        {"zero_pack_factor", offsetof(kip_fir_v6_3_config, zero_pack_factor), 24},
        {"coeff", offsetof(kip_fir_v6_3_config, coeff), 32},
        {"coeff_padding", offsetof(kip_fir_v6_3_config, coeff_padding), 40},
        {"num_coeffs", offsetof(kip_fir_v6_3_config, num_coeffs), 44},
        {"coeff_sets", offsetof(kip_fir_v6_3_config, coeff_sets), 48},
        {"reloadable", offsetof(kip_fir_v6_3_config, reloadable), 52},
        {"is_halfband", offsetof(kip_fir_v6_3_config, is_halfband), 56},
        {"quantization", offsetof(kip_fir_v6_3_config, quantization), 60},
        {"coeff_width", offsetof(kip_fir_v6_3_config, coeff_width), 64},
        {"coeff_fract_width", offsetof(kip_fir_v6_3_config, coeff_fract_width), 68},
        {"chan_seq", offsetof(kip_fir_v6_3_config, chan_seq), 72},
        {"num_channels", offsetof(kip_fir_v6_3_config, num_channels), 76},
        {"init_pattern", offsetof(kip_fir_v6_3_config, init_pattern), 80},
        {"num_paths", offsetof(kip_fir_v6_3_config, num_paths), 84},
        {"data_width", offsetof(kip_fir_v6_3_config, data_width), 88},
        {"data_fract_width", offsetof(kip_fir_v6_3_config, data_fract_width), 92},
        {"output_rounding", offsetof(kip_fir_v6_3_config, output_rounding), 96},
        {"output_width", offsetof(kip_fir_v6_3_config, output_width), 100},
        {"output_fract_width", offsetof(kip_fir_v6_3_config, output_fract_width), 104},
        {"config_method", offsetof(kip_fir_v6_3_config, config_method), 108},
    };
    EXPECT_EQ(sizeof(kip_fir_v6_3_config), 112u);
    EXPECT_EQ(sizeof(kip_fir_v6_3_pattern), 4u);
    for (const auto& f : fields) EXPECT_EQ(f.offset, f.expected) << f.name;
}

void put32(unsigned char* image, size_t offset, int32_t v) { std::memcpy(image + offset, &v, 4); }

TEST(ConfigRecord, DefaultsAreExactBytes) {
    kip_fir_v6_3_config c;
    std::memset(&c, 0xAB, sizeof c);
    ASSERT_EQ(kip_fir_v6_3_default_config(&c), 0);

    // The two pointers are library constants: check what they designate, then place them
    // into the expected image as they are.
    ASSERT_NE(c.name, nullptr);
    EXPECT_STREQ(c.name, "tapforge_v6_3");
    ASSERT_NE(c.coeff, nullptr);
    const double taps[21] = {6, 0, -4, -3, 5, 6, -6, -13, 7, 44, 64, 44, 7, -13, -6, 6, 5, -3, -4, 0, 6};
    for (int i = 0; i < 21; ++i) EXPECT_EQ(c.coeff[i], taps[i]) << "tap " << i;

    unsigned char expected[112] = {};
    std::memcpy(expected + 0, &c.name, 8);
    std::memcpy(expected + 32, &c.coeff, 8);
    const int32_t ints[] = {0, 0, 1, 1, 1};  // filter_type .. zero_pack_factor at 8..24
    for (int i = 0; i < 5; ++i) put32(expected, 8 + 4 * i, ints[i]);
    // coeff_padding .. config_method at 40..108
    const int32_t tail[] = {0, 21, 1, 0, 0, 0, 16, 0, 0, 1, 175, 1, 16, 0, 0, 24, 0, 0};
    for (int i = 0; i < 18; ++i) put32(expected, 40 + 4 * i, tail[i]);

    const unsigned char* got = reinterpret_cast<const unsigned char*>(&c);
    for (size_t i = 0; i < sizeof expected; ++i)
        ASSERT_EQ(got[i], expected[i]) << "first differing byte at offset " << i;
}

TEST(ConfigRecord, DefaultConfigRefusesNull) { EXPECT_EQ(kip_fir_v6_3_default_config(nullptr), 1); }

TEST(ConfigRecord, Version) { EXPECT_STREQ(kip_fir_v6_3_get_version(), "6.3.1"); }

}  // namespace
