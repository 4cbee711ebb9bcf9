#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "publish/PublisherKey.h"

namespace taviro::publish {

struct ReleaseOptions {
    std::filesystem::path package;  // a built Taviro.app
    std::filesystem::path output;   // the folder the archive and its entry go to
    std::string channel = "stable";
};

struct PublishedRelease {
    std::filesystem::path archive, entry;
};

// Zips the package as "Taviro.app" with its modes, checks the archive as the self-update checks
// a prepared release (it unpacks, runs here and is the version its Info.plist names), and writes
// "Taviro-<version>-<platform>.zip" and its entry for the remote API, "….json": version,
// platform, channel, archive, sha256, size_bytes and, with `key`, the archive's Ed25519
// signature. Neither replaces an existing file; on failure neither is left.
Result<PublishedRelease> publishRelease(const ReleaseOptions& options, const std::optional<PublisherKey>& key);

}  // namespace taviro::publish
