// Layout and defaults of the FIR configuration record, and the version query.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tapforge_v6_3_bitacc_cmodel.h"

namespace {

void put32(unsigned char* image, size_t offset, int32_t v) { std::memcpy(image + offset, &v, 4); }

TEST(ConfigRecord, DefaultsAreExactBytes)
{
    // Field offsets are asserted in the header; this image places every field at its offset.
    ASSERT_EQ(sizeof(kip_fir_v6_3_config), 112u);
    kip_fir_v6_3_config c;
    std::memset(&c, 0xAB, sizeof c);
    ASSERT_EQ(kip_fir_v6_3_default_config(&c), 0);

    // The two pointers are library constants: check what they designate, then place them
    // into the expected image as they are.
    ASSERT_NE(c.name, nullptr);
    EXPECT_STREQ(c.name, "tapforge_v6_3");
    ASSERT_NE(c.coeff, nullptr);
    const double taps[21]
        = { 6, 0, -4, -3, 5, 6, -6, -13, 7, 44, 64, 44, 7, -13, -6, 6, 5, -3, -4, 0, 6 };
    for (int i = 0; i < 21; ++i)
        EXPECT_EQ(c.coeff[i], taps[i]) << "tap " << i;

    unsigned char expected[112] = {};
    std::memcpy(expected + 0, &c.name, 8);
    std::memcpy(expected + 32, &c.coeff, 8);
    const int32_t ints[] = { 0, 0, 1, 1, 1 }; // filter_type .. zero_pack_factor at 8..24
    for (int i = 0; i < 5; ++i)
        put32(expected, 8 + 4 * i, ints[i]);
    // coeff_padding .. config_method at 40..108
    const int32_t tail[] = { 0, 21, 1, 0, 0, 0, 16, 0, 0, 1, 175, 1, 16, 0, 0, 24, 0, 0 };
    for (int i = 0; i < 18; ++i)
        put32(expected, 40 + 4 * i, tail[i]);

    const unsigned char* got = reinterpret_cast<const unsigned char*>(&c);
    for (size_t i = 0; i < sizeof expected; ++i)
        ASSERT_EQ(got[i], expected[i]) << "first differing byte at offset " << i;
}

TEST(ConfigRecord, DefaultConfigRefusesNull) { EXPECT_EQ(kip_fir_v6_3_default_config(nullptr), 1); }

TEST(ConfigRecord, Version) { EXPECT_STREQ(kip_fir_v6_3_get_version(), "6.3.1"); }

} // namespace
