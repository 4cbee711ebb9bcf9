#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/Error.h"
#include "publish/PublisherKey.h"

namespace taviro::publish {

struct PackOptions {
    std::filesystem::path source;
    std::int64_t revision = 0;
    std::string version, minAppVersion, maxAppVersionExclusive;
    std::filesystem::path output;  // the archive to write; must not exist
};

// Signs the pack in `options.source` (every file listed with its size and SHA-256 in a new
// manifest.json; the source folder is left as it is) and zips it. The archive is checked as the
// application stages a downloaded pack, and is only left at `options.output` when the
// application would take it; otherwise its refusal, in its own words, is returned.
Result<std::filesystem::path> publishPack(const PackOptions& options, const PublisherKey& key);

}  // namespace taviro::publish
