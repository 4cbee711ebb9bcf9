#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "featurepack/FeaturePackUpdater.h"
#include "tests/support/PackBuilder.h"

using namespace taviro;
using Revisions = std::vector<std::int64_t>;

namespace {

struct Store {
    test::TempDir dir;
    test::SigningKey key;
    test::ScopedEnv env;
    std::filesystem::path root = dir / "store";
    std::mutex linesMutex;  // the updater logs after its unit of work, so two threads may log at once
    std::vector<std::string> lines;

    Store() {
        env.set("VORDA_FEATURE_PACK_TEST_ROOT", root.string())
            .set("VORDA_FEATURE_PUBLIC_KEY", key.writePublicKeyFile(dir / "key.json").string());
    }
    std::unique_ptr<FeaturePackUpdater> open() {
        return std::make_unique<FeaturePackUpdater>("1.0.73", [this](const std::string& line) {
            std::lock_guard lock(linesMutex);
            lines.push_back(line);
        });
    }
    static std::optional<PackRecord> record(std::int64_t revision) {
        if (revision == 0) return std::nullopt;
        return PackRecord{std::to_string(revision) + ".0.0", revision, std::string(64, 'c'), "2026-12-01T00:00:00Z"};
    }
    // Writes a signed pack of `revision` into `folder`; a broken one then fails its hash check.
    void writePack(const std::filesystem::path& folder, std::int64_t revision, bool broken = false) {
        test::writePack(folder, test::PackSpec{.revision = revision, .version = std::to_string(revision) + ".0.0"}, key);
        if (broken) test::writeFile(folder / "ui.json", "{}");
    }
    void install(std::int64_t revision, bool broken = false) { writePack(root / "versions" / std::to_string(revision), revision, broken); }
    VoidResult stage(FeaturePackUpdater& updater, std::int64_t revision) {
        auto name = std::to_string(revision);
        writePack(dir / ("src-" + name), revision);
        auto archive = test::zipFolder(dir / ("src-" + name), dir / ("pack-" + name + ".zip"));
        return updater.stageArchiveForTesting(archive, name + ".0.0", revision, *FeaturePackUpdater::sha256(archive));
    }
    std::set<std::string> folders(const char* under = "versions") {
        std::set<std::string> names;
        for (auto& entry : std::filesystem::directory_iterator(root / under)) names.insert(entry.path().filename());
        return names;
    }
    State onDisk() { return decodeState(test::readFile(root / "state.json")).value_or(State{{}, {}, {}, {-1}, "unreadable"}); }
};

std::int64_t revisionOf(const std::optional<PackRecord>& record) { return record ? record->revision : 0; }

}  // namespace

TEST(PackLifecycle, LaunchPromotesPendingAndQuarantinesWhatFailsItsCheck) {
    struct Case {
        Revisions valid, broken;                 // pack folders in the store
        std::int64_t active, previous, pending;  // the state before; 0: none
        std::int64_t activeAfter, previousAfter;
        Revisions quarantined;
        std::string lastError;  // ending in "*": a prefix
        std::string firstLinePrefix;
    };
    const Case cases[] = {
        {{1, 2}, {}, 1, 0, 2, 2, 1, {}, "", "feature pack activated revision=2 version=2.0.0"},
        {{1}, {2}, 1, 0, 2, 1, 0, {2}, "待启用功能包验证失败：功能包文件校验失败：ui.json", "feature pack quarantined revision=2: 待启用"},
        {{2}, {1}, 1, 0, 2, 2, 1, {}, "", "feature pack activated"},  // the broken active becomes previous
        {{1}, {}, 3, 1, 0, 1, 0, {3}, "当前功能包验证失败：cannot open*", "active feature pack invalid revision=3: cannot open"},
        {{}, {2, 4}, 4, 9, 2, 0, 0, {2, 4}, "当前功能包验证失败：功能包文件校验失败：ui.json", "feature pack quarantined revision=2"},
        {{}, {}, 0, 0, 0, 0, 0, {}, "old", ""},
    };
    for (const auto& c : cases) {
        Store store;
        for (auto revision : c.valid) store.install(revision);
        for (auto revision : c.broken) store.install(revision, true);
        ASSERT_TRUE(store.open()->updateState([&](State& st) {
            st = State{Store::record(c.active), Store::record(c.previous), Store::record(c.pending), {}, "old"};
        }));
        auto updater = store.open();
        auto foldersBefore = store.folders();
        updater->prepareForLaunch();
        State after = updater->snapshot();
        SCOPED_TRACE(testing::Message() << "active " << c.active << " pending " << c.pending << ": " << after.lastError);
        EXPECT_EQ(std::make_tuple(revisionOf(after.active), revisionOf(after.previous), revisionOf(after.pending)),
                  std::make_tuple(c.activeAfter, c.previousAfter, std::int64_t{0}));
        EXPECT_EQ(after.quarantinedRevisions, c.quarantined);
        EXPECT_TRUE(c.lastError.ends_with("*") ? after.lastError.starts_with(c.lastError.substr(0, c.lastError.size() - 1))
                                               : after.lastError == c.lastError);
        EXPECT_TRUE((store.lines.empty() ? "" : store.lines[0]).starts_with(c.firstLinePrefix));
        EXPECT_EQ(store.onDisk(), after);
        EXPECT_EQ(store.folders(), foldersBefore) << "a launch removes no folder";
    }
}

