#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "featurepack/FeaturePackUpdater.h"
#include "tests/support/PackBuilder.h"

using namespace taviro;
using test::PackSpec;

namespace {

struct Store {
    test::TempDir dir;
    test::SigningKey key;
    test::ScopedEnv env;
    std::filesystem::path root = dir / "store";
    std::mutex linesMutex;
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

    static PackSpec spec(std::int64_t revision) {
        PackSpec spec;
        spec.revision = revision;
        spec.version = std::to_string(revision) + ".0.0";
        return spec;
    }
    static PackRecord record(std::int64_t revision) {
        return PackRecord{std::to_string(revision) + ".0.0", revision, std::string(64, 'c'), "2026-12-01T00:00:00Z"};
    }
    // Installs a valid pack folder for `revision` directly in the store.
    void install(std::int64_t revision) { test::writePack(root / "versions" / std::to_string(revision), spec(revision), key); }
    void breakPack(std::int64_t revision) { test::writeFile(root / "versions" / std::to_string(revision) / "ui.json", "{}"); }

    std::filesystem::path zip(std::int64_t revision, const std::string& name = "pack") {
        auto folder = dir / (name + "-src-" + std::to_string(revision));
        test::writePack(folder, spec(revision), key);
        return test::zipFolder(folder, dir / (name + "-" + std::to_string(revision) + ".zip"));
    }

    std::set<std::string> versionFolders() {
        std::set<std::string> names;
        for (auto& entry : std::filesystem::directory_iterator(root / "versions")) names.insert(entry.path().filename());
        return names;
    }
    bool stagingEmpty() { return std::filesystem::is_empty(root / "staging"); }
    State onDisk() { return decodeState(test::readFile(root / "state.json")).value_or(State{{}, {}, {}, {-1}, "unreadable"}); }
    std::string lastLine() {
        std::lock_guard lock(linesMutex);
        return lines.empty() ? "" : lines.back();
    }
};

std::optional<std::int64_t> revisionOf(const std::optional<PackRecord>& record) {
    return record ? std::optional(record->revision) : std::nullopt;
}

}  // namespace

TEST(PackLifecycle, LaunchPreparationTransitions) {
    struct Case {
        const char* name;
        std::function<void(Store&, State&)> setUp;
        std::optional<std::int64_t> active, previous;
        std::vector<std::int64_t> quarantined;
        std::string lastErrorPrefix;
    };
    std::vector<Case> cases = {
        {"pending valid is promoted", [](Store& s, State& st) {
             s.install(1), s.install(2);
             st.active = Store::record(1), st.pending = Store::record(2), st.lastError = "old";
         }, 2, 1, {}, ""},
        {"pending invalid is quarantined, active kept", [](Store& s, State& st) {
             s.install(1), s.install(2), s.breakPack(2);
             st.active = Store::record(1), st.pending = Store::record(2);
         }, 1, std::nullopt, {2}, "待启用功能包验证失败：功能包文件校验失败：ui.json"},
        {"pending promoted over a broken active, which becomes previous", [](Store& s, State& st) {
             s.install(1), s.breakPack(1), s.install(2);
             st.active = Store::record(1), st.pending = Store::record(2);
         }, 2, 1, {}, ""},
        {"deleted active falls back to a valid previous", [](Store& s, State& st) {
             s.install(1);
             st.active = Store::record(3), st.previous = Store::record(1), st.quarantinedRevisions = {5};
         }, 1, std::nullopt, {3, 5}, "当前功能包验证失败：cannot open"},
        {"deleted active without previous goes to the built-in rules", [](Store&, State& st) {
             st.active = Store::record(3);
         }, std::nullopt, std::nullopt, {3}, "当前功能包验证失败："},
        {"broken pending and broken active", [](Store& s, State& st) {
             s.install(4), s.breakPack(4), s.install(2), s.breakPack(2);
             st.active = Store::record(4), st.pending = Store::record(2), st.previous = Store::record(9);
         }, std::nullopt, std::nullopt, {2, 4}, "当前功能包验证失败："},
        {"nothing to do", [](Store&, State&) {}, std::nullopt, std::nullopt, {}, ""},
    };
    for (auto& c : cases) {
        Store store;
        State initial;
        c.setUp(store, initial);
        ASSERT_TRUE(store.open()->updateState([&](State& st) { st = initial; })) << c.name;
        auto updater = store.open();
        auto foldersBefore = store.versionFolders();
        updater->prepareForLaunch();
        State after = updater->snapshot();
        EXPECT_EQ(revisionOf(after.active), c.active) << c.name;
        EXPECT_EQ(revisionOf(after.previous), c.previous) << c.name;
        EXPECT_FALSE(after.pending) << c.name;
        EXPECT_EQ(after.quarantinedRevisions, c.quarantined) << c.name;
        EXPECT_TRUE(after.lastError.starts_with(c.lastErrorPrefix)) << c.name << ": " << after.lastError;
        if (c.lastErrorPrefix.empty() && c.active) {
            EXPECT_EQ(after.lastError, "") << c.name;
        }
        EXPECT_EQ(store.onDisk(), after) << c.name;
        EXPECT_EQ(store.versionFolders(), foldersBefore) << c.name << ": launch removes no folder";
    }
}

