#include "selfupdate/ReleaseCheck.h"

#include <nlohmann/json.hpp>

#include "lib/UrlParts.h"
#include "platform/ReleasePlatform.h"

namespace taviro {
namespace {

Error updateError(int code, const std::string& description) { return Error{kUpdateErrorDomain, code, description}; }

std::optional<std::string> textOf(const nlohmann::json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

bool isAbsoluteURL(const std::string& text) {
    auto parts = parseUrl(text);
    return parts && parts->scheme && parts->host;
}

}  // namespace

std::string releaseCheckURL(std::string_view origin, std::string_view currentVersion) {
    return std::string(origin) + "/api/updates/check?current=" + percentEncodedQueryValue(currentVersion) +
           "&channel=stable&platform=" + percentEncodedQueryValue(platform::kReleasePlatform);
}

ReleaseCheckResult readReleaseCheck(const Result<platform::HttpResponse>& answer, std::string_view currentVersion) {
    if (!answer) return updateError(2, answer.error().description);
    if (answer->status < 200 || answer->status >= 300) {
        return updateError(2, "the update server answered " + std::to_string(answer->status));
    }
    if (!answer->body) return updateError(2, "the update server's answer had no body");
    auto body = nlohmann::json::parse(*answer->body, nullptr, /*allow_exceptions=*/false);
    if (!body.is_object()) return updateError(2, "the update server's answer is not a JSON object");
    auto available = body.find("update_available");
    if (available == body.end() || *available != true) return NoNewerRelease{};
    auto release = body.find("release");
    if (release == body.end() || !release->is_object()) return NoNewerRelease{};
    if (release->empty()) return updateError(3, "the offered release is empty");
    auto version = textOf(*release, "version");
    if (!version) return updateError(3, "the offered release has no version");
    // The version names a folder that is deleted and made again: only a plain one may.
    if (!isPlainVersion(*version)) return updateError(3, "the offered release's version is not a plain version");
    if (compareNumericStrings(*version, currentVersion) <= 0) return NoNewerRelease{};
    auto url = textOf(*release, "download_url");
    if (!url || !isAbsoluteURL(*url)) return updateError(3, "the offered release has no download address");
    return ReleaseDescription{*version, *url, textOf(*release, "signature"), textOf(*release, "ed25519_signature")};
}

int compareNumericStrings(std::string_view a, std::string_view b) {
    std::size_t i = 0, j = 0;
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && isDigit(a[ei])) ++ei;
            while (ej < b.size() && isDigit(b[ej])) ++ej;
            // Compare the runs by value: without leading zeros, a longer run is a larger number.
            std::string_view x = a.substr(i, ei - i), y = b.substr(j, ej - j);
            while (x.size() > 1 && x.front() == '0') x.remove_prefix(1);
            while (y.size() > 1 && y.front() == '0') y.remove_prefix(1);
            if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
            if (int order = x.compare(y); order != 0) return order < 0 ? -1 : 1;
            i = ei, j = ej;
        } else {
            if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]) ? -1 : 1;
            ++i, ++j;
        }
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}

bool isPlainVersion(std::string_view version) {
    if (version.empty() || version.size() > 64 || version.front() == '.' || version.find("..") != std::string_view::npos) {
        return false;
    }
    for (unsigned char c : version) {
        // ASCII only, whatever the locale: the version names a folder.
        bool letterOrDigit = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letterOrDigit && c != '.' && c != '-' && c != '+' && c != '_') return false;
    }
    return true;
}

}  // namespace taviro
