#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/HttpClient.h"
#include "selfupdate/PreparedUpdate.h"
#include "selfupdate/ReleaseCheck.h"

namespace taviro {

// Bounds on what a release may cost the disk, and how long a silent server is waited for.
inline constexpr std::uint64_t kMaxUpdateDownloadBytes = 2ULL << 30;
inline constexpr std::uint64_t kMaxUpdateUnpackedBytes = 4ULL << 30;
inline constexpr std::int64_t kMaxUpdateEntries = 200000;
// Left free by the download and the unpacking, so that preparing a release never fills the disk.
inline constexpr std::uint64_t kUpdateDiskReserveBytes = 64ULL << 20;
inline constexpr double kUpdateDownloadTimeoutSeconds = 3600;
inline constexpr double kUpdateDownloadStallSeconds = 60;

struct PreparationTools {
    std::shared_ptr<platform::HttpClient> http;
    // Runs a tool and waits: its termination status.
    std::function<int(const std::string&, const std::vector<std::string>&)> runProcess;
    // True once the application quits: the download stops.
    std::function<bool()> cancelled;
};

enum class PreparationStep { verifying, preparing };

// A package that nobody could check before it runs: fetched over plain http with no digest.
bool isUnverifiable(const ReleaseDescription& release);

// The digest check: a blank expected digest accepts anything; otherwise the file's digest must
// equal the expected text as received, in either case.
bool digestMatches(const std::filesystem::path& archive, const std::optional<std::string>& expectedSHA256);

// Background thread. Downloads the release into its version folder (which exists), checks it,
// unpacks it and writes the swap script and the record. Calls `onStep` as it begins checking
// and unpacking. Any failure removes the version folder.
Result<PreparedUpdate> downloadAndPrepare(const PreparationTools& tools, const UpdateFolder& folder,
                                          const ReleaseDescription& release,
                                          const std::function<void(PreparationStep)>& onStep);

}  // namespace taviro
