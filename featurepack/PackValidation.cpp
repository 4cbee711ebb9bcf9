// End-to-end check of an unpacked pack folder: manifest shape, compatibility, signature, the
// signed file list against what is actually on disk, and the stylesheet.
#include <cmath>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sys/stat.h>

#include "lib/DecimalParsing.h"
#include "featurepack/FeaturePackUpdater.h"
#include "lib/JsonNumbers.h"
#include "lib/Utf8.h"
#include "platform/Clock.h"
#include "platform/Crypto.h"
#include "platform/Files.h"

namespace taviro {
namespace {

using nlohmann::json;

constexpr const char* kBadManifest = "功能包 manifest 不兼容或字段无效";
constexpr const char* kBadFileList = "功能包文件清单无效";

const std::set<std::string> kManifestKeys = {"schema_version", "component", "version", "revision",
                                             "key_id", "engine_api", "min_app_version",
                                             "max_app_version_exclusive", "created_at", "files"};
const std::set<std::string> kFileEntryKeys = {"path", "size", "sha256"};
const std::set<std::string> kRequiredFiles = {"ui.json", "ui-overrides.css", "generation_rules.json"};

struct ListedFile {
    std::int64_t size;
    std::string sha256;
};

std::set<std::string> keysOf(const json& object) {
    std::set<std::string> keys;
    for (const auto& item : object.items()) keys.insert(item.key());
    return keys;
}

bool isInteger(const json& value, std::int64_t expected) {
    auto number = exactInt64(value);
    return number && *number == expected;
}

bool isLowerHexDigest(const std::string& text) {
    static const std::regex pattern("^[a-f0-9]{64}$");
    return std::regex_match(text, pattern);
}

std::vector<std::string> pieces(std::string_view text, char separator) {
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(separator, start);
        if (end == std::string_view::npos) end = text.size();
        if (end > start) result.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

bool manifestFieldsAcceptable(const json& manifest, std::int64_t expectedRevision, const std::string& expectedVersion,
                              const std::string& appVersion) {
    using Ordering = FeaturePackUpdater::Ordering;
    if (keysOf(manifest) != kManifestKeys) return false;
    const auto& component = manifest["component"];
    const auto& keyId = manifest["key_id"];
    const auto& version = manifest["version"];
    const auto& minimum = manifest["min_app_version"];
    const auto& maximum = manifest["max_app_version_exclusive"];
    if (!isInteger(manifest["schema_version"], 1) || !component.is_string() ||
        component != FeaturePackUpdater::component || !keyId.is_string() || keyId != FeaturePackUpdater::keyID ||
        !isInteger(manifest["engine_api"], FeaturePackUpdater::engineAPI) ||
        !isInteger(manifest["revision"], expectedRevision) || !version.is_string() || version != expectedVersion ||
        !minimum.is_string() || !maximum.is_string()) {
        return false;
    }
    if (FeaturePackUpdater::compareVersions(appVersion, minimum.get<std::string>()) == Ordering::ascending) return false;
    if (FeaturePackUpdater::compareVersions(appVersion, maximum.get<std::string>()) != Ordering::ascending) return false;
    const auto& files = manifest["files"];
    if (!files.is_array()) return false;
    for (const auto& entry : files) {
        if (!entry.is_object()) return false;
    }
    return true;
}

Result<std::map<std::string, ListedFile>> listedFiles(const json& files) {
    std::map<std::string, ListedFile> listed;
    for (const auto& entry : files) {
        auto refused = std::unexpected(FeaturePackUpdater::error(kBadFileList));
        if (keysOf(entry) != kFileEntryKeys) return refused;
        const auto& path = entry["path"];
        const auto& sha = entry["sha256"];
        if (!path.is_string() || !sha.is_string()) return refused;
        auto size = truncatedInt64(entry["size"]);
        const auto& pathText = path.get_ref<const std::string&>();
        const auto& shaText = sha.get_ref<const std::string&>();
        if (!size || !FeaturePackUpdater::isAllowedContentPath(pathText) || *size < 0 ||
            *size > FeaturePackUpdater::maxSingleFileBytes || !isLowerHexDigest(shaText) || listed.contains(pathText)) {
            return refused;
        }
        listed.emplace(pathText, ListedFile{*size, shaText});
    }
    return listed;
}

}  // namespace

FeaturePackUpdater::Ordering FeaturePackUpdater::compareVersions(std::string_view a, std::string_view b) {
    auto left = pieces(a, '.');
    auto right = pieces(b, '.');
    for (std::size_t i = 0; i < std::max(left.size(), right.size()); ++i) {
        std::int64_t x = i < left.size() ? parseSignedDecimal(left[i]).value_or(0) : 0;
        std::int64_t y = i < right.size() ? parseSignedDecimal(right[i]).value_or(0) : 0;
        if (x < y) return Ordering::ascending;
        if (x > y) return Ordering::descending;
    }
    return Ordering::same;
}

bool FeaturePackUpdater::isAllowedContentPath(std::string_view path) {
    if (path.empty() || path.front() == '/' || path.front() == '.' || path.find('\\') != std::string_view::npos) {
        return false;
    }
    auto parts = pieces(path, '/');
    for (const auto& part : parts) {
        if (part == ".." || part.front() == '.') return false;
    }
    if (kRequiredFiles.contains(std::string(path))) return true;
    if (!path.starts_with("assets/")) return false;
    auto nameParts = pieces(parts.back(), '.');
    if (nameParts.empty()) return false;
    std::string extension = lowercaseForAsciiMatching(nameParts.back());
    return extension == "png" || extension == "jpg" || extension == "jpeg" || extension == "webp";
}

Result<std::string> FeaturePackUpdater::sha256(const std::filesystem::path& file) {
    return platform::sha256HexOfFile(file);
}

Result<PackRecord> FeaturePackUpdater::validateDirectory(const std::filesystem::path& directory,
                                                         std::int64_t expectedRevision,
                                                         const std::string& expectedVersion,
                                                         const std::string& archiveSHA256) const {
    // Read before the walk that refuses links and oversized files, so it is held to both itself.
    auto manifestBytes = platform::readUntrustedFile(directory / "manifest.json", maxSingleFileBytes);
    if (!manifestBytes) return std::unexpected(manifestBytes.error());
    json manifest = json::parse(*manifestBytes, nullptr, /*allow_exceptions=*/false);
    // The parser's own message quotes the bytes near the fault; a pack's content has no place in
    // an error text, so the message is our own.
    if (manifest.is_discarded() || !(manifest.is_object() || manifest.is_array())) {
        return std::unexpected(Error{"JSON", 1, "manifest.json is not valid JSON"});
    }
    if (!manifest.is_object()) return std::unexpected(error("manifest.json 不是对象"));
    if (!manifestFieldsAcceptable(manifest, expectedRevision, expectedVersion, appVersion_)) {
        return std::unexpected(error(kBadManifest));
    }
    if (auto signature = verifySignature(*manifestBytes, directory / "manifest.sig"); !signature) {
        return std::unexpected(signature.error());
    }
    auto listed = listedFiles(manifest["files"]);
    if (!listed) return std::unexpected(listed.error());
    for (const auto& required : kRequiredFiles) {
        if (!listed->contains(required)) return std::unexpected(error("功能包缺少必需文件"));
    }

    std::error_code walkError;
    std::filesystem::recursive_directory_iterator walk(directory, walkError);
    if (walkError) return std::unexpected(error("无法读取功能包"));
    std::error_code resolveError;
    std::string base = std::filesystem::canonical(directory, resolveError).lexically_normal().string();
    if (resolveError) return std::unexpected(error("无法读取功能包"));

    std::int64_t fileCount = 0;
    std::int64_t total = 0;
    std::set<std::string> seen;
    for (; walk != std::filesystem::recursive_directory_iterator(); walk.increment(walkError)) {
        if (walkError) return std::unexpected(posixError(walkError.value(), "cannot list " + directory.string()));
        const auto& entry = *walk;
        std::error_code attributeError;
        auto status = entry.symlink_status(attributeError);
        if (attributeError) return std::unexpected(posixError(attributeError.value(), "cannot inspect " + entry.path().string()));
        if (std::filesystem::is_symlink(status)) return std::unexpected(error("功能包不允许符号链接"));
        if (std::filesystem::is_directory(status)) continue;
        if (++fileCount > maxFiles) return std::unexpected(error("功能包文件数量超限"));

        std::string resolved = std::filesystem::canonical(entry.path(), resolveError).lexically_normal().string();
        if (resolveError || !resolved.starts_with(base + "/")) return std::unexpected(error("功能包文件路径越界"));
        std::string relative = resolved.substr(base.size() + 1);
        if (relative == "manifest.json" || relative == "manifest.sig") continue;

        auto found = listed->find(relative);
        if (found == listed->end()) return std::unexpected(error("功能包包含未登记文件：" + relative));
        auto fileFailure = std::unexpected(error("功能包文件校验失败：" + relative));
        // Only regular files can be listed content: a FIFO or device would block or lie.
        if (!std::filesystem::is_regular_file(status)) return fileFailure;
        std::int64_t size = static_cast<std::int64_t>(entry.file_size(attributeError));
        if (attributeError) size = 0;
        total += size;
        if (total > maxExpandedBytes || size != found->second.size) return fileFailure;
        auto digest = sha256(entry.path());
        if (!digest) return std::unexpected(digest.error());
        if (*digest != found->second.sha256) return fileFailure;
        seen.insert(relative);
    }
    if (seen.size() != listed->size()) return std::unexpected(error("功能包文件清单不完整"));
    if (auto css = validateCSS(directory / "ui-overrides.css"); !css) return std::unexpected(css.error());
    return PackRecord{expectedVersion, expectedRevision, archiveSHA256, platform::iso8601Now()};
}

}  // namespace taviro
