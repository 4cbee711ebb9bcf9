#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "featurepack/PackState.h"
#include "lib/Logger.h"
#include "platform/Error.h"
#include "platform/Executor.h"
#include "platform/HttpClient.h"

namespace taviro {

// Owns the feature-pack store: its folders, its state file and every change to that state.
// One instance per process. `state` is guarded by one mutex; every change is made together with
// the write that persists it, so readers on other threads see the old state or the new one.
class FeaturePackUpdater {
public:
    static constexpr std::int64_t engineAPI = 1;
    static constexpr const char* component = "ui-rules";
    static constexpr const char* keyID = "feature-pack-ed25519-v1";
    static constexpr std::int64_t maxArchiveBytes = 10 * 1024 * 1024;
    static constexpr std::int64_t maxExpandedBytes = 25 * 1024 * 1024;
    static constexpr std::int64_t maxFiles = 200;
    static constexpr std::int64_t maxSingleFileBytes = 5 * 1024 * 1024;
    static constexpr const char* errorDomain = "VordaFeaturePack";
    static constexpr const char* builtinVersion = "builtin-1.0.70";

    FeaturePackUpdater(std::string appVersion, Logger logger);
    // A check or download under way stops; the store stays as it was.
    ~FeaturePackUpdater() {
        stopping_ = true;
        worker_.reset();
    }

    FeaturePackUpdater(const FeaturePackUpdater&) = delete;
    FeaturePackUpdater& operator=(const FeaturePackUpdater&) = delete;

    const std::string& appVersion() const { return appVersion_; }
    const std::string& channel() const { return channel_; }
    const std::filesystem::path& root() const { return root_; }

    std::int64_t activeRevision() const;
    std::string activeVersion() const;
    std::string statePath() const { return stateFile_.string(); }
    bool hasPrevious() const;
    State snapshot() const;

    // The variables the local service needs to find the active pack, built from the state now.
    std::map<std::string, std::string> environment() const;

    // Applies `change` to the state and persists it, as one unit under the state's lock. A write
    // failure is returned; the in-memory state keeps the change.
    VoidResult updateState(const std::function<void(State&)>& change);

    // Persists the current state atomically with mode 0600.
    VoidResult writeState();

    // The error every feature-pack check reports: domain "VordaFeaturePack", code 1.
    static Error error(const std::string& message);

    // Ed25519 check of the exact manifest bytes against manifest.sig, with the public key read
    // afresh from its file on every call.
    VoidResult verifySignature(const std::string& manifestData, const std::filesystem::path& signatureURL) const;

    // Refuses a stylesheet that reaches outside the pack or hides such a reference in escapes.
    VoidResult validateCSS(const std::filesystem::path& stylesheet) const;

    // Checks an unpacked pack from end to end; only a folder that passes every check yields a
    // record. Reads only under `directory`; changes nothing.
    Result<PackRecord> validateDirectory(const std::filesystem::path& directory, std::int64_t expectedRevision,
                                         const std::string& expectedVersion, const std::string& archiveSHA256) const;

    enum class Ordering { ascending, same, descending };
    static Ordering compareVersions(std::string_view a, std::string_view b);
    static bool isAllowedContentPath(std::string_view path);
    static Result<std::string> sha256(const std::filesystem::path& file);

    // Launch preparation: promotes the pending pack, re-checks the active one, falls back and
    // quarantines on failure. Never fails.
    void prepareForLaunch();
    // After the service failed its health check with a pack active: quarantine it and fall
    // back. True when an active pack was rolled back.
    bool rollbackAfterStartupFailure();
    // The page's request for the previous pack, effective at the next launch.
    bool requestManualRollback();

    // The remote API the background check asks, "https://host[:port]"; without one it asks nobody.
    void connectRemote(std::shared_ptr<platform::HttpClient> http, std::string origin);
    // Once per launch, on the main thread: asks the remote API for a newer pack and stages it for
    // the next launch, on this updater's own worker thread; stands back while
    // `coreUpdateInProgress` (called from that thread) holds.
    void checkForUpdatesInBackground(std::function<bool()> coreUpdateInProgress);
    // Returns once the background check, its download and its staging have ended.
    void waitUntilBackgroundWorkDone();

    VoidResult stageDownloaded(const std::filesystem::path& archive, const RemotePack& remote);
    VoidResult stageArchiveForTesting(const std::filesystem::path& archive, const std::string& version,
                                      std::int64_t revision, const std::string& archiveSHA256);
    // Checks an archive as staging would, in a folder of its own, and keeps nothing. An archive
    // that does not unpack is refused with `unpackFailure`.
    VoidResult verifyArchiveForTesting(const std::filesystem::path& archive, const std::string& version,
                                       std::int64_t revision, const std::string& archiveSHA256,
                                       const char* unpackFailure = "测试功能包解压失败") const;
    // What the staging of a downloaded pack says when its archive does not unpack.
    static constexpr const char* downloadUnpackFailure = "功能包解压失败";

private:
    class StateUnit;

    void log(const std::string& line) const {
        if (logger_) logger_(line);
    }
    // Worker thread.
    Result<std::optional<RemotePack>> requestRemote();
    void downloadAndStage(const RemotePack& offer);

    VoidResult writeStateLocked() const;
    // Under the store's lock: the state as the file has it now, which another process may have
    // changed.
    void reloadStateLocked();
    std::filesystem::path publicKeyPath() const;
    std::filesystem::path packFolder(std::int64_t revision) const;
    VoidResult validateInstalled(const PackRecord& record) const;
    // Creates `folder`, unpacks the zip archive into it and validates the result. The caller
    // owns the folder and removes it.
    Result<PackRecord> unpackAndValidate(const std::filesystem::path& archive, const std::filesystem::path& folder,
                                         std::int64_t revision, const std::string& version,
                                         const std::string& archiveSHA256, const char* unpackFailure) const;
    Result<std::int64_t> checkTestArchive(const std::filesystem::path& archive, const std::string& archiveSHA256) const;

    // These expect the state's lock to be held by the caller's unit of work.
    void quarantine(StateUnit& unit, std::int64_t revision, const std::string& reason);
    void restorePreviousOrBuiltin(StateUnit& unit);
    void pruneVersions();
    // What a run killed while downloading or staging left in the staging area.
    void clearStagingArea() const;

    std::string appVersion_;
    std::string channel_;
    Logger logger_;
    std::filesystem::path root_;
    std::filesystem::path versionsRoot_;
    std::filesystem::path stagingRoot_;
    std::filesystem::path stateFile_;
    // Held (flock) by every change of the state and the store's folders, in this process and in
    // the others that share the store (a window and the headless modes).
    std::filesystem::path storeLock_;

    mutable std::mutex stateMutex_;
    State state_;

    std::shared_ptr<platform::HttpClient> http_;
    std::string remoteOrigin_;
    std::atomic<bool> stopping_{false};
    // Last: joined before anything its tasks use goes away.
    std::unique_ptr<platform::SerialQueue> worker_;
};

}  // namespace taviro
