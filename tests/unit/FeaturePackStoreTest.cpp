#include <gtest/gtest.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <thread>

#include "featurepack/FeaturePackUpdater.h"
#include "tests/support/TestSupport.h"

using namespace taviro;
using test::ScopedEnv;

namespace {

PackRecord record(std::int64_t revision) {
    return PackRecord{"v" + std::to_string(revision), revision, std::string(64, 'a'), "2026-12-07T10:00:00Z"};
}

int regularFiles(const std::filesystem::path& folder) {
    int count = 0;
    for (auto& entry : std::filesystem::directory_iterator(folder)) count += entry.is_regular_file();
    return count;
}

struct Store {
    test::TempDir dir;
    ScopedEnv env{"VORDA_FEATURE_PACK_TEST_ROOT", dir.path().string()};
    std::unique_ptr<FeaturePackUpdater> open() { return std::make_unique<FeaturePackUpdater>("1.0.73", nullptr); }
};

}  // namespace

TEST(FeaturePackStore, AnEmptyStoreRunsTheBuiltInRulesAndWritesNothing) {
    Store store;
    auto updater = store.open();
    EXPECT_EQ(updater->environment(), (std::map<std::string, std::string>{
                                          {"VORDA_FEATURE_PACK_STATE", (store.dir / "state.json").string()},
                                          {"VORDA_FEATURE_PACK_REVISION", "0"},
                                          {"VORDA_FEATURE_PACK_VERSION", "builtin-1.0.70"}}));
    EXPECT_TRUE(std::filesystem::is_directory(store.dir / "versions") && std::filesystem::is_directory(store.dir / "staging"));
    EXPECT_FALSE(std::filesystem::exists(store.dir / "state.json"));
}

TEST(FeaturePackStore, TheStateFileIsReadStrictlyAndNeverRewrittenByReading) {
    const std::string r7 = R"({"version":"1.2.0","revision":7,"archiveSHA256":"ab","verifiedAt":"t"})";
    const std::string tail = R"(,"quarantinedRevisions":[],"lastError":""})";
    const std::pair<std::string, std::int64_t> cases[] = {  // the active revision; -1: refused as a whole
        {R"({"active":)" + r7 + R"(,"quarantinedRevisions":[3],"lastError":"x"})", 7},
        {R"({"active":null,"previous":null)" + tail, 0},
        {R"({"extra":1,"active":)" + r7 + tail, 7},
        {R"({"active":{"version":"1","revision":7.0,"archiveSHA256":"a","verifiedAt":"t"})" + tail, 7},
        {R"({"active":{"version":"1","revision":7.5,"archiveSHA256":"a","verifiedAt":"t"})" + tail, -1},
        {R"({"active":{"version":"1","revision":"7","archiveSHA256":"a","verifiedAt":"t"})" + tail, -1},
        {R"({"active":{"version":"1","revision":7,"archiveSHA256":"a"})" + tail, -1},
        {R"({"active":)" + r7 + R"(,"previous":{"revision":1})" + tail, -1},
        {R"({"active":)" + r7 + R"(,"quarantinedRevisions":[]})", -1},
        {R"({"active":)" + r7 + R"(,"lastError":""})", -1},
        {R"({"active":)" + r7 + R"(,"quarantinedRevisions":["3"],"lastError":""})", -1},
        {R"({"active":)" + r7 + R"(,"quarantinedRevisions":[],"lastError":null})", -1},
        {R"({"active":7)" + tail, -1},
        {"[]", -1}, {"", -1}, {(R"({"active":)" + r7 + tail).substr(0, 60), -1},
    };
    for (const auto& [content, active] : cases) {
        auto decoded = decodeState(content);
        EXPECT_EQ(decoded ? (decoded->active ? decoded->active->revision : 0) : -1, active) << content;
        Store store;
        test::writeFile(store.dir / "state.json", content);
        EXPECT_EQ(store.open()->activeRevision(), std::max<std::int64_t>(active, 0)) << content;
        EXPECT_EQ(test::readFile(store.dir / "state.json"), content);
    }
}

