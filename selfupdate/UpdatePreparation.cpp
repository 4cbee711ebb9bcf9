#include "selfupdate/UpdatePreparation.h"

#include <algorithm>

#include "lib/Text.h"
#include "lib/UrlParts.h"
#include "platform/Archive.h"
#include "platform/Clock.h"
#include "platform/Crypto.h"
#include "platform/Files.h"
#include "platform/UpdateSwapScript.h"

namespace taviro {
namespace {

Error preparationError(const std::string& description) { return Error{kUpdateErrorDomain, 4, description}; }

Result<PreparedUpdate> prepare(const PreparationTools& tools, const UpdateFolder& folder,
                               const ReleaseDescription& release, const std::function<void(PreparationStep)>& onStep) {
    // A download that would fill the disk stops as one that is too large does.
    auto room = platform::availableBytes(folder.folder);
    if (!room) return std::unexpected(room.error());
    platform::DownloadOptions options;
    options.maximumBytes = std::min(kMaxUpdateDownloadBytes, *room - std::min(*room, kUpdateDiskReserveBytes));
    options.timeoutSeconds = kUpdateDownloadTimeoutSeconds;
    options.stallSeconds = kUpdateDownloadStallSeconds;
    options.cancelled = tools.cancelled;
    auto status = tools.http->download(release.downloadURL, folder.archive(), options);
    if (!status) return std::unexpected(status.error());
    if (*status < 200 || *status > 299) return std::unexpected(preparationError("the package download answered " + std::to_string(*status)));

    onStep(PreparationStep::verifying);
    if (!digestMatches(folder.archive(), release.expectedSHA256)) {
        return std::unexpected(preparationError("the package does not match its digest"));
    }

    onStep(PreparationStep::preparing);
    // Bounded before anything is unpacked, and measured again after: headers may understate.
    auto declared = platform::zipDeclaredTotals(folder.archive());
    if (!declared) return std::unexpected(declared.error());
    auto available = platform::availableBytes(folder.folder);
    if (!available) return std::unexpected(available.error());
    const auto bytes = static_cast<std::uint64_t>(declared->bytes);
    if (declared->entries > kMaxUpdateEntries || bytes > kMaxUpdateUnpackedBytes) {
        return std::unexpected(preparationError("the package would unpack beyond its bounds"));
    }
    if (bytes + kUpdateDiskReserveBytes > *available) return std::unexpected(preparationError("the package would fill the disk"));
    std::error_code error;
    if (!std::filesystem::create_directories(folder.staged(), error)) {
        return std::unexpected(posixError(error ? error.value() : EEXIST, "cannot create " + folder.staged().string()));
    }
    int unpacked = tools.runProcess(platform::kZipUnpackTool, {"-x", "-f", folder.archive().string(), "-C", folder.staged().string()});
    if (unpacked != 0) return std::unexpected(preparationError("unpacking failed with status " + std::to_string(unpacked)));
    auto size = platform::treeSize(folder.staged());
    if (!size || *size > kMaxUpdateUnpackedBytes) return std::unexpected(preparationError("the package unpacked beyond its bounds"));
    if (!std::filesystem::is_directory(folder.newApp(), error)) {
        return std::unexpected(preparationError("the package holds no Taviro.app"));
    }

    if (auto written = platform::writeFileAtomically(folder.script(), platform::updateSwapScript(), 0755); !written) {
        return std::unexpected(written.error());
    }
    // The script must run: a mode that did not take is a failure here, not at quit.
    if (::access(folder.script().c_str(), X_OK) != 0) return std::unexpected(posixError(errno, "cannot make the swap script executable"));
    auto record = preparedUpdateRecord(folder, release, platform::iso8601Now());
    if (auto written = platform::writeFileAtomically(folder.record(), record, 0644); !written) return std::unexpected(written.error());
    return PreparedUpdate{release.version, folder.script(), folder.newApp(), folder.log()};
}

}  // namespace

bool isUnverifiable(const ReleaseDescription& release) {
    auto parts = parseUrl(release.downloadURL);
    const bool plainHttp = parts && parts->scheme && lowercaseASCII(*parts->scheme) == "http";
    return plainHttp && (!release.expectedSHA256 || trimWhitespaceAndNewlines(*release.expectedSHA256).empty());
}

bool digestMatches(const std::filesystem::path& archive, const std::optional<std::string>& expectedSHA256) {
    if (!expectedSHA256 || trimWhitespaceAndNewlines(*expectedSHA256).empty()) return true;
    auto digest = platform::sha256HexOfFile(archive);
    return digest && *digest == lowercaseASCII(*expectedSHA256);
}

Result<PreparedUpdate> downloadAndPrepare(const PreparationTools& tools, const UpdateFolder& folder,
                                          const ReleaseDescription& release,
                                          const std::function<void(PreparationStep)>& onStep) {
    auto prepared = prepare(tools, folder, release, onStep);
    if (!prepared) platform::removeTree(folder.folder);
    return prepared;
}

}  // namespace taviro
