#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
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
    // The deployment's update key file; present only where the deployment signs its releases.
    std::optional<std::filesystem::path> updatePublicKey;
};

inline constexpr const char* kUpdateKeyID = "update-ed25519-v1";

enum class PreparationStep { verifying, preparing };

// The unpacked package at `app` can start on this machine and is `version`: anything else would
// either not run after the swap or be swapped in again at every quit (code 4).
VoidResult checkStagedPackage(const std::filesystem::path& app, const std::string& version);

// Why nobody could check this package before it runs, if so: with an update key, it has no
// signature; without, it is fetched over plain http with no digest.
std::optional<std::string> unverifiableReason(const ReleaseDescription& release, bool signedReleases);

// The digest check: a blank expected digest accepts anything; otherwise the file's digest must
// equal the expected text as received, in either case.
bool digestMatches(const std::filesystem::path& archive, const std::optional<std::string>& expectedSHA256);

// Background thread. Downloads the release into its version folder (which exists), checks its
// digest and, with an update key, its signature, unpacks it, checks that the package runs here
// and is the offered version, and writes the swap script and the record for `appPackage`. Calls
// `onStep` as it begins checking and unpacking. Any failure (domain "VordaUpdate", code 4 for
// the package's own faults) removes the version folder.
Result<PreparedUpdate> downloadAndPrepare(const PreparationTools& tools, const UpdateFolder& folder,
                                          const ReleaseDescription& release, const std::filesystem::path& appPackage,
                                          const std::function<void(PreparationStep)>& onStep);

}  // namespace taviro
