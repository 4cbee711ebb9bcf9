#include <gtest/gtest.h>

#include <atomic>
#include <sys/stat.h>
#include <thread>

#include "featurepack/FeaturePackUpdater.h"
#include "tests/support/TestSupport.h"

using namespace taviro;

namespace {

PackRecord record(std::int64_t revision) { return PackRecord{"v" + std::to_string(revision), revision, "ab", "t"}; }

int regularFiles(const std::filesystem::path& folder) {
    int count = 0;
    for (auto& entry : std::filesystem::directory_iterator(folder)) count += entry.is_regular_file();
    return count;
}

struct Store {
    test::TempDir dir;
    test::ScopedEnv env{"VORDA_FEATURE_PACK_TEST_ROOT", dir.path().string()};
    std::unique_ptr<FeaturePackUpdater> open() { return std::make_unique<FeaturePackUpdater>("1.0.73", nullptr); }
};

}  // namespace

TEST(FeaturePackStore, TheStateFileIsReadStrictlyAndReadingNeverRewritesIt) {
    const std::string r7 = R"({"version":"v7","revision":7,"archiveSHA256":"ab","verifiedAt":"t"})";
    const std::string tail = R"(,"quarantinedRevisions":[],"lastError":""})";
    const std::pair<std::string, std::int64_t> cases[] = {  // the active revision; -1: refused as a whole
        {R"({"active":)" + r7 + R"(,"quarantinedRevisions":[3],"lastError":"x"})", 7}, {R"({"active":null,"previous":null)" + tail, 0},
        {R"({"extra":1,"active":)" + r7 + tail, 7}, {R"({"active":{"version":"v7","revision":7.0,"archiveSHA256":"ab","verifiedAt":"t"})" + tail, 7},
        {R"({"active":{"version":"v7","revision":7.5,"archiveSHA256":"ab","verifiedAt":"t"})" + tail, -1},
        {R"({"active":{"version":"v7","revision":"7","archiveSHA256":"ab","verifiedAt":"t"})" + tail, -1},
        {R"({"active":{"version":"v7","revision":7,"archiveSHA256":"ab"})" + tail, -1}, {R"({"active":7)" + tail, -1},
        {R"({"active":)" + r7 + R"(,"previous":{"revision":1})" + tail, -1}, {R"({"active":)" + r7 + R"(,"quarantinedRevisions":[]})", -1},
        {R"({"active":)" + r7 + R"(,"lastError":""})", -1}, {R"({"active":)" + r7 + R"(,"quarantinedRevisions":["3"],"lastError":""})", -1},
        {R"({"active":)" + r7 + R"(,"quarantinedRevisions":[],"lastError":null})", -1},
        {"[]", -1}, {"", -1}, {(R"({"active":)" + r7 + tail).substr(0, 60), -1},
    };
    for (const auto& [content, active] : cases) {
        auto decoded = decodeState(content);
        EXPECT_EQ(decoded ? (decoded->active ? decoded->active->revision : 0) : -1, active) << content;
    }
    // A refused file gives the built-in rules and stays as it was.
    Store store;
    test::writeFile(store.dir / "state.json", cases[4].first);
    EXPECT_EQ(store.open()->snapshot(), State::empty());
    EXPECT_EQ(test::readFile(store.dir / "state.json"), cases[4].first);
}

TEST(FeaturePackStore, WritesAreAtomicPrivateAndLeaveAbsentSlotsOut) {
    Store store;
    State expected{record(7), {}, {}, {}, "功能包数字签名无效"};
    auto updater = store.open();
    ASSERT_TRUE(updater->updateState([&](State& state) { state = expected; }));
    EXPECT_EQ(test::readFile(store.dir / "state.json"), R"({"active":{"archiveSHA256":"ab","revision":7,"verifiedAt":"t","version":"v7"},)"
                                                        R"("lastError":"功能包数字签名无效","quarantinedRevisions":[]})");
    struct stat info{};
    EXPECT_EQ(::stat((store.dir / "state.json").c_str(), &info) == 0 ? info.st_mode & 07777 : 0, 0600u);
    EXPECT_EQ(store.open()->snapshot(), expected);
    EXPECT_EQ(updater->environment()["VORDA_FEATURE_PACK_ROOT"], (store.dir / "versions" / "7").string());
    EXPECT_EQ(regularFiles(store.dir.path()), 1) << "no temporary file stays beside the state";

    // The state's name taken by a non-empty folder: the final rename fails, the change stays in
    // memory, the temporary file goes.
    auto blockedRoot = store.dir / "blocked";
    test::ScopedEnv env("VORDA_FEATURE_PACK_TEST_ROOT", blockedRoot.string());
    std::filesystem::create_directories(blockedRoot / "state.json" / "inside");
    auto blocked = store.open();
    auto result = blocked->updateState([](State& state) { state.active = record(9); });
    EXPECT_TRUE(!result && result.error().domain == "POSIX");
    EXPECT_EQ(blocked->activeRevision(), 9);
    EXPECT_EQ(regularFiles(blockedRoot), 0);
    // A root that cannot be created at all.
    env.set("VORDA_FEATURE_PACK_TEST_ROOT", (store.dir / "state.json" / "store").string());
    EXPECT_FALSE(store.open()->writeState());
}

TEST(FeaturePackStore, ChannelAndRootComeFromTheEnvironment) {
    test::TempDir home;
    test::ScopedEnv env;
    for (const char* value : {"Beta", "beta ", "", "stable"}) {
        env.set("VORDA_FEATURE_CHANNEL", value);
        EXPECT_EQ(FeaturePackUpdater("1", nullptr).channel(), "stable") << value;
    }
    env.set("VORDA_FEATURE_CHANNEL", "beta");
    EXPECT_EQ(FeaturePackUpdater("1", nullptr).channel(), "beta");
    env.set("HOME", home.path().string()).set("VORDA_FEATURE_PACK_TEST_ROOT", "").set("XDG_DATA_HOME", (home / "data").string());
    EXPECT_EQ(FeaturePackUpdater("1", nullptr).root(), home / "data/Taviro/feature-packs");
    env.set("XDG_DATA_HOME", "relative/data");  // not a valid XDG value
    EXPECT_EQ(FeaturePackUpdater("1", nullptr).root(), home / ".local/share/Taviro/feature-packs");
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
