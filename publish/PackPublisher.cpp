#include "publish/PackPublisher.h"

#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "featurepack/FeaturePackUpdater.h"
#include "lib/Base64.h"
#include "platform/Clock.h"
#include "platform/Crypto.h"
#include "platform/Files.h"
#include "publish/Publication.h"

namespace taviro::publish {
namespace {

// The source's files, relative and sorted; a link is kept as one so that the check refuses it
// as the application would. The manifest and its signature are made anew.
Result<std::vector<std::string>> sourceFiles(const std::filesystem::path& source) {
    std::error_code code;
    if (!std::filesystem::is_directory(source, code)) return std::unexpected(publishError(source.string() + " is not a folder"));
    std::vector<std::string> names;
    std::filesystem::recursive_directory_iterator walk(source, code), end;
    for (; !code && walk != end; walk.increment(code)) {
        if (walk->is_directory(code) && !walk->is_symlink(code)) continue;
        auto name = walk->path().lexically_relative(source).generic_string();
        if (name != "manifest.json" && name != "manifest.sig") names.push_back(name);
    }
    if (code) return std::unexpected(posixError(code.value(), "cannot read " + source.string()));
    std::sort(names.begin(), names.end());
    return names;
}

Result<std::string> manifestFor(const PackOptions& options, const std::vector<std::string>& names) {
    nlohmann::json files = nlohmann::json::array();
    for (const auto& name : names) {
        const auto path = options.source / name;
        std::error_code code;
        if (std::filesystem::is_symlink(path, code)) continue;
        auto digest = platform::sha256HexOfFile(path);
        if (!digest) return std::unexpected(digest.error());
        files.push_back({{"path", name}, {"size", std::filesystem::file_size(path, code)}, {"sha256", *digest}});
    }
    nlohmann::json manifest = {{"schema_version", 1},
                               {"component", FeaturePackUpdater::component},
                               {"version", options.version},
                               {"revision", options.revision},
                               {"key_id", keyID(KeyPurpose::packs)},
                               {"engine_api", FeaturePackUpdater::engineAPI},
                               {"min_app_version", options.minAppVersion},
                               {"max_app_version_exclusive", options.maxAppVersionExclusive},
                               {"created_at", platform::iso8601Now()},
                               {"files", files}};
    return manifest.dump(2) + "\n";
}

// The application's own staging check, in a store of its own, against the public half of `key`
// and at the oldest application version the pack names.
VoidResult checkAsTheApplication(const PackOptions& options, const PublisherKey& key,
                                 const std::filesystem::path& archive, const std::filesystem::path& work) {
    const auto publicKey = work / "public-key.json";
    if (auto written = platform::writeFileAtomically(publicKey, key.publicKeyFile(), 0644); !written) return written;
    ::setenv("VORDA_FEATURE_PUBLIC_KEY", publicKey.c_str(), 1);
    ::setenv("VORDA_FEATURE_PACK_TEST_ROOT", (work / "store").c_str(), 1);
    auto digest = platform::sha256HexOfFile(archive);
    if (!digest) return std::unexpected(digest.error());
    FeaturePackUpdater application(options.minAppVersion, nullptr);
    return application.verifyArchiveForTesting(archive, options.version, options.revision, *digest,
                                               FeaturePackUpdater::downloadUnpackFailure);
}

}  // namespace

Result<std::filesystem::path> publishPack(const PackOptions& options, const PublisherKey& key) {
    auto names = sourceFiles(options.source);
    if (!names) return std::unexpected(names.error());
    auto manifest = manifestFor(options, *names);
    if (!manifest) return std::unexpected(manifest.error());
    auto work = WorkFolder::beside(options.output);
    if (!work) return std::unexpected(work.error());

    // A copy of the source with the signed manifest: the source folder itself is never changed.
    const auto packFolder = work->path() / "pack";
    std::error_code code;
    std::filesystem::copy(options.source, packFolder,
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks, code);
    if (code) return std::unexpected(posixError(code.value(), "cannot copy " + options.source.string()));
    auto signature = platform::ed25519Sign(key.privateKey, std::span(reinterpret_cast<const std::uint8_t*>(manifest->data()),
                                                                     manifest->size()));
    const std::string signatureText = encodeBase64(signature) + "\n";
    for (auto [name, bytes] : {std::pair{"manifest.json", *manifest}, std::pair{"manifest.sig", signatureText}}) {
        if (auto written = platform::writeFileAtomically(packFolder / name, bytes, 0644); !written) {
            return std::unexpected(written.error());
        }
    }
    names->insert(names->begin(), {"manifest.json", "manifest.sig"});
    const auto archive = work->path() / "pack.zip";
    if (auto zipped = writeZip(archive, packFolder, *names); !zipped) return std::unexpected(zipped.error());
    if (auto checked = checkAsTheApplication(options, key, archive, work->path()); !checked) {
        return std::unexpected(publishError("the application would refuse this pack: " + checked.error().description));
    }
    if (auto placed = placeNew(archive, options.output); !placed) return std::unexpected(placed.error());
    return options.output;
}

}  // namespace taviro::publish
