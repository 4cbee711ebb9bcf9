#include <gtest/gtest.h>

#include <filesystem>

#include "app/TaviroMain.h"

using taviro::TaviroMain;
using Mode = TaviroMain::Mode;

// The number rules themselves are the decimal parser's; here only what the command line adds.
TEST(RevisionParsing, OnlyTheExactHeadlessCommandLinesLeaveTheWindow) {
    const std::pair<std::vector<std::string>, Mode> cases[] = {
        {{"Taviro"}, Mode::windowed},
        {{"Taviro", "--prepare-feature-pack-state"}, Mode::prepare},
        {{"Taviro", "--prepare-feature-pack-state", "x"}, Mode::windowed},
        {{"Taviro", "--Prepare-feature-pack-state"}, Mode::windowed},
        {{"Taviro", "--stage-feature-pack", "/a.zip", "1", "2", "h"}, Mode::stage},
        {{"Taviro", "--stage-feature-pack", "/a.zip", "1", "2"}, Mode::windowed},
        {{"Taviro", "--verify-feature-pack", "/a.zip", "1", "2", "h", "x"}, Mode::windowed},
        {{"Taviro", "/a.zip", "--verify-feature-pack", "1", "2", "h"}, Mode::windowed},
    };
    for (const auto& [arguments, mode] : cases) EXPECT_EQ(TaviroMain::parseCommandLine(arguments).mode, mode) << arguments.size();

    auto verify = TaviroMain::parseCommandLine({"Taviro", "--verify-feature-pack", "pack.zip", " 1.0 ", "-7", "ABC"});
    EXPECT_EQ(verify.mode, Mode::verify);
    EXPECT_EQ(verify.archivePath, (std::filesystem::current_path() / "pack.zip").string());
    EXPECT_EQ(std::make_tuple(verify.version, verify.revision, verify.archiveSHA256), std::make_tuple(" 1.0 ", -7, "ABC"));
    for (const char* unreadable : {"7 ", "x", "", "0x10", "+-7"}) {
        EXPECT_EQ(TaviroMain::parseCommandLine({"Taviro", "--stage-feature-pack", "/a.zip", "1", unreadable, "h"}).revision, 0);
    }
    EXPECT_EQ(TaviroMain::parseRevision("+7"), 7);
}
