#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "featurepack/FeaturePackUpdater.h"
#include "tests/support/PackBuilder.h"

using namespace taviro;
using Revisions = std::vector<std::int64_t>;
using Slots = std::tuple<std::int64_t, std::int64_t, std::int64_t, Revisions, bool>;  // 0: an empty slot; an error kept
namespace fs = std::filesystem;

namespace {

std::string version(std::int64_t revision) { return std::to_string(revision) + ".0.0"; }

struct Store {
    test::TempDir dir;
    test::SigningKey key;
    fs::path root = dir / "store";
    test::ScopedEnv env{{{"VORDA_FEATURE_PACK_TEST_ROOT", root},
                         {"VORDA_FEATURE_PUBLIC_KEY", key.writePublicKeyFile(dir / "key.json")}}};
    FeaturePackUpdater updater{"1.0.73", nullptr};

    // A signed pack of `revision` in `folder`; a broken one then fails its hash check.
    fs::path pack(std::int64_t revision, bool broken = false, fs::path folder = {}) {
        if (folder.empty()) folder = root / "versions" / std::to_string(revision);
        test::writePack(folder, {.revision = revision, .version = version(revision)}, key);
        return broken ? test::writeFile(folder / "ui.json", "{}"), folder : folder;
    }
    void set(std::int64_t active, std::int64_t previous, std::int64_t pending, Revisions quarantined = {}) {
        auto slot = [](std::int64_t r) { return r ? std::optional(PackRecord{version(r), r, "c", "t"}) : std::nullopt; };
        ASSERT_TRUE(updater.updateState([&](State& st) { st = {slot(active), slot(previous), slot(pending), quarantined, "old", {}}; }));
    }
    // Zips a valid pack of `revision` and stages it.
    auto stage(std::int64_t revision) {
        auto archive = test::zipFolder(pack(revision, false, dir / "src"), dir / "pack.zip");
        fs::remove_all(dir / "src");
        return updater.stageArchiveForTesting(archive, version(revision), revision, *FeaturePackUpdater::sha256(archive));
    }
    // Read back from the file, which must agree with memory.
    Slots onDisk() {
        auto st = decodeState(test::readFile(root / "state.json")).value_or(State{{}, {}, {}, {-1}, "unreadable", {}});
        EXPECT_EQ(st, updater.snapshot());
        auto rev = [](const std::optional<PackRecord>& r) { return r ? r->revision : 0; };
        return {rev(st.active), rev(st.previous), rev(st.pending), st.quarantinedRevisions, !st.lastError.empty()};
    }
};

}  // namespace

TEST(PackLifecycle, LaunchPromotesPendingAndQuarantinesWhatFailsItsCheck) {
    // Pack folders valid and broken, and the slots before and after.
    struct Case { Revisions valid, broken; std::int64_t active, previous, pending; Slots after; };
    const Case cases[] = {
        {{1, 2}, {}, 1, 0, 2, {2, 1, 0, {}, false}}, {{1}, {2}, 1, 0, 2, {1, 0, 0, {2}, true}},
        {{2}, {1}, 1, 0, 2, {2, 1, 0, {}, false}},  // the broken active becomes previous
        {{1}, {3}, 3, 1, 0, {1, 0, 0, {3}, true}}, {{}, {2, 4}, 4, 9, 2, {0, 0, 0, {2, 4}, true}},
        {{}, {}, 0, 0, 0, {0, 0, 0, {}, true}},  // "old" stays
    };
    for (const auto& c : cases) {
        Store store;
        for (auto revision : c.valid) store.pack(revision);
        for (auto revision : c.broken) store.pack(revision, true);
        store.set(c.active, c.previous, c.pending);
        store.updater.prepareForLaunch();
        EXPECT_EQ(store.onDisk(), c.after) << "active " << c.active << " pending " << c.pending;
        EXPECT_EQ(std::distance(fs::directory_iterator(store.root / "versions"), {}), long(c.valid.size() + c.broken.size()));
    }
}

// When the state file cannot be replaced, what is in memory stays what the file says: no swap,
// no promotion of a pack then quarantined while it stays active, no pending pack.
TEST(PackLifecycle, AStateThatCannotBeWrittenIsNotChangedInMemory) {
    Store store;
    store.pack(1), store.pack(2), store.pack(3), store.set(2, 1, 3);
    fs::remove(store.root / "state.json");
    test::writeFile(store.root / "state.json/blocker", "");  // a folder where the file goes
    EXPECT_FALSE(store.updater.requestManualRollback());
    store.updater.prepareForLaunch();
    EXPECT_FALSE(store.stage(4));
    auto state = store.updater.snapshot();
    EXPECT_EQ(std::tuple(state.active->revision, state.previous->revision, state.pending.has_value()), std::tuple(2, 1, false));
}

TEST(PackLifecycle, StartupAndManualRollbacks) {
    Store store;
    store.pack(1), store.pack(2);
    EXPECT_FALSE(store.updater.rollbackAfterStartupFailure() || store.updater.requestManualRollback()) << "no packs";
    EXPECT_FALSE(fs::exists(store.root / "state.json")) << "refusals write nothing";
    // Manual: active and previous swap for the next launch and pending is dropped; with a broken
    // previous pack nothing moves.
    store.set(2, 1, 3);
    EXPECT_TRUE(store.updater.requestManualRollback());
    EXPECT_EQ(store.onDisk(), Slots(1, 2, 0, {}, true));
    store.pack(2, true);
    EXPECT_FALSE(store.updater.requestManualRollback());
    EXPECT_EQ(store.onDisk(), Slots(1, 2, 0, {}, true));
    // Startup: the active pack is quarantined (once), the previous one taken when it is valid.
    store.pack(2), store.set(2, 1, 0, {2});
    EXPECT_TRUE(store.updater.rollbackAfterStartupFailure());
    EXPECT_EQ(store.onDisk(), Slots(1, 0, 0, {2}, true));
    EXPECT_TRUE(store.updater.rollbackAfterStartupFailure());
    EXPECT_EQ(store.onDisk(), Slots(0, 0, 0, {1, 2}, true));
}

TEST(PackLifecycle, BackgroundStagingAndPageRollbacksDoNotInterleave) {
    Store store;
    store.pack(1), store.pack(2), store.set(2, 1, 0);
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (std::int64_t revision = 10; revision < 16; ++revision) EXPECT_TRUE(store.stage(revision));
        done = true;
    });
    int rollbacks = 0;
    while (!done) {
        rollbacks += store.updater.requestManualRollback();
        auto revision = store.updater.environment()["VORDA_FEATURE_PACK_REVISION"];
        EXPECT_TRUE(revision == "1" || revision == "2") << revision;
    }
    worker.join();
    EXPECT_GT(rollbacks, 0);
    // The newest staging is pending unless a rollback dropped it since, and pruning, under the same
    // lock as the state it read, kept exactly the live folders.
    auto pending = std::get<2>(store.onDisk());
    EXPECT_TRUE(pending == 0 || pending == 15) << pending;
    std::set<std::string> folders;
    for (auto& entry : fs::directory_iterator(store.root / "versions")) folders.insert(entry.path().filename());
    EXPECT_EQ(folders, (std::set<std::string>{"1", "2", "15"}));
    EXPECT_TRUE(fs::is_empty(store.root / "staging"));
}
