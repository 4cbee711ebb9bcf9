// The assembled package, run as a user would run it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "tests/support/PackBuilder.h"

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

TEST(Package, WindowedStartWithoutADisplayFailsBeforeAnythingStarts) {
    // Any command line that is not exactly a headless mode opens the window.
    for (std::vector<std::string> argv : {std::vector<std::string>{kExecutable},
                                          {kExecutable, "--prepare-feature-pack-state", "extra"}}) {
        test::TempDir dir;
        auto output = test::runCaptured(argv, {{"VORDA_FEATURE_PACK_TEST_ROOT", (dir / "store").string()},
                                               {"HOME", (dir / "home").string()},
                                               {"DISPLAY", std::nullopt},
                                               {"WAYLAND_DISPLAY", std::nullopt},
                                               {"DBUS_SESSION_BUS_ADDRESS", "disabled:"}});
        EXPECT_EQ(output.status, 1);
        EXPECT_EQ(output.out, "");
        EXPECT_NE(output.err.find("cannot open display"), std::string::npos) << output.err;
        EXPECT_FALSE(std::filesystem::exists(dir / "home" / ".ostrelin-video-web")) << "nothing was launched";
        EXPECT_FALSE(std::filesystem::exists(dir / "store"));
    }
}

namespace {

struct PackRun {
    test::TempDir dir;
    test::SigningKey key;
    std::filesystem::path store = dir / "store";
    std::filesystem::path keyFile = key.writePublicKeyFile(dir / "key.json");

    std::filesystem::path zip(std::int64_t revision, const std::string& name = "pack") {
        test::PackSpec spec;
        spec.revision = revision;
        spec.version = std::to_string(revision) + ".0.0";
        test::writePack(dir / (name + "-src"), spec, key);
        return test::zipFolder(dir / (name + "-src"), dir / (name + ".zip"));
    }
    test::ProcessOutput run(std::vector<std::string> arguments,
                            std::vector<std::pair<std::string, std::optional<std::string>>> environment = {},
                            const std::filesystem::path& workingDirectory = {}, const std::string& executable = kExecutable) {
        arguments.insert(arguments.begin(), executable);
        environment.insert(environment.begin(), {"VORDA_FEATURE_PUBLIC_KEY", keyFile.string()});
        environment.insert(environment.begin(), {"VORDA_FEATURE_PACK_TEST_ROOT", store.string()});
        return test::runCaptured(arguments, environment, workingDirectory);
    }
    bool stagingEmpty() { return std::filesystem::is_empty(store / "staging"); }
};

std::string hashOf(const std::filesystem::path& file) { return test::sha256Hex(test::readFile(file)); }

}  // namespace

TEST(Package, VerifyModePrintsOneLineAndChangesNothing) {
    PackRun r;
    auto archive = r.zip(5);
    // A relative archive path is taken against the working directory.
    auto ok = r.run({"--verify-feature-pack", "pack.zip", "5.0.0", "+5", hashOf(archive)}, {}, r.dir.path());
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out, "feature pack verification ok\n");
    EXPECT_TRUE(r.stagingEmpty());
    EXPECT_FALSE(std::filesystem::exists(r.store / "state.json"));

    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        std::string error;
    } failures[] = {
        {"wrong hash", {"--verify-feature-pack", archive.string(), "5.0.0", "5", std::string(64, '0')}, "测试功能包压缩文件校验失败"},
        {"revision with a blank reads as 0", {"--verify-feature-pack", archive.string(), "5.0.0", "5 ", hashOf(archive)},
         "功能包 manifest 不兼容或字段无效"},
        {"other version", {"--verify-feature-pack", archive.string(), "5.0.1", "5", hashOf(archive)},
         "功能包 manifest 不兼容或字段无效"},
        {"not a zip", {"--verify-feature-pack", r.keyFile.string(), "5.0.0", "5", hashOf(r.keyFile)}, "测试功能包解压失败"},
    };
    for (const auto& c : failures) {
        auto output = r.run(c.arguments);
        EXPECT_EQ(output.status, 2) << c.name;
        EXPECT_EQ(output.out, "") << c.name;
        EXPECT_TRUE(output.err.ends_with("feature pack verification failed: " + c.error + "\n")) << c.name << ": " << output.err;
        EXPECT_TRUE(r.stagingEmpty()) << c.name;
    }
}

