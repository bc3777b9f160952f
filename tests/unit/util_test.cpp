#include "util/util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>

namespace {

struct HexCase {
    const char* text;
    int value;
};

TEST(Ahextoi, ReadsLeadingHexDigitsAndStopsAtAnythingElse) {
    const HexCase cases[] = {
        {"", 0},
        {"1f", 31},
        {"1F", 31},
        {"01f", 31},
        {"ff", 255},
        {"FFFF", 65535},
        {"aBcD", 0xABCD},
        {"12g4", 18},
        {" 12", 0},
        {"-5", 0},
        {"+5", 0},
        {"0x1F", 0},
        {"7\xff"
         "1",
         7},
        {"\xc3\xa9", 0},
        {"FFFFFFFF", -1},
        {"80000000", INT_MIN},
        {"7FFFFFFF", INT_MAX},
        {"100000000", 0},
        {"123456789", 0x23456789},
    };
    for (const HexCase& c : cases) {
        EXPECT_EQ(ahextoi(c.text), c.value) << '"' << c.text << '"';
    }
}

TEST(Msleep, PausesAtLeastTheDurationAndNothingForZeroOrLess) {
    using Clock = std::chrono::steady_clock;
    auto start = Clock::now();
    EXPECT_EQ(msleep(10), 0);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(10));
    // Zero and negative durations return at once with success.
    EXPECT_EQ(msleep(0), 0);
    EXPECT_EQ(msleep(-5), 0);
    EXPECT_EQ(msleep(INT_MIN), 0);
}

}  // namespace
