// The assembled package, run as a user would run it.
#include <gtest/gtest.h>

#include <regex>

#include "tests/support/TestSupport.h"

using namespace taviro;

namespace {

const std::filesystem::path kPackage = TAVIRO_PACKAGE_DIR;
const std::string kExecutable = (kPackage / "Contents/MacOS/Taviro").string();

}  // namespace

TEST(Package, HasTheExecutableInfoListAndPublicKey) {
    EXPECT_EQ(::access(kExecutable.c_str(), X_OK), 0);
    std::string plist = test::readFile(kPackage / "Contents/Info.plist");
    EXPECT_TRUE(std::regex_search(plist, std::regex("<key>CFBundleShortVersionString</key>\\s*<string>1\\.0\\.73</string>")));
    std::string key = test::readFile(kPackage / "Contents/Resources/feature-pack-public-key.json");
    EXPECT_NE(key.find("\"feature-pack-ed25519-v1\""), std::string::npos);
}

TEST(Package, PrepareReportsAnEmptyStoreFromAnyWorkingDirectory) {
    test::TempDir dir;
    auto output = test::runCaptured({kExecutable, "--prepare-feature-pack-state"},
                                    {{"VORDA_FEATURE_PACK_TEST_ROOT", (dir / "store").string()}}, "/");
    EXPECT_EQ(output.status, 0) << output.err;
    EXPECT_EQ(output.out, "feature pack prepared revision=0\n");
    EXPECT_EQ(output.err, "");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "store/versions"));
    EXPECT_FALSE(std::filesystem::exists(dir / "store/state.json"));
}

TEST(Package, StoreDefaultsToTheUserDataFolder) {
    test::TempDir home;
    auto output = test::runCaptured({kExecutable, "--prepare-feature-pack-state"},
                                    {{"HOME", home.path().string()},
                                     {"XDG_DATA_HOME", std::nullopt},
                                     {"VORDA_FEATURE_PACK_TEST_ROOT", std::nullopt}});
    EXPECT_EQ(output.status, 0);
    EXPECT_TRUE(std::filesystem::is_directory(home / ".local/share/Taviro/feature-packs/staging"));
}

TEST(Package, WindowedStartSaysTheWindowIsNotBuiltYet) {
    test::TempDir dir;
    for (std::vector<std::string> argv : {std::vector<std::string>{kExecutable},
                                          {kExecutable, "--prepare-feature-pack-state", "extra"}}) {
        auto output = test::runCaptured(argv, {{"VORDA_FEATURE_PACK_TEST_ROOT", (dir / "store").string()}});
        EXPECT_EQ(output.status, 1);
        EXPECT_EQ(output.out, "");
        EXPECT_EQ(std::count(output.err.begin(), output.err.end(), '\n'), 1) << output.err;
    }
}