TEST(PackLifecycle, StartupAndManualRollbacks) {
    Store store;
    store.install(1), store.install(2);
    auto updater = store.open();
    EXPECT_FALSE(updater->rollbackAfterStartupFailure()) << "no active pack";
    EXPECT_FALSE(updater->requestManualRollback()) << "no previous pack";
    EXPECT_FALSE(std::filesystem::exists(store.root / "state.json")) << "refusals write nothing";

    // Manual: active and previous swap for the next launch; pending is dropped.
    updater->updateState([](State& st) { st = State{Store::record(2), Store::record(1), Store::record(3), {}, ""}; });
    EXPECT_TRUE(updater->requestManualRollback());
    EXPECT_EQ(store.lines.back(), "manual feature pack rollback scheduled active=1");
    EXPECT_EQ(store.onDisk(), (State{Store::record(1), Store::record(2), {}, {}, "用户选择恢复上一功能包；下次启动生效"}));
    // A broken previous pack: nothing moves, the failure is remembered, nothing is logged.
    store.install(2, true);
    auto linesBefore = store.lines.size();
    EXPECT_FALSE(updater->requestManualRollback());
    EXPECT_EQ(store.onDisk(), (State{Store::record(1), Store::record(2), {}, {}, "上一功能包验证失败，无法恢复"}));
    EXPECT_EQ(store.lines.size(), linesBefore);

    // Startup: the active pack is quarantined (once), the previous one taken when it is valid.
    store.install(2);
    updater->updateState([](State& st) { st = State{Store::record(2), Store::record(1), {}, {2}, ""}; });
    EXPECT_TRUE(updater->rollbackAfterStartupFailure());
    EXPECT_EQ(store.onDisk(), (State{Store::record(1), {}, {}, {2}, "功能包启用后本地服务未通过健康检查"}));
    EXPECT_EQ(std::vector(store.lines.end() - 2, store.lines.end()),
              (std::vector<std::string>{"feature pack quarantined revision=2: 功能包启用后本地服务未通过健康检查",
                                        "feature pack startup rollback from revision=2 to revision=1"}));
    EXPECT_TRUE(updater->rollbackAfterStartupFailure());
    EXPECT_EQ(store.lines.back(), "feature pack startup rollback from revision=1 to revision=0");
    EXPECT_EQ(store.onDisk().quarantinedRevisions, (Revisions{1, 2}));
    // No active pack but a previous one: it becomes active, and previous becomes absent.
    updater->updateState([](State& st) { st.previous = Store::record(1); });
    EXPECT_TRUE(updater->requestManualRollback());
    EXPECT_EQ(std::make_pair(updater->activeRevision(), updater->hasPrevious()), std::make_pair(std::int64_t{1}, false));
}

TEST(PackLifecycle, StagingSetsPendingPrunesTheRestAndTheNextLaunchActivates) {
    Store store;
    auto updater = store.open();
    store.install(1);
    updater->updateState([](State& st) { st.active = Store::record(1); });
    // Strays that pruning clears, an old folder of the staged revision, and "+1", which names
    // the active revision.
    for (const char* stray : {"notes.txt", ".hidden/x", "abc/x", "7/stale.txt"}) test::writeFile(store.root / "versions" / stray, "x");
    std::filesystem::create_directories(store.root / "versions/+1");

    ASSERT_TRUE(store.stage(*updater, 7));
    EXPECT_EQ(store.lines.back(), "feature pack staged revision=7; activation deferred until next launch");
    EXPECT_EQ(store.folders(), (std::set<std::string>{"+1", "1", "7"}));
    EXPECT_EQ(revisionOf(store.onDisk().pending), 7);
    EXPECT_TRUE(store.folders("staging").empty());
    EXPECT_TRUE(std::filesystem::exists(store.dir / "pack-7.zip")) << "the archive belongs to the caller";
    // A newer staging replaces the pending pack, and pruning drops the replaced one's folder.
    ASSERT_TRUE(store.stage(*updater, 8));
    EXPECT_EQ(store.folders(), (std::set<std::string>{"+1", "1", "8"}));
    updater->prepareForLaunch();
    EXPECT_EQ(std::make_pair(updater->activeRevision(), revisionOf(updater->snapshot().previous)), std::make_pair(std::int64_t{8}, std::int64_t{1}));
}

TEST(PackLifecycle, BackgroundStagingAndPageRollbacksDoNotInterleave) {
    Store store;
    store.install(1), store.install(2);
    auto updater = store.open();
    updater->updateState([](State& st) { st.active = Store::record(2), st.previous = Store::record(1); });
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int revision = 10; revision < 16; ++revision) EXPECT_TRUE(store.stage(*updater, revision));
        done = true;
    });
    int rollbacks = 0;
    while (!done) {
        rollbacks += updater->requestManualRollback();
        auto revision = updater->environment()["VORDA_FEATURE_PACK_REVISION"];
        EXPECT_TRUE(revision == "1" || revision == "2") << revision;
    }
    worker.join();
    EXPECT_GT(rollbacks, 0);
    State final = updater->snapshot();
    EXPECT_EQ(store.onDisk(), final) << "memory and file agree after the last unit of work";
    // Pruning ran under the same lock as the state it read, so the live folders all remain.
    for (auto revision : {revisionOf(final.active), revisionOf(final.previous), std::int64_t{15}}) {
        EXPECT_TRUE(revision == 0 || store.folders().contains(std::to_string(revision))) << revision;
    }
}
