// The assembled package's headless modes, run as a user would run them.
#include <gtest/gtest.h>

#include <thread>

#include "featurepack/FeaturePackUpdater.h"
#include "tests/support/PackBuilder.h"

using namespace taviro;
using Outcome = std::tuple<int, std::string, std::string>;  // status, standard output, standard error
using Args = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

const fs::path kPackage = TAVIRO_PACKAGE_DIR;

std::string hashOf(const fs::path& file) { return test::sha256Hex(test::readFile(file)); }

struct PackRun {
    test::TempDir dir;
    test::SigningKey key;
    fs::path store = dir / "store", keyFile = key.writePublicKeyFile(dir / "key.json");

    std::string zip(std::int64_t revision) {
        test::writePack(dir / "src", {.revision = revision, .version = std::to_string(revision) + ".0.0"}, key);
        return test::zipFolder(dir / "src", dir / "pack.zip");
    }
    // The test's store and key come first, so `environment` can replace them.
    Outcome run(Args arguments, test::Environment env = {}, const fs::path& cwd = {}) {
        arguments.insert(arguments.begin(), kPackage / "Contents/MacOS/Taviro");
        env.insert(env.begin(), {{"VORDA_FEATURE_PACK_TEST_ROOT", store}, {"VORDA_FEATURE_PUBLIC_KEY", keyFile}});
        auto output = test::runCaptured(arguments, env, cwd);
        return {output.status, output.out, output.err};
    }
    bool untouched() { return fs::is_empty(store / "versions") && fs::is_empty(store / "staging") && !fs::exists(store / "state.json"); }
};

}  // namespace

TEST(HeadlessModes, OnlyTheExactCommandLinesRunHeadlessElseTheWindowNeedsADisplayAndAHome) {
    PackRun r;
    EXPECT_EQ(r.run({"--prepare-feature-pack-state"}, {}, "/"), Outcome(0, "feature pack prepared revision=0\n", ""));
    EXPECT_TRUE(r.untouched());
    // Without the test variable the store lives in the user's data folder.
    const test::Environment home{{"HOME", r.dir / "home"}, {"XDG_DATA_HOME", {}}, {"VORDA_FEATURE_PACK_TEST_ROOT", {}},
                                 {"DISPLAY", {}}, {"WAYLAND_DISPLAY", {}}, {"DBUS_SESSION_BUS_ADDRESS", "disabled:"}};
    EXPECT_EQ(std::get<0>(r.run({"--prepare-feature-pack-state"}, home)), 0);
    EXPECT_TRUE(fs::is_directory(r.dir / "home/.local/share/Taviro/feature-packs/staging"));
    for (std::string option : {"--help", "--version"}) {  // alone, they print and exit, with no display
        auto [status, out, err] = r.run({option}, home);
        EXPECT_TRUE(status == 0 && err.empty() && out.contains(option == "--help" ? "--stage-feature-pack ARCHIVE" : "Taviro 1.")) << out;
    }
    // One of each: no arguments, one too many, letter case, one too few.
    for (const Args& arguments : {Args{}, {"--prepare-feature-pack-state", "x"}, {"--Prepare-feature-pack-state"},
                                  {"--stage-feature-pack", r.zip(6), "6.0.0"}, {"--version", "x"}}) {
        auto [status, out, err] = r.run(arguments, home);
        // Nothing was launched: the service would have made its data folder.
        EXPECT_TRUE(status == 1 && out.empty() && err.contains("cannot open display") &&
                    !fs::exists(r.dir / "home/.ostrelin-video-web")) << err;
    }
    // Without any home folder nothing starts, in no mode: there is no private place for the data.
    if (::geteuid() != 0) return;  // only root can become a user the password database does not know
    const fs::path copy = r.dir / "Taviro.app/Contents/MacOS/Taviro";
    fs::create_directories(copy.parent_path()), fs::copy_file(kPackage / "Contents/MacOS/Taviro", copy);
    fs::permissions(r.dir.path(), fs::perms::all);
    for (const Args& arguments : {Args{}, {"--prepare-feature-pack-state"}}) {
        Args command{"/usr/bin/setpriv", "--reuid=54321", "--regid=54321", "--clear-groups", copy};
        command.insert(command.end(), arguments.begin(), arguments.end());
        auto run = test::runCaptured(command, {{"HOME", {}}});
        EXPECT_TRUE(run.status == 1 && run.out.empty() && run.err.starts_with("Taviro cannot start: no home folder"))
            << run.status << run.err;
    }
}