TEST(PackLifecycle, LaunchLogLines) {
    Store store;
    store.install(1), store.install(2);
    store.open()->updateState([](State& st) { st.active = Store::record(1), st.pending = Store::record(2); });
    store.open()->prepareForLaunch();
    EXPECT_EQ(store.lines, std::vector<std::string>{"feature pack activated revision=2 version=2.0.0"});

    store.lines.clear();
    std::filesystem::remove_all(store.root / "versions/2");
    store.open()->prepareForLaunch();
    ASSERT_EQ(store.lines.size(), 2u);
    EXPECT_TRUE(store.lines[0].starts_with("active feature pack invalid revision=2: cannot open")) << store.lines[0];
    EXPECT_TRUE(store.lines[1].starts_with("feature pack quarantined revision=2: 当前功能包验证失败：cannot open"))
        << store.lines[1];
}

TEST(PackLifecycle, StartupRollback) {
    Store store;
    store.install(1), store.install(2);
    auto updater = store.open();
    EXPECT_FALSE(updater->rollbackAfterStartupFailure()) << "no active pack";
    EXPECT_FALSE(std::filesystem::exists(store.root / "state.json")) << "nothing written";

    updater->updateState([](State& st) { st.active = Store::record(2), st.previous = Store::record(1), st.quarantinedRevisions = {2}; });
    EXPECT_TRUE(updater->rollbackAfterStartupFailure());
    EXPECT_EQ(store.lines.back(), "feature pack startup rollback from revision=2 to revision=1");
    EXPECT_EQ(store.lines[store.lines.size() - 2], "feature pack quarantined revision=2: 功能包启用后本地服务未通过健康检查");
    State after = updater->snapshot();
    EXPECT_EQ(revisionOf(after.active), 1);
    EXPECT_FALSE(after.previous);
    EXPECT_EQ(after.quarantinedRevisions, std::vector<std::int64_t>{2}) << "already listed: no duplicate";
    EXPECT_EQ(after.lastError, "功能包启用后本地服务未通过健康检查");

    // With no valid previous pack the service goes back to its built-in rules.
    EXPECT_TRUE(updater->rollbackAfterStartupFailure());
    EXPECT_EQ(store.lines.back(), "feature pack startup rollback from revision=1 to revision=0");
    EXPECT_EQ(updater->activeRevision(), 0);
    EXPECT_EQ(store.onDisk().quarantinedRevisions, (std::vector<std::int64_t>{1, 2}));
}