TEST(Package, StageModeStagesActivatesAndReports) {
    PackRun r;
    auto archive = r.zip(5);
    auto output = r.run({"--stage-feature-pack", archive.string(), "5.0.0", "5", hashOf(archive)});
    EXPECT_EQ(output.status, 0) << output.err;
    EXPECT_EQ(output.out,
              "feature pack staged revision=5; activation deferred until next launch\n"
              "feature pack activated revision=5 version=5.0.0\n"
              "feature pack staged and activated revision=5\n");
    auto state = nlohmann::json::parse(test::readFile(r.store / "state.json"));
    EXPECT_EQ(state["active"]["revision"], 5);
    EXPECT_EQ(state["active"]["archiveSHA256"], hashOf(archive));
    EXPECT_FALSE(state.contains("pending"));
    EXPECT_FALSE(state.contains("previous"));
    EXPECT_TRUE(std::filesystem::is_directory(r.store / "versions/5"));
    EXPECT_TRUE(r.stagingEmpty());

    // Prepare re-checks the active pack at every launch: break it and it is quarantined.
    test::writeFile(r.store / "versions/5/ui.json", "{}");
    auto prepared = r.run({"--prepare-feature-pack-state"});
    EXPECT_EQ(prepared.status, 0);
    EXPECT_EQ(prepared.out,
              "active feature pack invalid revision=5: 功能包文件校验失败：ui.json\n"
              "feature pack quarantined revision=5: 当前功能包验证失败：功能包文件校验失败：ui.json\n"
              "feature pack prepared revision=0\n");
    EXPECT_EQ(nlohmann::json::parse(test::readFile(r.store / "state.json"))["quarantinedRevisions"], nlohmann::json::array({5}));
}

TEST(Package, StageModeFailureLeavesTheStoreAsItWas) {
    PackRun r;
    auto archive = r.zip(6);
    test::SigningKey stranger;
    auto strangerKey = stranger.writePublicKeyFile(r.dir / "stranger.json");
    auto output = r.run({"--stage-feature-pack", archive.string(), "6.0.0", "6", hashOf(archive)},
                        {{"VORDA_FEATURE_PUBLIC_KEY", strangerKey.string()}});
    EXPECT_EQ(output.status, 2);
    EXPECT_EQ(output.out, "");
    EXPECT_EQ(output.err, "feature pack staging failed: 功能包数字签名无效\n");
    EXPECT_TRUE(r.stagingEmpty());
    EXPECT_TRUE(std::filesystem::is_empty(r.store / "versions"));
    EXPECT_FALSE(std::filesystem::exists(r.store / "state.json"));

    auto negative = r.run({"--stage-feature-pack", archive.string(), "6.0.0", "-6", hashOf(archive)});
    EXPECT_EQ(negative.status, 2);
    EXPECT_EQ(negative.err, "feature pack staging failed: 功能包修订号无效\n");

    // Known flags with the wrong argument count start the window instead.
    auto shortCount = r.run({"--stage-feature-pack", archive.string(), "6.0.0"});
    EXPECT_EQ(shortCount.status, 1);
    EXPECT_FALSE(std::filesystem::exists(r.store / "state.json"));
}

TEST(Package, PublicKeyComesFromThePackageUnlessTheVariableIsSet) {
    PackRun r;
    auto archive = r.zip(4);
    std::string hash = hashOf(archive);
    // A copy of the package carrying the test's key as its own resource.
    auto copy = r.dir / "Copy.app";
    ASSERT_EQ(test::runCaptured({"/bin/cp", "-a", kPackage.string(), copy.string()}).status, 0);
    std::filesystem::copy_file(r.keyFile, copy / "Contents/Resources/feature-pack-public-key.json",
                               std::filesystem::copy_options::overwrite_existing);
    auto copiedExecutable = (copy / "Contents/MacOS/Taviro").string();
    std::vector<std::string> verify{"--verify-feature-pack", archive.string(), "4.0.0", "4", hash};

    auto fromResource = r.run(verify, {{"VORDA_FEATURE_PUBLIC_KEY", std::nullopt}}, "/", copiedExecutable);
    EXPECT_EQ(fromResource.status, 0) << fromResource.err;
    auto missingOverride = r.run(verify, {{"VORDA_FEATURE_PUBLIC_KEY", (r.dir / "none.json").string()}}, "/", copiedExecutable);
    EXPECT_EQ(missingOverride.err, "feature pack verification failed: 功能包数字签名无效\n");
    // The shipped default key's private half is gone: it trusts nothing a test can sign.
    auto defaultKey = r.run(verify, {{"VORDA_FEATURE_PUBLIC_KEY", std::nullopt}});
    EXPECT_EQ(defaultKey.err, "feature pack verification failed: 功能包数字签名无效\n");
}
