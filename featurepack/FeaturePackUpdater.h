#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "featurepack/PackState.h"
#include "platform/Error.h"

namespace taviro {

// Owns the feature-pack store: its folders, its state file and every change to that state.
// One instance per process. `state` is guarded by one mutex; every change is made together with
// the write that persists it, so readers on other threads see the old state or the new one.
class FeaturePackUpdater {
public:
    using Logger = std::function<void(const std::string&)>;

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

    FeaturePackUpdater(const FeaturePackUpdater&) = delete;
    FeaturePackUpdater& operator=(const FeaturePackUpdater&) = delete;

    const std::string& appVersion() const { return appVersion_; }
    const std::string& channel() const { return channel_; }
    const std::filesystem::path& root() const { return root_; }
    const std::filesystem::path& versionsRoot() const { return versionsRoot_; }
    const std::filesystem::path& stagingRoot() const { return stagingRoot_; }
    const std::filesystem::path& stateURL() const { return stateURL_; }

    std::int64_t activeRevision() const;
    std::string activeVersion() const;
    std::string statePath() const { return stateURL_.string(); }
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

private:
    VoidResult writeStateLocked() const;
    std::filesystem::path publicKeyPath() const;

    std::string appVersion_;
    std::string channel_;
    Logger logger_;
    std::filesystem::path root_;
    std::filesystem::path versionsRoot_;
    std::filesystem::path stagingRoot_;
    std::filesystem::path stateURL_;

    mutable std::mutex stateMutex_;
    State state_;
};

}  // namespace taviro
