#include "publish/ReleasePublisher.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <regex>

#include "lib/Base64.h"
#include "platform/Archive.h"
#include "platform/Crypto.h"
#include "platform/Files.h"
#include "platform/InfoPlist.h"
#include "platform/PackageLayout.h"
#include "platform/Process.h"
#include "platform/ReleasePlatform.h"
#include "publish/Publication.h"
#include "selfupdate/UpdatePreparation.h"

namespace taviro::publish {
namespace {

// Names that are safe in a file name and an address alike.
bool isPlainName(const std::string& text) { return std::regex_match(text, std::regex("[0-9A-Za-z][0-9A-Za-z._+-]*")); }

}  // namespace

Result<PublishedRelease> publishRelease(const ReleaseOptions& options, const std::optional<PublisherKey>& key) {
    const platform::PackageLayout package{options.package / "Contents"};
    auto version = platform::infoPlistString(package.infoPlist(), "CFBundleShortVersionString");
    if (!version) return std::unexpected(publishError(package.infoPlist().string() + " names no CFBundleShortVersionString"));
    if (!isPlainName(*version)) return std::unexpected(publishError("the version \"" + *version + "\" cannot name a file"));
    if (!isPlainName(options.channel)) return std::unexpected(publishError("the channel \"" + options.channel + "\" cannot name a folder"));
    std::error_code code;
    std::filesystem::create_directories(options.output, code);
    if (code) return std::unexpected(posixError(code.value(), "cannot create " + options.output.string()));
    const std::string name = "Taviro-" + *version + "-" + platform::kReleasePlatform;
    const PublishedRelease published{options.output / (name + ".zip"), options.output / (name + ".json")};

    auto work = WorkFolder::beside(published.archive);
    if (!work) return std::unexpected(work.error());
    // The archive holds the package as Taviro.app, whatever its folder is called here.
    std::filesystem::create_directories(work->path() / "package");
    std::filesystem::create_directory_symlink(std::filesystem::absolute(options.package), work->path() / "package" / "link", code);
    const auto archive = work->path() / "release.zip";
    auto status = platform::runAndWait(platform::kZipUnpackTool,
                                       {"--format", "zip", "-cf", archive.string(), "-C", (work->path() / "package").string(),
                                        "-s", "|^link|Taviro.app|", "-H", "link"});
    if (code || !status || *status != 0) return std::unexpected(publishError("cannot zip " + options.package.string()));
    // As the self-update will: unpacked by the same tool, then the package's own check.
    std::filesystem::create_directories(work->path() / "staged");
    status = platform::runAndWait(platform::kZipUnpackTool, {"-x", "-f", archive.string(), "-C", (work->path() / "staged").string()});
    if (!status || *status != 0) return std::unexpected(publishError("the archive does not unpack"));
    if (auto checked = checkStagedPackage(work->path() / "staged" / "Taviro.app", *version); !checked) {
        return std::unexpected(publishError("the self-update would refuse this release: " + checked.error().description));
    }

    auto digest = platform::sha256HexOfFile(archive);
    auto size = std::filesystem::file_size(archive, code);
    if (!digest || code) return std::unexpected(publishError("cannot read " + archive.string()));
    nlohmann::json entry = {{"version", *version},         {"platform", platform::kReleasePlatform},
                            {"channel", options.channel},  {"archive", published.archive.filename().string()},
                            {"sha256", *digest},           {"size_bytes", size}};
    if (key) {
        auto bytes = platform::readFile(archive);
        if (!bytes) return std::unexpected(bytes.error());
        auto signature = platform::ed25519Sign(key->privateKey, std::span(reinterpret_cast<const std::uint8_t*>(bytes->data()),
                                                                          bytes->size()));
        entry["ed25519_signature"] = encodeBase64(signature);
    }
    const auto entryFile = work->path() / "entry.json";
    if (auto written = platform::writeFileAtomically(entryFile, entry.dump(2) + "\n", 0644); !written) {
        return std::unexpected(written.error());
    }
    // The archive first: an entry is only ever read beside its archive.
    if (auto placed = placeNew(archive, published.archive); !placed) return std::unexpected(placed.error());
    if (auto placed = placeNew(entryFile, published.entry); !placed) {
        std::remove(published.archive.c_str());
        return std::unexpected(placed.error());
    }
    return published;
}

}  // namespace taviro::publish
