// The trust decision for a pack: an Ed25519 signature over the exact bytes of manifest.json.
#include <nlohmann/json.hpp>

#include "lib/Base64.h"
#include "lib/PublicKeyFile.h"
#include "featurepack/FeaturePackUpdater.h"
#include "lib/Text.h"
#include "lib/Utf8.h"
#include "platform/Crypto.h"
#include "platform/Files.h"
#include "platform/PackageLayout.h"
#include "platform/Paths.h"

namespace taviro {
namespace {

constexpr const char* kBadSignature = "功能包数字签名无效";

}  // namespace

std::filesystem::path FeaturePackUpdater::publicKeyPath() const {
    // Present means used, even when empty: a deployment that sets it never falls back silently.
    if (auto configured = platform::environmentValue("VORDA_FEATURE_PUBLIC_KEY")) return *configured;
    return platform::PackageLayout::running().featurePackPublicKey();
}

VoidResult FeaturePackUpdater::verifySignature(const std::string& manifestData,
                                               const std::filesystem::path& signatureURL) const {
    auto refused = std::unexpected(error(kBadSignature));
    auto keyFile = platform::readFile(publicKeyPath());
    auto key = keyFile ? readEd25519PublicKey(*keyFile, keyID) : std::nullopt;
    if (!key) return refused;

    auto signatureText = platform::readUntrustedFile(signatureURL, maxSingleFileBytes);
    if (!signatureText || !isValidUtf8(*signatureText)) return refused;
    auto signature = decodeBase64Strict(trimWhitespaceAndNewlines(*signatureText));
    if (!signature) return refused;

    auto message = std::span(reinterpret_cast<const std::uint8_t*>(manifestData.data()), manifestData.size());
    if (!platform::ed25519Verify(*key, message, *signature)) return refused;
    return {};
}

}  // namespace taviro
