#include "shell/text.h"

#include <gtest/gtest.h>

using namespace kvx;

TEST(Format, HexIsUpperCaseAndPadded) {
    EXPECT_EQ(format("0x%0.8x", 0xBEEFu), "0x0000BEEF");
    EXPECT_EQ(format("%0.2x ", 0xabu), "AB ");
    EXPECT_EQ(format("  %x", 0xfu), "  F");
    EXPECT_EQ(format("操作失败！错误代码: 0%d(0x%0.2x)！", 153, 0x99), "操作失败！错误代码: 0153(0x99)！");
    EXPECT_EQ(format("%d%%", 50), "50%");
    EXPECT_EQ(format("%s", std::string(300, 'a').c_str()).size(), 300u);
}

struct IntCase {
    const char* text;
    bool ok;
    int64_t value;
};

TEST(IntegerInput, Int64Table) {
    IntCase cases[] = {
        {"0", true, 0},          {"  42", true, 42},        {"-42", true, -42},
        {"+7", true, 7},         {"0x1F", true, 31},        {"0X1f", true, 31},
        {"$FF", true, 255},      {"x10", true, 16},         {"X10", true, 16},
        {" -0x10", true, -16},   {"", false, 0},            {"   ", false, 0},
        {"0x", false, 0},        {"12a", false, 0},         {"1 ", false, 0},
        {"abc", false, 0},       {"0xG", false, 0},         {"--1", false, 0},
        {"9223372036854775807", true, INT64_MAX},            {"9223372036854775808", false, 0},
        {"0xFFFFFFFFFFFFFFFF", true, -1},                     {"0x10000000000000000", false, 0},
    };
    for (auto& c : cases) {
        int64_t v = 0;
        EXPECT_EQ(tryParseInt64(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

TEST(IntegerInput, Int32RangeAndErrors) {
    EXPECT_EQ(strToInt("0xFFFFFFFF"), -1);
    EXPECT_EQ(strToInt("2147483647"), INT32_MAX);
    EXPECT_EQ(strToInt("-2147483648"), INT32_MIN);
    EXPECT_THROW(strToInt("2147483648"), ConvertError);
    EXPECT_THROW(strToInt("0x100000000"), ConvertError);
    try {
        strToInt64("12z");
        FAIL();
    } catch (const ConvertError& e) {
        EXPECT_STREQ(e.what(), "'12z' is not a valid integer value");
    }
}
