#include "featurepack/FeaturePackUpdater.h"

#include "platform/Files.h"
#include "platform/Paths.h"

namespace taviro {
namespace {

std::filesystem::path storeRoot() {
    if (auto testRoot = platform::environmentValue("VORDA_FEATURE_PACK_TEST_ROOT"); testRoot && !testRoot->empty()) {
        return std::filesystem::absolute(*testRoot);
    }
    return platform::applicationSupportDirectory() / "Taviro" / "feature-packs";
}

State loadState(const std::filesystem::path& file) {
    auto bytes = platform::readFile(file);
    if (!bytes) return State::empty();
    return decodeState(*bytes).value_or(State::empty());
}

}  // namespace

FeaturePackUpdater::FeaturePackUpdater(std::string appVersion, Logger logger)
    : appVersion_(std::move(appVersion)),
      channel_(platform::environmentValue("VORDA_FEATURE_CHANNEL") == "beta" ? "beta" : "stable"),
      logger_(std::move(logger)),
      root_(storeRoot()),
      versionsRoot_(root_ / "versions"),
      stagingRoot_(root_ / "staging"),
      stateFile_(root_ / "state.json"),
      storeLock_(root_ / "store.lock") {
    std::error_code ignored;
    std::filesystem::create_directories(versionsRoot_, ignored);
    std::filesystem::create_directories(stagingRoot_, ignored);
    state_ = loadState(stateFile_);
}

std::int64_t FeaturePackUpdater::activeRevision() const {
    std::lock_guard lock(stateMutex_);
    return state_.active ? state_.active->revision : 0;
}

std::string FeaturePackUpdater::activeVersion() const {
    std::lock_guard lock(stateMutex_);
    return state_.active ? state_.active->version : builtinVersion;
}

bool FeaturePackUpdater::hasPrevious() const {
    std::lock_guard lock(stateMutex_);
    return state_.previous.has_value();
}

State FeaturePackUpdater::snapshot() const {
    std::lock_guard lock(stateMutex_);
    return state_;
}

std::map<std::string, std::string> FeaturePackUpdater::environment() const {
    std::lock_guard lock(stateMutex_);
    std::map<std::string, std::string> variables{
        {"VORDA_FEATURE_PACK_STATE", statePath()},
        {"VORDA_FEATURE_PACK_REVISION", std::to_string(state_.active ? state_.active->revision : 0)},
        {"VORDA_FEATURE_PACK_VERSION", state_.active ? state_.active->version : builtinVersion},
    };
    if (state_.active) {
        variables["VORDA_FEATURE_PACK_ROOT"] = (versionsRoot_ / std::to_string(state_.active->revision)).string();
    }
    return variables;
}

VoidResult FeaturePackUpdater::updateState(const std::function<void(State&)>& change) {
    platform::ExclusiveFileLock store(storeLock_);
    std::lock_guard lock(stateMutex_);
    reloadStateLocked();
    change(state_);
    return writeStateLocked();
}

VoidResult FeaturePackUpdater::writeState() {
    platform::ExclusiveFileLock store(storeLock_);
    std::lock_guard lock(stateMutex_);
    return writeStateLocked();
}

void FeaturePackUpdater::reloadStateLocked() {
    // A file that cannot be read (none yet, or something in its way) leaves what is in memory,
    // which is what was last written; one that reads as no state is taken as at construction.
    auto bytes = platform::readFile(stateFile_);
    if (bytes) state_ = decodeState(*bytes).value_or(State::empty());
}

VoidResult FeaturePackUpdater::writeStateLocked() const {
    std::error_code folderError;
    std::filesystem::create_directories(root_, folderError);
    if (folderError) {
        return std::unexpected(posixError(folderError.value(), "cannot create " + root_.string()));
    }
    return platform::writeFileAtomically(stateFile_, encodeState(state_), 0600);
}

Error FeaturePackUpdater::error(const std::string& message) { return Error{errorDomain, 1, message}; }

}  // namespace taviro