TEST(PackLifecycle, ManualRollback) {
    Store store;
    store.install(1), store.install(2);
    auto updater = store.open();
    EXPECT_FALSE(updater->requestManualRollback()) << "no previous pack";
    EXPECT_FALSE(std::filesystem::exists(store.root / "state.json"));

    updater->updateState([](State& st) { st.active = Store::record(2), st.previous = Store::record(1), st.pending = Store::record(3); });
    EXPECT_TRUE(updater->requestManualRollback());
    EXPECT_EQ(store.lastLine(), "manual feature pack rollback scheduled active=1");
    EXPECT_EQ(revisionOf(updater->snapshot().previous), 2);
    EXPECT_FALSE(updater->snapshot().pending);
    EXPECT_TRUE(updater->requestManualRollback());
    EXPECT_EQ(updater->activeRevision(), 2);
    EXPECT_EQ(store.onDisk().lastError, "用户选择恢复上一功能包；下次启动生效");
    EXPECT_TRUE(store.onDisk().quarantinedRevisions.empty());

    // A broken previous pack: nothing moves, the failure is remembered, nothing is logged.
    store.breakPack(1);
    auto linesBefore = store.lines.size();
    EXPECT_FALSE(updater->requestManualRollback());
    EXPECT_EQ(updater->activeRevision(), 2);
    EXPECT_EQ(revisionOf(updater->snapshot().previous), 1);
    EXPECT_EQ(store.onDisk().lastError, "上一功能包验证失败，无法恢复");
    EXPECT_EQ(store.lines.size(), linesBefore);

    // No active pack but a previous one: it becomes active and previous becomes absent.
    store.install(1);
    updater->updateState([](State& st) { st.active.reset(), st.previous = Store::record(1); });
    EXPECT_TRUE(updater->requestManualRollback());
    EXPECT_EQ(updater->activeRevision(), 1);
    EXPECT_FALSE(updater->hasPrevious());
}

TEST(PackLifecycle, StagingInstallsPendingAndPrunes) {
    Store store;
    auto updater = store.open();
    store.install(1);
    updater->updateState([](State& st) { st.active = Store::record(1); });
    // Stray entries that pruning must clear, and one spelled "+1" that names the active revision.
    test::writeFile(store.root / "versions/notes.txt", "x");
    test::writeFile(store.root / "versions/.hidden/x", "x");
    test::writeFile(store.root / "versions/abc/x", "x");
    test::writeFile(store.root / "versions/7/stale.txt", "old folder of the same revision");
    std::filesystem::create_directories(store.root / "versions/+1");

    auto archive7 = store.zip(7);
    auto hash7 = *FeaturePackUpdater::sha256(archive7);
    ASSERT_TRUE(updater->stageArchiveForTesting(archive7, "7.0.0", 7, hash7));
    EXPECT_EQ(store.lastLine(), "feature pack staged revision=7; activation deferred until next launch");
    EXPECT_EQ(store.versionFolders(), (std::set<std::string>{"+1", "1", "7"}));
    EXPECT_FALSE(std::filesystem::exists(store.root / "versions/7/stale.txt"));
    EXPECT_TRUE(store.stagingEmpty());
    State disk = store.onDisk();
    ASSERT_TRUE(disk.pending);
    EXPECT_EQ(disk.pending->archiveSHA256, hash7);
    EXPECT_EQ(disk.lastError, "");
    EXPECT_TRUE(std::filesystem::exists(archive7)) << "the archive belongs to the caller";

    // A newer staging replaces the pending pack, and pruning drops the replaced one's folder.
    auto archive8 = store.zip(8);
    ASSERT_TRUE(updater->stageArchiveForTesting(archive8, "8.0.0", 8, *FeaturePackUpdater::sha256(archive8)));
    EXPECT_EQ(revisionOf(updater->snapshot().pending), 8);
    EXPECT_EQ(store.versionFolders(), (std::set<std::string>{"+1", "1", "8"}));

    // The next launch activates it.
    updater->prepareForLaunch();
    EXPECT_EQ(updater->activeRevision(), 8);
    EXPECT_EQ(revisionOf(updater->snapshot().previous), 1);
}

