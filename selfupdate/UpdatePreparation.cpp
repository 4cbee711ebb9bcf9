#include "selfupdate/UpdatePreparation.h"

#include <algorithm>

#include "lib/Base64.h"
#include "lib/PublicKeyFile.h"
#include "lib/Text.h"
#include "lib/UrlParts.h"
#include "platform/Archive.h"
#include "platform/Clock.h"
#include "platform/Crypto.h"
#include "platform/Files.h"
#include "platform/InfoPlist.h"
#include "platform/NativeExecutable.h"
#include "platform/PackageLayout.h"
#include "platform/UpdateSwapScript.h"

namespace taviro {
namespace {

// A key file is a few dozen bytes.
constexpr std::int64_t kMaxKeyFileBytes = 64 * 1024;

Error preparationError(const std::string& description) { return Error{kUpdateErrorDomain, 4, description}; }

// The archive's bytes signed with the deployment's update key, in the strict base64 of pack
// signatures.
bool signatureMatches(const std::filesystem::path& keyFile, const std::filesystem::path& archive,
                      const std::optional<std::string>& signatureText) {
    auto keyText = platform::readUntrustedFile(keyFile, kMaxKeyFileBytes);
    auto key = keyText ? readEd25519PublicKey(*keyText, kUpdateKeyID) : std::nullopt;
    auto signature = signatureText ? decodeBase64Strict(*signatureText) : std::nullopt;
    return key && signature && platform::ed25519VerifyFile(*key, archive, *signature);
}


Result<PreparedUpdate> prepare(const PreparationTools& tools, const UpdateFolder& folder,
                               const ReleaseDescription& release, const std::filesystem::path& appPackage,
                               const std::function<void(PreparationStep)>& onStep) {
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
    if (tools.updatePublicKey && !signatureMatches(*tools.updatePublicKey, folder.archive(), release.ed25519Signature)) {
        return std::unexpected(preparationError("the package's signature is not valid"));
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
    if (auto checked = checkStagedPackage(folder.newApp(), release.version); !checked) return std::unexpected(checked.error());

    if (auto written = platform::writeFileAtomically(folder.script(), platform::updateSwapScript(), 0755); !written) {
        return std::unexpected(written.error());
    }
    // The script must run: a mode that did not take is a failure here, not at quit.
    if (::access(folder.script().c_str(), X_OK) != 0) return std::unexpected(posixError(errno, "cannot make the swap script executable"));
    auto record = preparedUpdateRecord(folder, release, appPackage, platform::iso8601Now());
    if (auto written = platform::writeFileAtomically(folder.record(), record, 0644); !written) return std::unexpected(written.error());
    return PreparedUpdate{release.version, folder.script(), folder.newApp(), folder.log(), appPackage};
}

}  // namespace

VoidResult checkStagedPackage(const std::filesystem::path& app, const std::string& version) {
    const platform::PackageLayout package{app / "Contents"};
    if (!platform::isNativeExecutable(package.executable())) {
        return std::unexpected(preparationError("the package's Contents/MacOS/Taviro is not an executable for this machine"));
    }
    auto packaged = platform::infoPlistString(package.infoPlist(), "CFBundleShortVersionString");
    if (packaged != version) {
        return std::unexpected(preparationError("the package is version " + packaged.value_or("(none)") + ", not " + version));
    }
    return {};
}

std::optional<std::string> unverifiableReason(const ReleaseDescription& release, bool signedReleases) {
    // The signature is the trust: plain http is then as good as any.
    if (signedReleases) {
        if (release.ed25519Signature) return std::nullopt;
        return "the release is not signed";
    }
    auto parts = parseUrl(release.downloadURL);
    const bool plainHttp = parts && parts->scheme && lowercaseASCII(*parts->scheme) == "http";
    if (!plainHttp || (release.expectedSHA256 && !trimWhitespaceAndNewlines(*release.expectedSHA256).empty())) return std::nullopt;
    return "a plain http download needs the release's sha256";
}

bool digestMatches(const std::filesystem::path& archive, const std::optional<std::string>& expectedSHA256) {
    if (!expectedSHA256 || trimWhitespaceAndNewlines(*expectedSHA256).empty()) return true;
    auto digest = platform::sha256HexOfFile(archive);
    return digest && *digest == lowercaseASCII(*expectedSHA256);
}

Result<PreparedUpdate> downloadAndPrepare(const PreparationTools& tools, const UpdateFolder& folder,
                                          const ReleaseDescription& release, const std::filesystem::path& appPackage,
                                          const std::function<void(PreparationStep)>& onStep) {
    auto prepared = prepare(tools, folder, release, appPackage, onStep);
    if (!prepared) platform::removeTree(folder.folder);
    return prepared;
}

}  // namespace taviro