TEST(FeaturePackStore, WritesRoundTripPrivatelyAndLeaveAbsentSlotsOut) {
    Store store;
    State expected{record(7), {}, {}, {}, "功能包数字签名无效"};
    {
        auto updater = store.open();
        ASSERT_TRUE(updater->updateState([&](State& state) { state = expected; }));
        auto document = nlohmann::json::parse(test::readFile(store.dir / "state.json"));
        EXPECT_FALSE(document.contains("previous") || document.contains("pending"));
        EXPECT_EQ(document["quarantinedRevisions"], nlohmann::json::array());
        struct stat info{};
        ASSERT_EQ(::stat((store.dir / "state.json").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0600u);
        auto environment = updater->environment();
        EXPECT_EQ(environment["VORDA_FEATURE_PACK_VERSION"], "v7");
        EXPECT_EQ(environment["VORDA_FEATURE_PACK_ROOT"], (store.dir / "versions" / "7").string());
    }
    EXPECT_EQ(store.open()->snapshot(), expected);
    EXPECT_EQ(regularFiles(store.dir.path()), 1) << "no temporary file stays beside the state";
}

TEST(FeaturePackStore, AFailedWriteIsReportedAndKeepsTheOldFile) {
    Store store;
    ASSERT_TRUE(store.open()->updateState([](State& state) { state.active = record(3); }));
    std::string before = test::readFile(store.dir / "state.json");

    // The state's name is taken by a non-empty folder, so the final rename fails.
    auto blockedRoot = store.dir / "blocked";
    ScopedEnv env("VORDA_FEATURE_PACK_TEST_ROOT", blockedRoot.string());
    std::filesystem::create_directories(blockedRoot / "state.json" / "inside");
    auto blocked = store.open();
    auto result = blocked->updateState([](State& state) { state.active = record(9); });
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().domain, "POSIX");
    EXPECT_EQ(blocked->activeRevision(), 9) << "the change stays in memory";
    EXPECT_EQ(regularFiles(blockedRoot), 0) << "temporary file removed";
    // A root that cannot be created at all.
    test::writeFile(store.dir / "plain-file", "x");
    ScopedEnv fileRoot("VORDA_FEATURE_PACK_TEST_ROOT", (store.dir / "plain-file" / "store").string());
    EXPECT_FALSE(store.open()->writeState());
    EXPECT_EQ(test::readFile(store.dir / "state.json"), before);
}

TEST(FeaturePackStore, ChannelAndRootComeFromTheEnvironment) {
    test::TempDir home;
    ScopedEnv env;
    const std::optional<std::string> notBeta[] = {"Beta", "beta ", "", "stable", std::nullopt};
    for (const auto& value : notBeta) {
        env.set("VORDA_FEATURE_CHANNEL", value);
        EXPECT_EQ(FeaturePackUpdater("1", nullptr).channel(), "stable") << value.value_or("(unset)");
    }
    env.set("VORDA_FEATURE_CHANNEL", "beta");
    EXPECT_EQ(FeaturePackUpdater("1", nullptr).channel(), "beta");

    env.set("HOME", home.path().string()).set("XDG_DATA_HOME", std::nullopt).set("VORDA_FEATURE_PACK_TEST_ROOT", "");
    EXPECT_EQ(FeaturePackUpdater("1", nullptr).root(), home / ".local/share/Taviro/feature-packs");
    env.set("XDG_DATA_HOME", (home / "data").string());
    EXPECT_EQ(FeaturePackUpdater("1", nullptr).root(), home / "data/Taviro/feature-packs");
    env.set("XDG_DATA_HOME", "relative/data");  // not a valid XDG value
    EXPECT_EQ(FeaturePackUpdater("1", nullptr).root(), home / ".local/share/Taviro/feature-packs");
    env.set("VORDA_FEATURE_PACK_TEST_ROOT", (home / "store").string());
    EXPECT_EQ(FeaturePackUpdater("1", nullptr).statePath(), (home / "store/state.json").string());
}

TEST(FeaturePackStore, ReadersOnOtherThreadsNeverSeeAHalfChangedState) {
    Store store;
    auto updater = store.open();
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    // Every change moves active to n, previous to n - 1 and names n in lastError; a reader that
    // sees these out of step has seen half a change.
    std::thread writer([&] {
        for (int n = 1; n <= 300; ++n) {
            torn += !updater->updateState([n](State& state) {
                state.previous = state.active, state.active = record(n), state.lastError = std::to_string(n);
            });
        }
        done = true;
    });
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            while (!done) {
                State state = updater->snapshot();
                auto n = state.active ? state.active->revision : 0;
                torn += n > 0 && (state.lastError != std::to_string(n) || (n > 1 && (!state.previous || state.previous->revision != n - 1)));
                auto environment = updater->environment();
                auto revision = environment["VORDA_FEATURE_PACK_REVISION"];
                torn += revision != "0" && environment["VORDA_FEATURE_PACK_VERSION"] != "v" + revision;
            }
        });
    }
    writer.join();
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(store.open()->activeRevision(), 300);
}
