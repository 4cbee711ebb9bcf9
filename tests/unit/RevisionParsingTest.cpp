#include <gtest/gtest.h>

#include <filesystem>

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

TEST(RevisionParsing, VerifyAndStageNeedSixArgumentsAndPassValuesThrough) {
    using Mode = TaviroMain::Mode;
    auto verify = TaviroMain::parseCommandLine({"Taviro", "--verify-feature-pack", "pack.zip", " 1.0 ", "-7", "ABC"});
    EXPECT_EQ(verify.mode, Mode::verify);
    EXPECT_EQ(verify.archivePath, (std::filesystem::current_path() / "pack.zip").string());
    EXPECT_EQ(verify.version, " 1.0 ");
    EXPECT_EQ(verify.revision, -7);
    EXPECT_EQ(verify.archiveSHA256, "ABC");
    EXPECT_EQ(TaviroMain::parseCommandLine({"Taviro", "--stage-feature-pack", "/a.zip", "1", "x", "h"}).revision, 0);
    EXPECT_EQ(TaviroMain::parseCommandLine({"Taviro", "--stage-feature-pack", "/a.zip", "1", "2", "h"}).mode, Mode::stage);
    EXPECT_EQ(TaviroMain::parseCommandLine({"Taviro", "--stage-feature-pack", "/a.zip", "1", "2"}).mode, Mode::windowed);
    EXPECT_EQ(TaviroMain::parseCommandLine({"Taviro", "--verify-feature-pack", "/a.zip", "1", "2", "h", "x"}).mode,
              Mode::windowed);
}
