#include <gtest/gtest.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <thread>

#include "featurepack/FeaturePackUpdater.h"
#include "tests/support/TestSupport.h"

using namespace taviro;
using test::ScopedEnv;
using test::TempDir;

namespace {

const std::string kRecord7 =
    R"({"version":"1.2.0","revision":7,"archiveSHA256":"ab","verifiedAt":"2026-01-01T00:00:00Z"})";

PackRecord record(std::int64_t revision) {
    return PackRecord{"v" + std::to_string(revision), revision, std::string(64, 'a'), "2026-12-07T10:00:00Z"};
}

struct Store {
    TempDir dir;
    ScopedEnv env{"VORDA_FEATURE_PACK_TEST_ROOT", dir.path().string()};
    std::unique_ptr<FeaturePackUpdater> open() { return std::make_unique<FeaturePackUpdater>("1.0.73", nullptr); }
};

}  // namespace

TEST(FeaturePackStore, EmptyStoreUsesBuiltinRules) {
    Store store;
    auto updater = store.open();
    EXPECT_EQ(updater->activeRevision(), 0);
    EXPECT_EQ(updater->activeVersion(), "builtin-1.0.70");
    EXPECT_FALSE(updater->hasPrevious());
    auto environment = updater->environment();
    EXPECT_EQ(environment, (std::map<std::string, std::string>{
                               {"VORDA_FEATURE_PACK_STATE", (store.dir / "state.json").string()},
                               {"VORDA_FEATURE_PACK_REVISION", "0"},
                               {"VORDA_FEATURE_PACK_VERSION", "builtin-1.0.70"},
                           }));
    // Construction makes the store's folders but writes no state.
    EXPECT_TRUE(std::filesystem::is_directory(store.dir / "versions"));
    EXPECT_TRUE(std::filesystem::is_directory(store.dir / "staging"));
    EXPECT_FALSE(std::filesystem::exists(store.dir / "state.json"));
}

TEST(FeaturePackStore, StateFileIsReadStrictly) {
    struct Case {
        const char* name;
        std::string content;
        std::int64_t activeRevision;  // 0: the whole state came out empty or had no active pack
        bool hasPrevious = false;
    } cases[] = {
        {"complete", R"({"active":)" + kRecord7 + R"(,"quarantinedRevisions":[3],"lastError":"x"})", 7},
        {"null slots", R"({"active":null,"previous":null,"quarantinedRevisions":[],"lastError":""})", 0},
        {"previous only", R"({"previous":)" + kRecord7 + R"(,"quarantinedRevisions":[],"lastError":""})", 0, true},
        {"revision written 7.0", R"({"active":{"version":"1","revision":7.0,"archiveSHA256":"a","verifiedAt":"t"},"quarantinedRevisions":[],"lastError":""})", 7},
        {"unknown keys ignored", R"({"extra":1,"active":)" + kRecord7 + R"(,"quarantinedRevisions":[],"lastError":""})", 7},
        {"no lastError", R"({"active":)" + kRecord7 + R"(,"quarantinedRevisions":[]})", 0},
        {"no quarantinedRevisions", R"({"active":)" + kRecord7 + R"(,"lastError":""})", 0},
        {"record without verifiedAt", R"({"active":{"version":"1","revision":7,"archiveSHA256":"a"},"quarantinedRevisions":[],"lastError":""})", 0},
        {"bad previous spoils active", R"({"active":)" + kRecord7 + R"(,"previous":{"revision":1},"quarantinedRevisions":[],"lastError":""})", 0},
        {"fractional revision", R"({"active":{"version":"1","revision":7.5,"archiveSHA256":"a","verifiedAt":"t"},"quarantinedRevisions":[],"lastError":""})", 0},
        {"revision as text", R"({"active":{"version":"1","revision":"7","archiveSHA256":"a","verifiedAt":"t"},"quarantinedRevisions":[],"lastError":""})", 0},
        {"quarantine holds text", R"({"active":)" + kRecord7 + R"(,"quarantinedRevisions":["3"],"lastError":""})", 0},
        {"lastError null", R"({"active":)" + kRecord7 + R"(,"quarantinedRevisions":[],"lastError":null})", 0},
        {"active is a number", R"({"active":7,"quarantinedRevisions":[],"lastError":""})", 0},
        {"top level array", "[]", 0},
        {"not JSON", "{\"active\":", 0},
        {"truncated", (R"({"active":)" + kRecord7 + R"(,"quarantinedRevisions":[],"lastError":""})").substr(0, 60), 0},
        {"empty file", "", 0},
    };
    for (const auto& c : cases) {
        Store store;
        test::writeFile(store.dir / "state.json", c.content);
        auto updater = store.open();
        EXPECT_EQ(updater->activeRevision(), c.activeRevision) << c.name;
        EXPECT_EQ(updater->hasPrevious(), c.hasPrevious) << c.name;
        if (c.activeRevision == 0 && !c.hasPrevious) {
            EXPECT_EQ(updater->snapshot(), State::empty()) << c.name;
        }
        // Reading never rewrites the file, good or bad.
        EXPECT_EQ(test::readFile(store.dir / "state.json"), c.content) << c.name;
    }
}