TEST(PackLifecycle, TestArchiveChecks) {
    Store store;
    auto updater = store.open();
    auto good = store.zip(3);
    auto hash = *FeaturePackUpdater::sha256(good);
    auto exact = store.dir / "exact.zip";
    test::writeFile(exact, test::readFile(good) + std::string(FeaturePackUpdater::maxArchiveBytes - std::filesystem::file_size(good), '\0'));
    auto over = store.dir / "over.zip";
    test::writeFile(over, test::readFile(exact) + "x");
    auto empty = store.dir / "empty.zip";
    test::writeFile(empty, "");

    const std::string refused = "测试功能包压缩文件校验失败";
    struct Case {
        const char* name;
        std::filesystem::path archive;
        std::string hash;
        std::string expected;
    } cases[] = {
        {"good", good, hash, "ok"},
        {"upper-case hash", good, [&] { auto h = hash; for (auto& c : h) c = char(std::toupper(c)); return h; }(), refused},
        {"wrong hash", good, std::string(64, '0'), refused},
        {"exactly the limit passes the size check", exact, *FeaturePackUpdater::sha256(exact), "not refused"},
        {"one byte over", over, *FeaturePackUpdater::sha256(over), refused},
        {"empty", empty, *FeaturePackUpdater::sha256(empty), refused},
    };
    for (const auto& c : cases) {
        auto verified = updater->verifyArchiveForTesting(c.archive, "3.0.0", 3, c.hash);
        std::string outcome = verified ? "ok" : verified.error().description;
        if (c.expected == "not refused") {
            EXPECT_NE(outcome, refused) << c.name;
        } else {
            EXPECT_EQ(outcome, c.expected) << c.name;
        }
        EXPECT_TRUE(store.stagingEmpty()) << c.name;
    }
    auto missing = updater->verifyArchiveForTesting(store.dir / "missing.zip", "3.0.0", 3, hash);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().domain, "POSIX");
    EXPECT_FALSE(std::filesystem::exists(store.root / "state.json")) << "verification writes no state";
    EXPECT_TRUE(store.versionFolders().empty());
}

TEST(PackLifecycle, RevisionBelowOneIsNeverStaged) {
    Store store;
    auto updater = store.open();
    store.install(3);
    updater->updateState([](State& st) { st.active = Store::record(3); });
    std::string stateBefore = test::readFile(store.root / "state.json");

    for (std::int64_t revision : {0, -3}) {
        // A signed pack that claims the revision, so only the revision rule can stop it.
        auto folder = store.dir / ("neg" + std::to_string(revision));
        test::writePack(folder, Store::spec(revision), store.key);
        auto archive = test::zipFolder(folder, store.dir / ("neg" + std::to_string(revision) + ".zip"));
        auto staged = updater->stageArchiveForTesting(archive, Store::spec(revision).version, revision,
                                                      *FeaturePackUpdater::sha256(archive));
        ASSERT_FALSE(staged);
        EXPECT_EQ(staged.error().domain, "VordaFeaturePack");
        EXPECT_EQ(staged.error().description, "功能包修订号无效");
    }
    EXPECT_EQ(store.versionFolders(), std::set<std::string>{"3"});
    EXPECT_TRUE(store.stagingEmpty());
    EXPECT_EQ(test::readFile(store.root / "state.json"), stateBefore);
}

