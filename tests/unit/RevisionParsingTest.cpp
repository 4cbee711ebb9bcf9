#include <gtest/gtest.h>

#include "app/TaviroMain.h"

using taviro::TaviroMain;

TEST(RevisionParsing, AcceptsOnlyASignAndDecimalDigitsWithinSixtyFourBits) {
    struct Case {
        const char* text;
        std::int64_t expected;
    } cases[] = {
        {"7", 7},
        {"+7", 7},
        {"-7", -7},
        {"007", 7},
        {"", 0},
        {"+", 0},
        {"-", 0},
        {"7a", 0},
        {" 7", 0},
        {"7 ", 0},
        {"+-7", 0},
        {"0x10", 0},
        {"٣", 0},  // a non-ASCII digit
        {"9223372036854775807", INT64_MAX},
        {"9223372036854775808", 0},
        {"-9223372036854775808", INT64_MIN},
        {"-9223372036854775809", 0},
        {"12345678901234567890", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(TaviroMain::parseRevision(c.text), c.expected) << '"' << c.text << '"';
}

TEST(RevisionParsing, PrepareModeNeedsExactlyTheFlag) {
    using Mode = TaviroMain::Mode;
    EXPECT_EQ(TaviroMain::parseCommandLine({"Taviro", "--prepare-feature-pack-state"}).mode, Mode::prepare);
    EXPECT_EQ(TaviroMain::parseCommandLine({"Taviro", "--prepare-feature-pack-state", "x"}).mode, Mode::windowed);
    EXPECT_EQ(TaviroMain::parseCommandLine({"Taviro", "--Prepare-feature-pack-state"}).mode, Mode::windowed);
    EXPECT_EQ(TaviroMain::parseCommandLine({"Taviro"}).mode, Mode::windowed);
}