TEST(FeaturePackStore, WriteStateRoundTripsAndLeavesAbsentSlotsOut) {
    Store store;
    {
        auto updater = store.open();
        ASSERT_TRUE(updater->updateState([](State& state) {
            state.active = record(7);
            state.lastError = "功能包数字签名无效";
        }));
        auto document = nlohmann::json::parse(test::readFile(store.dir / "state.json"));
        EXPECT_TRUE(document.contains("active"));
        EXPECT_FALSE(document.contains("previous"));
        EXPECT_FALSE(document.contains("pending"));
        EXPECT_EQ(document["quarantinedRevisions"], nlohmann::json::array());
        EXPECT_EQ(document["active"]["archiveSHA256"], std::string(64, 'a'));
        struct stat info{};
        ASSERT_EQ(::stat((store.dir / "state.json").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0600u);

        auto environment = updater->environment();
        EXPECT_EQ(environment["VORDA_FEATURE_PACK_REVISION"], "7");
        EXPECT_EQ(environment["VORDA_FEATURE_PACK_VERSION"], "v7");
        std::filesystem::path packRoot = environment["VORDA_FEATURE_PACK_ROOT"];
        EXPECT_EQ(packRoot, store.dir / "versions" / "7");
        EXPECT_NE(environment["VORDA_FEATURE_PACK_ROOT"].back(), '/');
    }
    auto reopened = store.open();
    State expected;
    expected.active = record(7);
    expected.lastError = "功能包数字签名无效";
    EXPECT_EQ(reopened->snapshot(), expected);
    // No temporary file stays beside the state.
    int entries = 0;
    for (auto& entry : std::filesystem::directory_iterator(store.dir.path())) entries += entry.is_regular_file();
    EXPECT_EQ(entries, 1);
}

TEST(FeaturePackStore, FailedWriteIsReportedAndKeepsTheOldFile) {
    Store store;
    auto updater = store.open();
    ASSERT_TRUE(updater->updateState([](State& state) { state.active = record(3); }));
    std::string before = test::readFile(store.dir / "state.json");

    // The state's name is taken by a non-empty folder: the rename must fail.
    auto blockedRoot = store.dir / "blocked";
    ScopedEnv env("VORDA_FEATURE_PACK_TEST_ROOT", blockedRoot.string());
    auto blocked = store.open();
    std::filesystem::create_directories(blockedRoot / "state.json" / "inside");
    auto result = blocked->updateState([](State& state) { state.active = record(9); });
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().domain, "POSIX");
    EXPECT_FALSE(result.error().description.empty());
    EXPECT_EQ(blocked->activeRevision(), 9) << "the change stays in memory";
    EXPECT_TRUE(std::filesystem::is_directory(blockedRoot / "state.json" / "inside"));
    int leftovers = 0;
    for (auto& entry : std::filesystem::directory_iterator(blockedRoot)) leftovers += entry.is_regular_file();
    EXPECT_EQ(leftovers, 0) << "temporary file removed";

    // A root that cannot be created at all.
    test::writeFile(store.dir / "plain-file", "x");
    ScopedEnv fileRoot("VORDA_FEATURE_PACK_TEST_ROOT", (store.dir / "plain-file" / "store").string());
    auto impossible = store.open();
    EXPECT_FALSE(impossible->writeState());
    EXPECT_EQ(test::readFile(store.dir / "state.json"), before);
}

