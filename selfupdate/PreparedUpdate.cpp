#include "selfupdate/PreparedUpdate.h"

#include <algorithm>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/UpdateSwapScript.h"

namespace taviro {
namespace {

// A record is a few hundred bytes; anything far larger is not one.
constexpr std::int64_t kMaxRecordBytes = 64 * 1024;

// The names in the update root, in descending plain-text order: "1.0.9" before "1.0.37".
std::vector<std::string> versionFolderNames(const std::filesystem::path& updateRoot) {
    std::error_code error;
    std::vector<std::string> names;
    for (std::filesystem::directory_iterator entry(updateRoot, error), end; !error && entry != end; entry.increment(error)) {
        names.push_back(entry->path().filename().string());
    }
    if (error) return {};
    std::sort(names.begin(), names.end(), std::greater<>());
    return names;
}

std::optional<PreparedUpdate> readRecord(const std::filesystem::path& folder) {
    auto text = platform::readUntrustedFile(UpdateFolder{folder}.record(), kMaxRecordBytes);
    return text ? readPreparedUpdateRecord(*text) : std::nullopt;
}

// Only the package an update was prepared for may take it: another installation of this user
// must ask its own server.
bool preparedFor(const PreparedUpdate& update, const std::filesystem::path& appPackage) {
    return !update.appPath.empty() && update.appPath.lexically_normal() == appPackage.lexically_normal();
}

}  // namespace

std::filesystem::path UpdateFolder::archive() const { return folder / platform::kUpdateArchiveName; }
std::filesystem::path UpdateFolder::staged() const { return folder / platform::kStagedFolderName; }
std::filesystem::path UpdateFolder::script() const { return folder / platform::kSwapScriptName; }
std::filesystem::path UpdateFolder::record() const { return folder / platform::kUpdateRecordName; }
std::filesystem::path UpdateFolder::refusedMarker() const { return folder / platform::kRefusedMarkerName; }

std::filesystem::path updateRootDirectory() { return platform::applicationSupportDirectory() / "Taviro" / "updates"; }

std::string preparedUpdateRecord(const UpdateFolder& folder, const ReleaseDescription& release,
                                 const std::filesystem::path& appPath, const std::string& preparedAt) {
    // nlohmann's objects keep their keys sorted.
    nlohmann::json record = {
        {"version", release.version},           {"new_app", folder.newApp().string()},
        {"script", folder.script().string()},    {"log", folder.log().string()},
        {"download_url", release.downloadURL},   {"signature", release.expectedSHA256.value_or("")},
        {"prepared_at", preparedAt},            {"app_path", appPath.string()},
    };
    return record.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<PreparedUpdate> readPreparedUpdateRecord(std::string_view json) {
    auto record = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
    if (!record.is_object()) return std::nullopt;
    auto text = [&](const char* key) -> std::optional<std::string> {
        auto found = record.find(key);
        if (found == record.end() || !found->is_string()) return std::nullopt;
        return found->get<std::string>();
    };
    auto version = text("version"), script = text("script"), newApp = text("new_app"), log = text("log");
    if (!version || !script || !newApp || !log) return std::nullopt;
    PreparedUpdate update{*version, *script, *newApp, *log, text("app_path").value_or("")};
    // A relative path would depend on wherever the application happens to be started from.
    for (const auto* path : {&update.script, &update.newApp, &update.log}) {
        if (!path->is_absolute()) return std::nullopt;
    }
    if (!update.appPath.empty() && !update.appPath.is_absolute()) return std::nullopt;
    return update;
}

std::optional<PreparedUpdate> findPreparedUpdate(const std::filesystem::path& updateRoot, std::string_view runningVersion,
                                                 const std::filesystem::path& appPackage) {
    for (const auto& name : versionFolderNames(updateRoot)) {
        auto update = readRecord(updateRoot / name);
        if (!update || !preparedFor(*update, appPackage) || compareNumericStrings(update->version, runningVersion) <= 0) continue;
        if (isRefusedVersion(updateRoot, name)) continue;
        if (isPreparedUpdateComplete(update->script, update->newApp)) return update;
    }
    return std::nullopt;
}

void retireFinishedUpdates(const std::filesystem::path& updateRoot, std::string_view runningVersion,
                           const std::filesystem::path& appPackage) {
    for (const auto& name : versionFolderNames(updateRoot)) {
        auto update = readRecord(updateRoot / name);
        if (!update) continue;
        const bool nobodys = update->appPath.empty();
        if (nobodys || (preparedFor(*update, appPackage) && compareNumericStrings(update->version, runningVersion) <= 0)) {
            retireUpdateFolder(UpdateFolder{updateRoot / name});
        }
    }
}

void retireUpdateFolder(const UpdateFolder& folder) {
    std::error_code ignored;
    if (!std::filesystem::remove(folder.record(), ignored) && std::filesystem::exists(folder.record(), ignored)) return;
    std::filesystem::remove(folder.archive(), ignored);
    std::filesystem::remove(folder.folder / platform::kLaunchProofName, ignored);
    std::filesystem::remove(folder.folder / platform::kSwapFailuresName, ignored);
    (void)platform::removeTree(folder.staged());
}

bool isRefusedVersion(const std::filesystem::path& updateRoot, const std::string& version) {
    std::error_code ignored;
    return std::filesystem::exists(UpdateFolder::of(updateRoot, version).refusedMarker(), ignored);
}

bool isPreparedUpdateComplete(const std::filesystem::path& script, const std::filesystem::path& newApp) {
    struct stat info{};
    std::error_code error;
    return ::stat(script.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(script.c_str(), X_OK) == 0 &&
           std::filesystem::exists(newApp, error);
}

}  // namespace taviro
