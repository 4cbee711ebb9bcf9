#include "selfupdate/PreparedUpdate.h"

#include <algorithm>
#include <charconv>
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

std::vector<std::int64_t> dottedParts(std::string_view version) {
    std::vector<std::int64_t> parts;
    while (!version.empty()) {
        auto dot = version.find('.');
        auto part = version.substr(0, dot);
        version = dot == std::string_view::npos ? std::string_view{} : version.substr(dot + 1);
        if (part.empty()) continue;
        if (part.front() == '+') part.remove_prefix(1);
        std::int64_t value = 0;
        auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), value);
        parts.push_back(error == std::errc{} && end == part.data() + part.size() ? value : 0);
    }
    return parts;
}

}  // namespace

std::filesystem::path UpdateFolder::script() const { return folder / platform::kSwapScriptName; }

std::filesystem::path updateRootDirectory() { return platform::applicationSupportDirectory() / "Taviro" / "updates"; }

std::string preparedUpdateRecord(const UpdateFolder& folder, const ReleaseDescription& release,
                                 const std::string& preparedAt) {
    // nlohmann's objects keep their keys sorted.
    nlohmann::json record = {
        {"version", release.version},           {"new_app", folder.newApp().string()},
        {"script", folder.script().string()},    {"log", folder.log().string()},
        {"download_url", release.downloadURL},   {"signature", release.expectedSHA256.value_or("")},
        {"prepared_at", preparedAt},
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
    PreparedUpdate update{*version, *script, *newApp, *log};
    // A relative path would depend on wherever the application happens to be started from.
    for (const auto* path : {&update.script, &update.newApp, &update.log}) {
        if (!path->is_absolute()) return std::nullopt;
    }
    return update;
}

std::optional<PreparedUpdate> findPreparedUpdate(const std::filesystem::path& updateRoot, std::string_view runningVersion) {
    std::error_code error;
    std::vector<std::string> names;
    for (std::filesystem::directory_iterator entry(updateRoot, error), end; !error && entry != end; entry.increment(error)) {
        names.push_back(entry->path().filename().string());
    }
    if (error) return std::nullopt;
    // Plain text, not versions: "1.0.9" is tried before "1.0.37".
    std::sort(names.begin(), names.end(), std::greater<>());
    for (const auto& name : names) {
        auto text = platform::readUntrustedFile(updateRoot / name / "manifest.json", kMaxRecordBytes);
        if (!text) continue;
        auto update = readPreparedUpdateRecord(*text);
        if (!update || compareDottedVersions(update->version, runningVersion) <= 0) continue;
        if (isPreparedUpdateComplete(update->script, update->newApp)) return update;
    }
    return std::nullopt;
}

int compareDottedVersions(std::string_view a, std::string_view b) {
    auto left = dottedParts(a), right = dottedParts(b);
    for (std::size_t i = 0; i < std::max(left.size(), right.size()); ++i) {
        std::int64_t x = i < left.size() ? left[i] : 0, y = i < right.size() ? right[i] : 0;
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

bool isPreparedUpdateComplete(const std::filesystem::path& script, const std::filesystem::path& newApp) {
    struct stat info{};
    std::error_code error;
    return ::stat(script.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(script.c_str(), X_OK) == 0 &&
           std::filesystem::exists(newApp, error);
}

}  // namespace taviro