TEST(FeaturePackStore, ChannelIsBetaOnlyForTheExactWord) {
    struct Case {
        std::optional<std::string> value;
        const char* expected;
    } cases[] = {{"beta", "beta"}, {"Beta", "stable"}, {"beta ", "stable"}, {"", "stable"},
                 {"stable", "stable"}, {std::nullopt, "stable"}};
    Store store;
    for (const auto& c : cases) {
        ScopedEnv env("VORDA_FEATURE_CHANNEL", c.value);
        EXPECT_EQ(store.open()->channel(), c.expected) << c.value.value_or("<absent>");
    }
}

TEST(FeaturePackStore, RootComesFromTestRootOrTheUserDataFolder) {
    TempDir home;
    ScopedEnv env;
    env.set("HOME", home.path().string()).set("XDG_DATA_HOME", std::nullopt).set("VORDA_FEATURE_PACK_TEST_ROOT", "");
    EXPECT_EQ(FeaturePackUpdater("1", nullptr).root(), home / ".local/share/Taviro/feature-packs");
    EXPECT_TRUE(std::filesystem::is_directory(home / ".local/share/Taviro/feature-packs/versions"));

    env.set("XDG_DATA_HOME", (home / "data").string());
    EXPECT_EQ(FeaturePackUpdater("1", nullptr).root(), home / "data/Taviro/feature-packs");
    env.set("XDG_DATA_HOME", "relative/data");  // not a valid XDG value
    EXPECT_EQ(FeaturePackUpdater("1", nullptr).root(), home / ".local/share/Taviro/feature-packs");

    env.set("VORDA_FEATURE_PACK_TEST_ROOT", (home / "store").string());
    FeaturePackUpdater updater("1", nullptr);
    EXPECT_EQ(updater.root(), home / "store");
    EXPECT_EQ(updater.statePath(), (home / "store/state.json").string());
    EXPECT_TRUE(std::filesystem::is_directory(home / "store/versions"));
    EXPECT_TRUE(std::filesystem::is_directory(home / "store/staging"));
}

TEST(FeaturePackStore, StateChangedOnDiskLaterIsNotSeen) {
    Store store;
    auto updater = store.open();
    test::writeFile(store.dir / "state.json", R"({"active":)" + kRecord7 + R"(,"quarantinedRevisions":[],"lastError":""})");
    EXPECT_EQ(updater->activeRevision(), 0);
}

TEST(FeaturePackStore, ReadersOnOtherThreadsNeverSeeAHalfChangedState) {
    Store store;
    auto updater = store.open();
    constexpr int kChanges = 300;
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};

    // Every change moves active to n and previous to n - 1 and names n in lastError; a reader
    // that sees these out of step has seen half a change.
    std::thread writer([&] {
        for (int n = 1; n <= kChanges; ++n) {
            auto written = updater->updateState([n](State& state) {
                state.previous = state.active;
                state.active = record(n);
                state.lastError = std::to_string(n);
            });
            if (!written) torn++;
        }
        done = true;
    });
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            while (!done) {
                State state = updater->snapshot();
                if (state.active) {
                    auto n = state.active->revision;
                    if (state.lastError != std::to_string(n) || (n > 1 && (!state.previous || state.previous->revision != n - 1))) torn++;
                }
                auto environment = updater->environment();
                auto revision = environment["VORDA_FEATURE_PACK_REVISION"];
                if (revision != "0" && environment["VORDA_FEATURE_PACK_VERSION"] != "v" + revision) torn++;
            }
        });
    }
    writer.join();
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(store.open()->activeRevision(), kChanges);
}
