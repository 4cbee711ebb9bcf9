// The assembled package, run as a user would run it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "tests/support/PackBuilder.h"

using namespace taviro;

namespace {

const std::filesystem::path kPackage = TAVIRO_PACKAGE_DIR;
const std::string kExecutable = (kPackage / "Contents/MacOS/Taviro").string();

struct PackRun {
    test::TempDir dir;
    test::SigningKey key;
    std::filesystem::path store = dir / "store";
    std::filesystem::path keyFile = key.writePublicKeyFile(dir / "key.json");

    std::filesystem::path zip(std::int64_t revision) {
        test::writePack(dir / "pack-src", test::PackSpec{.revision = revision, .version = std::to_string(revision) + ".0.0"}, key);
        return test::zipFolder(dir / "pack-src", dir / "pack.zip");
    }
    // The test's store and key come first, so `environment` can replace them.
    test::ProcessOutput run(std::vector<std::string> arguments, test::Environment environment = {},
                            const std::filesystem::path& workingDirectory = {}, const std::string& executable = kExecutable) {
        arguments.insert(arguments.begin(), executable);
        environment.insert(environment.begin(), {{"VORDA_FEATURE_PACK_TEST_ROOT", store.string()},
                                                 {"VORDA_FEATURE_PUBLIC_KEY", keyFile.string()}});
        return test::runCaptured(arguments, environment, workingDirectory);
    }
    bool untouched() {
        return std::filesystem::is_empty(store / "staging") && std::filesystem::is_empty(store / "versions") &&
               !std::filesystem::exists(store / "state.json");
    }
};

std::string hashOf(const std::filesystem::path& file) { return test::sha256Hex(test::readFile(file)); }

}  // namespace

TEST(Package, HasTheExecutableInfoListAndPublicKey) {
    EXPECT_EQ(::access(kExecutable.c_str(), X_OK), 0);
    EXPECT_TRUE(std::regex_search(test::readFile(kPackage / "Contents/Info.plist"),
                                  std::regex("<key>CFBundleShortVersionString</key>\\s*<string>1\\.0\\.73</string>")));
    EXPECT_NE(test::readFile(kPackage / "Contents/Resources/feature-pack-public-key.json").find("\"feature-pack-ed25519-v1\""),
              std::string::npos);
}

TEST(Package, PrepareSettlesTheStoreFromAnyWorkingDirectory) {
    PackRun r;
    auto output = r.run({"--prepare-feature-pack-state"}, {}, "/");
    EXPECT_EQ(std::tie(output.status, output.out, output.err), std::make_tuple(0, "feature pack prepared revision=0\n", ""));
    EXPECT_TRUE(r.untouched());
    // Without the test variable the store lives in the user's data folder.
    output = r.run({"--prepare-feature-pack-state"},
                   {{"HOME", (r.dir / "home").string()}, {"XDG_DATA_HOME", std::nullopt}, {"VORDA_FEATURE_PACK_TEST_ROOT", std::nullopt}});
    EXPECT_EQ(output.status, 0);
    EXPECT_TRUE(std::filesystem::is_directory(r.dir / "home/.local/share/Taviro/feature-packs/staging"));
}

TEST(Package, AnyOtherCommandLineStartsTheWindowWhichNeedsADisplay) {
    PackRun r;
    auto archive = r.zip(6);
    for (std::vector<std::string> arguments : {std::vector<std::string>{}, {"--prepare-feature-pack-state", "extra"},
                                               {"--stage-feature-pack", archive.string(), "6.0.0"}}) {
        auto output = r.run(arguments, {{"HOME", (r.dir / "home").string()}, {"DISPLAY", std::nullopt},
                                        {"WAYLAND_DISPLAY", std::nullopt}, {"DBUS_SESSION_BUS_ADDRESS", "disabled:"}});
        EXPECT_EQ(std::tie(output.status, output.out), std::make_tuple(1, ""));
        EXPECT_NE(output.err.find("cannot open display"), std::string::npos) << output.err;
        EXPECT_FALSE(std::filesystem::exists(r.dir / "home/.ostrelin-video-web")) << "nothing was launched";
        EXPECT_FALSE(std::filesystem::exists(r.store));
    }
}

