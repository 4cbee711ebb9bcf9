// Moving packs through the store: staging, activation at launch, quarantine, rollback, pruning.
#include <algorithm>
#include <sys/stat.h>

#include "lib/DecimalParsing.h"
#include "featurepack/FeaturePackUpdater.h"
#include "platform/Archive.h"
#include "platform/Files.h"
#include "platform/Uuid.h"

namespace taviro {

// One unit of work on the state: holds the store's lock (unless the caller holds it already) and
// the state's for its lifetime, starts from the state file as it is now, and gathers the log
// lines, which are written only after the locks are released so that a slow or re-entrant
// logger never runs under them.
class FeaturePackUpdater::StateUnit {
public:
    explicit StateUnit(FeaturePackUpdater& updater, bool storeLocked = false)
        : updater_(updater), store_(storeLocked ? std::nullopt : std::make_optional<std::filesystem::path>(updater.storeLock_)),
          lock_(updater.stateMutex_) {
        updater_.reloadStateLocked();
    }
    ~StateUnit() {
        lock_.unlock();
        store_.held.reset();
        if (updater_.logger_) {
            for (const auto& line : lines_) updater_.logger_(line);
        }
    }
    State& state() { return updater_.state_; }
    void log(std::string line) { lines_.push_back(std::move(line)); }

private:
    // Acquired first, released last.
    struct StoreLock {
        explicit StoreLock(const std::optional<std::filesystem::path>& file) {
            if (file) held.emplace(*file);
        }
        std::optional<platform::ExclusiveFileLock> held;
    };
    FeaturePackUpdater& updater_;
    StoreLock store_;
    std::unique_lock<std::mutex> lock_;
    std::vector<std::string> lines_;
};

namespace {

// What a pack archive may unpack to: as many entries and bytes as the listed files within their
// bounds, plus the manifest and its signature. One file's own limit is the file list's to judge,
// with its own message, which callers of the headless modes read.
constexpr std::int64_t kPackUnpackedBytes = FeaturePackUpdater::maxExpandedBytes + 2 * FeaturePackUpdater::maxSingleFileBytes;
constexpr platform::ExtractionLimits kPackExtractionLimits{
    2 * FeaturePackUpdater::maxFiles,  // files and the folders that hold them
    kPackUnpackedBytes,
    kPackUnpackedBytes,
};

// Removes a working folder on every way out of the operation that made it.
struct FolderRemover {
    std::filesystem::path folder;
    ~FolderRemover() { (void)platform::removeTree(folder); }
};

Error fileError(const std::error_code& code, const std::string& what) { return posixError(code.value(), what); }

}  // namespace

std::filesystem::path FeaturePackUpdater::packFolder(std::int64_t revision) const {
    return versionsRoot_ / std::to_string(revision);
}

VoidResult FeaturePackUpdater::validateInstalled(const PackRecord& record) const {
    auto validated = validateDirectory(packFolder(record.revision), record.revision, record.version, record.archiveSHA256);
    if (!validated) return std::unexpected(validated.error());
    return {};
}

Result<PackRecord> FeaturePackUpdater::unpackAndValidate(const std::filesystem::path& archive,
                                                         const std::filesystem::path& folder, std::int64_t revision,
                                                         const std::string& version, const std::string& archiveSHA256,
                                                         const char* unpackFailure) const {
    std::error_code code;
    std::filesystem::create_directories(folder, code);
    if (code) return std::unexpected(fileError(code, "cannot create " + folder.string()));
    if (!platform::extractZip(archive, folder, kPackExtractionLimits)) return std::unexpected(error(unpackFailure));
    return validateDirectory(folder, revision, version, archiveSHA256);
}

void FeaturePackUpdater::quarantine(StateUnit& unit, std::int64_t revision, const std::string& reason) {
    auto& list = unit.state().quarantinedRevisions;
    if (std::find(list.begin(), list.end(), revision) == list.end()) {
        list.push_back(revision);
        std::sort(list.begin(), list.end());
    }
    unit.state().lastError = reason;
    unit.log("feature pack quarantined revision=" + std::to_string(revision) + ": " + reason);
}

void FeaturePackUpdater::restorePreviousOrBuiltin(StateUnit& unit) {
    State& state = unit.state();
    if (state.previous && validateInstalled(*state.previous)) {
        state.active = state.previous;
    } else {
        state.active.reset();
    }
    state.previous.reset();
    state.pending.reset();
    (void)writeStateLocked();
}

void FeaturePackUpdater::clearStagingArea() const {
    std::error_code error;
    std::vector<std::filesystem::path> leftovers;
    for (std::filesystem::directory_iterator entry(stagingRoot_, error), end; !error && entry != end; entry.increment(error)) {
        leftovers.push_back(entry->path());
    }
    for (const auto& leftover : leftovers) (void)platform::removeTree(leftover);
}

void FeaturePackUpdater::prepareForLaunch() {
    // Under the store's lock, which every staging holds from start to end: whatever is in the
    // staging area now was left by a run that was killed.
    platform::ExclusiveFileLock store(storeLock_);
    clearStagingArea();
    StateUnit unit(*this, /*storeLocked=*/true);
    State& state = unit.state();
    if (state.pending) {
        PackRecord pending = *state.pending;
        auto promoted = validateInstalled(pending);
        if (promoted) {
            State before = state;
            state.previous = state.active;
            state.active = pending;
            state.pending.reset();
            state.lastError = "";
            promoted = writeStateLocked();
            // Unwritten, the promotion never happened: the active pack stays what the file says.
            if (!promoted) state = before;
        }
        if (promoted) {
            unit.log("feature pack activated revision=" + std::to_string(pending.revision) + " version=" + pending.version);
        } else {
            quarantine(unit, pending.revision, "待启用功能包验证失败：" + promoted.error().description);
            state.pending.reset();
            (void)writeStateLocked();
        }
    }
    if (state.active) {
        PackRecord active = *state.active;
        if (auto checked = validateInstalled(active); !checked) {
            unit.log("active feature pack invalid revision=" + std::to_string(active.revision) + ": " +
                     checked.error().description);
            quarantine(unit, active.revision, "当前功能包验证失败：" + checked.error().description);
            restorePreviousOrBuiltin(unit);
        }
    }
}

bool FeaturePackUpdater::rollbackAfterStartupFailure() {
    StateUnit unit(*this);
    if (!unit.state().active) return false;
    std::int64_t from = unit.state().active->revision;
    quarantine(unit, from, "功能包启用后本地服务未通过健康检查");
    restorePreviousOrBuiltin(unit);
    std::int64_t to = unit.state().active ? unit.state().active->revision : 0;
    unit.log("feature pack startup rollback from revision=" + std::to_string(from) + " to revision=" + std::to_string(to));
    return true;
}

bool FeaturePackUpdater::requestManualRollback() {
    StateUnit unit(*this);
    State& state = unit.state();
    if (!state.previous) return false;
    if (!validateInstalled(*state.previous)) {
        state.lastError = "上一功能包验证失败，无法恢复";
        (void)writeStateLocked();
        return false;
    }
    State before = state;
    // The pack left behind is not fetched again by the background check.
    if (state.active && std::ranges::find(state.declinedRevisions, state.active->revision) == state.declinedRevisions.end()) {
        state.declinedRevisions.push_back(state.active->revision);
    }
    std::swap(state.active, state.previous);
    state.pending.reset();
    state.lastError = "用户选择恢复上一功能包；下次启动生效";
    if (auto written = writeStateLocked(); !written) {
        // Unwritten, nothing was scheduled: the page hears so and the state stays as on disk.
        state = before;
        unit.log("manual feature pack rollback failed: " + written.error().description);
        return false;
    }
    unit.log("manual feature pack rollback scheduled active=" + std::to_string(state.active ? state.active->revision : 0));
    return true;
}

VoidResult FeaturePackUpdater::stageDownloaded(const std::filesystem::path& archive, const RemotePack& remote) {
    // 0 stands for the built-in rules and folder names carry no sign: a revision below 1 would
    // name another revision's folder, which the pruning below would then delete.
    if (remote.revision < 1) return std::unexpected(error("功能包修订号无效"));

    // The whole staging holds the store's lock, so that no other process's launch clean-up takes
    // its folder; unpacking and validation run outside the state's own lock.
    platform::ExclusiveFileLock store(storeLock_);
    std::filesystem::path staging = stagingRoot_ / (std::to_string(remote.revision) + "-" + platform::randomUuid());
    FolderRemover remover{staging};
    auto record = unpackAndValidate(archive, staging, remote.revision, remote.version, remote.archiveSHA256,
                                    downloadUnpackFailure);
    if (!record) return std::unexpected(record.error());

    StateUnit unit(*this, /*storeLocked=*/true);
    std::filesystem::path target = packFolder(remote.revision);
    // A folder of the same revision is set aside, not deleted, until the new one is in place:
    // a failed move must not lose a pack the state may still name.
    std::filesystem::path replaced = staging.string() + "-replaced";
    FolderRemover replacedRemover{replaced};
    std::error_code code;
    std::filesystem::rename(target, replaced, code);
    const bool setAside = !code;
    std::filesystem::rename(staging, target, code);
    if (code) {
        std::error_code ignored;
        if (setAside) std::filesystem::rename(replaced, target, ignored);
        return std::unexpected(fileError(code, "cannot move " + staging.string() + " to " + target.string()));
    }
    State before = unit.state();
    unit.state().pending = *record;
    unit.state().lastError = "";
    if (auto written = writeStateLocked(); !written) {
        // What is in memory always matches the file: the pack waits unlisted for the pruning.
        unit.state() = before;
        return written;
    }
    pruneVersions();
    unit.log("feature pack staged revision=" + std::to_string(record->revision) + "; activation deferred until next launch");
    return {};
}

Result<std::int64_t> FeaturePackUpdater::checkTestArchive(const std::filesystem::path& archive,
                                                          const std::string& archiveSHA256) const {
    struct stat info{};
    if (::stat(archive.c_str(), &info) != 0) return std::unexpected(posixError(errno, "cannot read " + archive.string()));
    std::int64_t size = static_cast<std::int64_t>(info.st_size);
    auto refused = std::unexpected(error("测试功能包压缩文件校验失败"));
    if (size < 1 || size > maxArchiveBytes) return refused;
    auto digest = sha256(archive);
    if (!digest) return std::unexpected(digest.error());
    if (*digest != archiveSHA256) return refused;
    return size;
}

VoidResult FeaturePackUpdater::stageArchiveForTesting(const std::filesystem::path& archive, const std::string& version,
                                                      std::int64_t revision, const std::string& archiveSHA256) {
    auto size = checkTestArchive(archive, archiveSHA256);
    if (!size) return std::unexpected(size.error());
    RemotePack remote{version, revision, "file://" + archive.string(), archiveSHA256, *size};
    return stageDownloaded(archive, remote);
}

VoidResult FeaturePackUpdater::verifyArchiveForTesting(const std::filesystem::path& archive, const std::string& version,
                                                       std::int64_t revision, const std::string& archiveSHA256,
                                                       const char* unpackFailure) const {
    if (auto checked = checkTestArchive(archive, archiveSHA256); !checked) return std::unexpected(checked.error());
    platform::ExclusiveFileLock store(storeLock_);
    std::filesystem::path folder = stagingRoot_ / ("verify-" + platform::randomUuid());
    FolderRemover remover{folder};
    auto record = unpackAndValidate(archive, folder, revision, version, archiveSHA256, unpackFailure);
    if (!record) return std::unexpected(record.error());
    return {};
}

void FeaturePackUpdater::pruneVersions() {
    std::vector<std::int64_t> keep;
    for (const auto* slot : {&state_.active, &state_.previous, &state_.pending}) {
        if (*slot) keep.push_back((*slot)->revision);
    }
    std::error_code code;
    std::filesystem::directory_iterator entries(versionsRoot_, code);
    if (code) return;
    std::vector<std::filesystem::path> doomed;
    for (; entries != std::filesystem::directory_iterator(); entries.increment(code)) {
        if (code) break;
        auto revision = parseSignedDecimal(entries->path().filename().string()).value_or(-1);
        if (std::find(keep.begin(), keep.end(), revision) == keep.end()) doomed.push_back(entries->path());
    }
    for (const auto& path : doomed) (void)platform::removeTree(path);
}

}  // namespace taviro
