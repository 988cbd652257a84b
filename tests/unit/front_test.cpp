// Argument conversion: atoi's reading of a number, without its overflow.
#include "front/entry.h"
#include "shared/modes.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(convert_flags, reads_a_number_as_atoi_does) {
    EXPECT_EQ(convert_flags("32"), 32);
    EXPECT_EQ(convert_flags(" \t\n\v\f\r+33"), 33);
    EXPECT_EQ(convert_flags("-1"), 255);
    EXPECT_EQ(convert_flags("-128"), 128);
    EXPECT_EQ(convert_flags("17abc"), 17);
    EXPECT_EQ(convert_flags("abc"), 0);
    EXPECT_EQ(convert_flags(""), 0);
    EXPECT_EQ(convert_flags("+-3"), 0);
    EXPECT_EQ(convert_flags("- 3"), 0);
    EXPECT_EQ(convert_flags(nullptr), 0);
}

TEST(convert_flags, keeps_the_low_eight_bits_of_any_length) {
    EXPECT_EQ(convert_flags("255"), 255);
    EXPECT_EQ(convert_flags("256"), 0);
    EXPECT_EQ(convert_flags("65536"), 0);
    EXPECT_EQ(convert_flags("4294967551"), 255);
    EXPECT_EQ(convert_flags("-4294967295"), 1);
    // 10^40 is a multiple of 256; 10^40 + 130 is not a number any integer type holds.
    EXPECT_EQ(convert_flags(("1" + std::string(40, '0')).c_str()), 0);
    EXPECT_EQ(convert_flags(("1" + std::string(37, '0') + "130").c_str()), 130);
    EXPECT_EQ(convert_flags(std::string(5000, '9').c_str()), convert_flags("-1") - 0);
}

TEST(convert_flags, reads_bytes_above_127_as_non_digits) {
    EXPECT_EQ(convert_flags("\xa0"
                            "5"),
              0);
    EXPECT_EQ(convert_flags("7\xb9"), 7);
}

TEST(apply_mode_bits, bit_one_clears_what_bit_zero_set) {
    bUpdate_mode = bSelsusp_mode = bXcontrol_mode = 0;
    apply_mode_bits(3);
    EXPECT_EQ(bUpdate_mode, 0);
    apply_mode_bits(1 | 4 | 8);
    EXPECT_EQ(bUpdate_mode, 1);
    EXPECT_EQ(bSelsusp_mode, 2);
    EXPECT_EQ(bXcontrol_mode, 1);
    bUpdate_mode = bSelsusp_mode = bXcontrol_mode = 0;
}

} // namespace