TEST(Package, RefusedArchivesPrintOneLineExitTwoAndChangeNothing) {
    PackRun r;
    auto archive = r.zip(5);
    const std::string hash = hashOf(archive), path = archive.string(), incompatible = "功能包 manifest 不兼容或字段无效";
    std::string upperHash = hash;
    for (auto& c : upperHash) c = char(std::toupper(c));
    // Archives one byte over the size limit, of exactly the limit, and empty.
    test::writeFile(r.dir / "exact.zip", test::readFile(archive) + std::string((10 << 20) - std::filesystem::file_size(archive), '\0'));
    test::writeFile(r.dir / "over.zip", test::readFile(r.dir / "exact.zip") + "x");
    test::writeFile(r.dir / "empty.zip", "");
    test::SigningKey stranger;
    auto strangerKey = stranger.writePublicKeyFile(r.dir / "stranger.json").string();
    auto verify = [&](const std::string& file, const std::string& digest, const char* revision = "5", const char* version = "5.0.0") {
        return std::vector<std::string>{"--verify-feature-pack", file, version, revision, digest};
    };
    const std::string badArchive = "verification failed: 测试功能包压缩文件校验失败";
    const std::tuple<std::vector<std::string>, test::Environment, std::string> cases[] = {
        {verify(path, std::string(64, '0')), {}, badArchive},
        {verify(path, upperHash), {}, badArchive},
        {verify((r.dir / "over.zip").string(), hashOf(r.dir / "over.zip")), {}, badArchive},
        {verify((r.dir / "empty.zip").string(), hashOf(r.dir / "empty.zip")), {}, badArchive},
        {verify(path, hash, "5 "), {}, "verification failed: " + incompatible},
        {verify(path, hash, "5", "5.0.1"), {}, "verification failed: " + incompatible},
        {verify(r.keyFile.string(), hashOf(r.keyFile)), {}, "verification failed: 测试功能包解压失败"},
        {{"--stage-feature-pack", path, "5.0.0", "5", hash}, {{"VORDA_FEATURE_PUBLIC_KEY", strangerKey}}, "staging failed: 功能包数字签名无效"},
        {{"--stage-feature-pack", path, "5.0.0", "-5", hash}, {}, "staging failed: 功能包修订号无效"},
    };
    for (const auto& [arguments, environment, error] : cases) {
        auto output = r.run(arguments, environment);
        EXPECT_EQ(std::tie(output.status, output.out, output.err), std::make_tuple(2, "", "feature pack " + error + "\n"));
        EXPECT_TRUE(r.untouched()) << error;
    }
    EXPECT_NE(r.run(verify((r.dir / "exact.zip").string(), hashOf(r.dir / "exact.zip"))).err, "feature pack " + badArchive + "\n");
    // A relative archive path is taken against the working directory.
    auto ok = r.run(verify("pack.zip", hash, "+5"), {}, r.dir.path());
    EXPECT_EQ(std::tie(ok.status, ok.out, ok.err), std::make_tuple(0, "feature pack verification ok\n", ""));
    EXPECT_TRUE(r.untouched());
}