TEST(PackLifecycle, HostileArchivesChangeNothingOutsideTheirStagingFolder) {
    Store store;
    auto outside = store.dir / "outside";
    std::filesystem::create_directories(outside);
    test::writeFile(outside / "victim.txt", "untouched");

    struct Case {
        const char* name;
        std::vector<test::ZipEntry> entries;
    };
    std::vector<Case> cases = {
        {"absolute entry", {{(outside / "absolute.txt").string(), "x"}}},
        {"dot-dot entry", {{"../../outside/dotdot.txt", "x"}, {"a/../../../outside/victim.txt", "overwritten"}}},
        {"symbolic link entry", {{"link", outside.string(), 0120777}}},
        {"write through a symbolic link", {{"link", outside.string(), 0120777}, {"link/through.txt", "x"},
                                           {"link/victim.txt", "overwritten"}}},
        {"relative link out", {{"assets", "../../../outside", 0120777}, {"assets/through.png", "x"}}},
    };
    for (const auto& c : cases) {
        auto archive = test::writeCraftedZip(store.dir / "hostile.zip", c.entries);
        auto updater = store.open();
        auto hash = *FeaturePackUpdater::sha256(archive);
        auto staged = updater->stageArchiveForTesting(archive, "1.0.0", 1, hash);
        EXPECT_FALSE(staged) << c.name;
        auto verified = updater->verifyArchiveForTesting(archive, "1.0.0", 1, hash);
        EXPECT_FALSE(verified) << c.name;
        EXPECT_EQ(test::readFile(outside / "victim.txt"), "untouched") << c.name;
        std::set<std::string> outsideNames;
        for (auto& entry : std::filesystem::directory_iterator(outside)) outsideNames.insert(entry.path().filename());
        EXPECT_EQ(outsideNames, std::set<std::string>{"victim.txt"}) << c.name;
        EXPECT_TRUE(store.stagingEmpty()) << c.name;
        EXPECT_TRUE(store.versionFolders().empty()) << c.name;
        EXPECT_FALSE(std::filesystem::exists(store.root / "state.json")) << c.name;
    }

    // Other archive formats are not unpacked at all.
    auto source = store.dir / "tar-src";
    test::writePack(source, Store::spec(1), store.key);
    auto tarball = store.dir / "pack.tar";
    ASSERT_EQ(test::runCaptured({"/usr/bin/bsdtar", "-cf", tarball.string(), "-C", source.string(), "."}).status, 0);
    auto staged = store.open()->stageArchiveForTesting(tarball, "1.0.0", 1, *FeaturePackUpdater::sha256(tarball));
    ASSERT_FALSE(staged);
    EXPECT_EQ(staged.error().description, "功能包解压失败");
}

TEST(PackLifecycle, BackgroundStagingAndPageRollbacksDoNotInterleave) {
    Store store;
    store.install(1), store.install(2);
    auto updater = store.open();
    updater->updateState([](State& st) { st.active = Store::record(2), st.previous = Store::record(1); });
    std::vector<std::filesystem::path> archives;
    for (int revision = 10; revision < 16; ++revision) archives.push_back(store.zip(revision));

    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (std::size_t i = 0; i < archives.size(); ++i) {
            auto revision = static_cast<std::int64_t>(10 + i);
            EXPECT_TRUE(updater->stageArchiveForTesting(archives[i], std::to_string(revision) + ".0.0", revision,
                                                        *FeaturePackUpdater::sha256(archives[i])));
        }
        done = true;
    });
    int rollbacks = 0;
    while (!done) {
        rollbacks += updater->requestManualRollback();
        auto environment = updater->environment();
        EXPECT_TRUE(environment["VORDA_FEATURE_PACK_REVISION"] == "1" || environment["VORDA_FEATURE_PACK_REVISION"] == "2");
    }
    worker.join();
    EXPECT_GT(rollbacks, 0);

    State final = updater->snapshot();
    EXPECT_EQ(store.onDisk(), final) << "memory and file agree after the last unit of work";
    std::set<std::string> expected{std::to_string(final.active->revision), "15"};
    if (final.previous) expected.insert(std::to_string(final.previous->revision));
    // Pruning ran under the same lock as the state it read, so only live folders remain.
    auto folders = store.versionFolders();
    for (const auto& name : expected) EXPECT_TRUE(folders.contains(name)) << name;
}
