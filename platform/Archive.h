#pragma once

#include <cstdint>
#include <filesystem>

#include "platform/Error.h"

namespace taviro::platform {

// The unpacker the self-update runs on a whole release (zip only; the process runner runs it).
inline constexpr const char* kZipUnpackTool = "/usr/bin/bsdtar";

// What one extraction may write. Anything beyond a bound stops the extraction with an error.
struct ExtractionLimits {
    std::int64_t maxEntries;
    std::int64_t maxEntryBytes;
    std::int64_t maxTotalBytes;
};

// What a zip archive's entries declare, read from its headers without unpacking anything.
struct ArchiveTotals {
    std::int64_t entries = 0;
    std::int64_t bytes = 0;
};
Result<ArchiveTotals> zipDeclaredTotals(const std::filesystem::path& archive);

// True when the file starts like a zip archive.
bool looksLikeZipArchive(const std::filesystem::path& archive);

// Unpacks a zip archive into `folder`, which must exist. Only folders and regular files are
// written, each under `folder` (no absolute names, no "..", no links, devices or duplicates),
// folders with mode 0755 and files 0644 whatever the archive says; the bounds are checked on
// the bytes actually unpacked, not on what the archive claims. On an error `folder` may hold
// part of the archive; the caller removes it.
VoidResult extractZip(const std::filesystem::path& archive, const std::filesystem::path& folder,
                      const ExtractionLimits& limits);

}  // namespace taviro::platform