TEST(Package, HostileArchivesChangeNothingOutsideTheirStagingFolder) {
    PackRun r;
    auto outside = r.dir / "outside";
    test::writeFile(outside / "victim.txt", "untouched");
    const std::vector<std::vector<test::ZipEntry>> cases = {
        {{(outside / "absolute.txt").string(), "x"}},
        {{"../../outside/dotdot.txt", "x"}, {"a/../../../outside/victim.txt", "overwritten"}},
        {{"link", outside.string(), 0120777}},
        {{"link", outside.string(), 0120777}, {"link/through.txt", "x"}, {"link/victim.txt", "overwritten"}},
        {{"assets", "../../../outside", 0120777}, {"assets/through.png", "x"}},
    };
    for (const auto& entries : cases) {
        auto archive = test::writeCraftedZip(r.dir / "hostile.zip", entries).string();
        for (const char* mode : {"--verify-feature-pack", "--stage-feature-pack"}) {
            auto output = r.run({mode, archive, "1.0.0", "1", hashOf(archive)});
            EXPECT_EQ(std::tie(output.status, output.out), std::make_tuple(2, "")) << entries[0].name << " " << mode;
            EXPECT_TRUE(r.untouched()) << entries[0].name;
        }
        EXPECT_EQ(test::readFile(outside / "victim.txt"), "untouched");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(outside), {}), 1) << entries[0].name;
    }
    // Other archive formats are not unpacked at all.
    test::writePack(r.dir / "tar-src", test::PackSpec(), r.key);
    auto tarball = r.dir / "pack.tar";
    ASSERT_EQ(test::runCaptured({"/usr/bin/bsdtar", "-cf", tarball.string(), "-C", (r.dir / "tar-src").string(), "."}).status, 0);
    EXPECT_EQ(r.run({"--stage-feature-pack", tarball.string(), "1.0.0", "1", hashOf(tarball)}).err, "feature pack staging failed: 功能包解压失败\n");
}

TEST(Package, StageActivatesAtOnceAndPrepareQuarantinesABrokenPack) {
    PackRun r;
    auto archive = r.zip(5);
    auto output = r.run({"--stage-feature-pack", archive.string(), "5.0.0", "5", hashOf(archive)});
    EXPECT_EQ(output.status, 0) << output.err;
    EXPECT_EQ(output.out,
              "feature pack staged revision=5; activation deferred until next launch\n"
              "feature pack activated revision=5 version=5.0.0\n"
              "feature pack staged and activated revision=5\n");
    auto state = nlohmann::json::parse(test::readFile(r.store / "state.json"));
    EXPECT_EQ(state["active"]["archiveSHA256"], hashOf(archive));
    EXPECT_FALSE(state.contains("pending") || state.contains("previous"));
    EXPECT_TRUE(std::filesystem::is_directory(r.store / "versions/5") && std::filesystem::is_empty(r.store / "staging"));

    test::writeFile(r.store / "versions/5/ui.json", "{}");
    output = r.run({"--prepare-feature-pack-state"});
    EXPECT_EQ(output.status, 0);
    EXPECT_EQ(output.out,
              "active feature pack invalid revision=5: 功能包文件校验失败：ui.json\n"
              "feature pack quarantined revision=5: 当前功能包验证失败：功能包文件校验失败：ui.json\n"
              "feature pack prepared revision=0\n");
    EXPECT_EQ(nlohmann::json::parse(test::readFile(r.store / "state.json"))["quarantinedRevisions"], nlohmann::json::array({5}));
}

TEST(Package, ThePublicKeyComesFromThePackageUnlessTheVariableIsSet) {
    PackRun r;
    auto archive = r.zip(4);
    // A copy of the package carrying the test's key as its own resource.
    auto copy = r.dir / "Copy.app";
    ASSERT_EQ(test::runCaptured({"/bin/cp", "-a", kPackage.string(), copy.string()}).status, 0);
    std::filesystem::copy_file(r.keyFile, copy / "Contents/Resources/feature-pack-public-key.json",
                               std::filesystem::copy_options::overwrite_existing);
    const std::vector<std::string> verify{"--verify-feature-pack", archive.string(), "4.0.0", "4", hashOf(archive)};
    const std::string copied = (copy / "Contents/MacOS/Taviro").string(), refused = "feature pack verification failed: 功能包数字签名无效\n";
    EXPECT_EQ(r.run(verify, {{"VORDA_FEATURE_PUBLIC_KEY", std::nullopt}}, "/", copied).status, 0);
    EXPECT_EQ(r.run(verify, {{"VORDA_FEATURE_PUBLIC_KEY", (r.dir / "none.json").string()}}, "/", copied).err, refused);
    // The shipped key's private half is not here: it trusts nothing a test can sign.
    EXPECT_EQ(r.run(verify, {{"VORDA_FEATURE_PUBLIC_KEY", std::nullopt}}).err, refused);
}