TEST(HeadlessModes, RefusedArchivesPrintOneLineExitTwoAndChangeNothing) {
    PackRun r;
    const std::string path = r.zip(5), hash = hashOf(path), over = r.dir / "over.zip", tar = r.dir / "pack.tar";
    test::writeFile(over, test::readFile(path) + std::string((10 << 20) + 1 - fs::file_size(path), '\0'));
    // Other archive formats, which may carry devices and hard links, are not unpacked at all.
    ASSERT_EQ(test::runCaptured({"/usr/bin/bsdtar", "-cf", tar, "-C", r.dir / "src", "."}).status, 0);
    auto verify = [&](const std::string& file, const char* revision = "5") {
        return Args{"--verify-feature-pack", file, "5.0.0", revision, hashOf(r.dir.path() / file)};
    };
    const std::string badArchive = "verification failed: 测试功能包压缩文件校验失败";
    // A listed file above its limit is judged by the file list, not cut off while unpacking.
    test::writePack(r.dir / "big", {.revision = 5, .version = "5.0.0", .files = {{"assets/big.png", std::string((5 << 20) + 1, 'p')}}}, r.key);
    const std::string big = r.dir / "big.zip";
    ASSERT_EQ(test::runCaptured({"/usr/bin/bsdtar", "--format", "zip", "-cf", big, "-C", r.dir / "big", "."}).status, 0);
    const std::tuple<Args, test::Environment, std::string> cases[] = {
        {{"--verify-feature-pack", path, "5.0.0", "5", std::string(64, '0')}, {}, badArchive},
        {verify(over), {}, badArchive}, {verify(path, "5 "), {}, "verification failed: 功能包 manifest 不兼容或字段无效"},
        {verify(tar), {}, "verification failed: 测试功能包解压失败"}, {verify(big), {}, "verification failed: 功能包文件清单无效"},
        {{"--stage-feature-pack", path, "5.0.0", "-5", hash}, {}, "staging failed: 功能包修订号无效"},
        // The package's own key, whose private half is not here, trusts nothing a test can sign.
        {verify(path), {{"VORDA_FEATURE_PUBLIC_KEY", {}}}, "verification failed: 功能包数字签名无效"},
    };
    for (const auto& [arguments, environment, error] : cases) {
        EXPECT_EQ(r.run(arguments, environment), Outcome(2, "", "feature pack " + error + "\n"));
        EXPECT_TRUE(r.untouched()) << error;
    }
    // A relative archive path is taken against the working directory. Staging that activates at once
    // is how the end-to-end tests install their signed packs.
    EXPECT_EQ(r.run(verify("pack.zip", "+5"), {}, r.dir.path()), Outcome(0, "feature pack verification ok\n", ""));
    EXPECT_TRUE(r.untouched());
}

// A window's store and headless runs share the store (the window stages downloaded packs, a
// launch's preparation runs again and again beside the stagings): each takes the store's lock and
// reads the state afresh, so none undoes another's state or deletes a pack the state names.
TEST(HeadlessModes, RunsSharingTheStoreNeitherUndoNorDeleteOneAnothersWork) {
    PackRun r;
    test::ScopedEnv env{{{"VORDA_FEATURE_PACK_TEST_ROOT", r.store}, {"VORDA_FEATURE_PUBLIC_KEY", r.keyFile}}};
    FeaturePackUpdater window("1.0.73", nullptr);
    std::atomic<bool> done{false};
    std::jthread launches([&] {
        while (!done) EXPECT_EQ(std::get<0>(r.run({"--prepare-feature-pack-state"})), 0);
    });
    for (int revision = 1; revision <= 12; ++revision) {  // odd ones headless, even ones by the window
        const std::string zip = r.zip(revision), number = std::to_string(revision), version = number + ".0.0";
        EXPECT_TRUE(revision % 2 == 0 ? window.stageArchiveForTesting(zip, version, revision, hashOf(zip)).has_value()
                                      : std::get<0>(r.run({"--stage-feature-pack", zip, version, number, hashOf(zip)})) == 0)
            << revision;
    }
    done = true;
    launches = {};
    // The last headless staging is active, or previous once a launch has promoted the window's.
    const State state = decodeState(test::readFile(r.store / "state.json")).value_or(State{});
    auto named = [](const std::optional<PackRecord>& slot, int revision) { return slot && slot->revision == revision; };
    EXPECT_TRUE(named(state.active, 11) ? named(state.pending, 12) : named(state.previous, 11) && named(state.active, 12));
    for (const char* kept : {"11", "12"}) EXPECT_TRUE(fs::exists(r.store / "versions" / kept / "ui.json")) << kept;
}
