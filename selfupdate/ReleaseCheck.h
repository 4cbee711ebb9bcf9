#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/Error.h"
#include "platform/HttpClient.h"

namespace taviro {

// A newer release the update server offers.
struct ReleaseDescription {
    std::string version;
    std::string downloadURL;
    std::optional<std::string> expectedSHA256;
    // Base64 Ed25519 signature over the archive's bytes, for a deployment that signs its releases.
    std::optional<std::string> ed25519Signature;
};

struct NoNewerRelease {};

// What a release check found: a failure (domain "VordaUpdate"), nothing newer, or a release.
using ReleaseCheckResult = std::variant<Error, NoNewerRelease, ReleaseDescription>;

inline constexpr const char* kUpdateErrorDomain = "VordaUpdate";
inline constexpr double kReleaseCheckTimeoutSeconds = 12.0;

// origin + "/api/updates/check" with "current", "channel" and "platform", in that order.
std::string releaseCheckURL(std::string_view origin, std::string_view currentVersion);

// Reads the server's answer to a check made for `currentVersion`.
ReleaseCheckResult readReleaseCheck(const Result<platform::HttpResponse>& answer, std::string_view currentVersion);

// Orders version texts with runs of digits compared by their value: 1.0.10 after 1.0.9.
int compareNumericStrings(std::string_view a, std::string_view b);

// A version that may name a folder: ASCII letters, digits, ".", "-", "+", "_"; not starting
// with "."; no ".."; at most 64 characters.
bool isPlainVersion(std::string_view version);

}  // namespace taviro
