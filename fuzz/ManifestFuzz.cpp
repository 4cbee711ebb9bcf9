// A pack's manifest.json, signed with a key of the target's own so that the validation goes on
// past the signature into the file list and the walk over the pack's real files.
#include "fuzz/PackFuzz.h"
#include "lib/Base64.h"
#include "platform/Crypto.h"

namespace {

using PrivateKey = std::array<std::uint8_t, 32>;

// Makes the key, trusts it through the deployment's key-file variable and lays out the pack's
// content files, whose sizes and digests the seeds list.
PrivateKey signingKey(const std::filesystem::path& pack) {
    auto pair = taviro::platform::ed25519GenerateKeyPair();
    if (!pair) std::abort();
    auto keyFile = taviro::fuzz::scratchFolder() / "public-key.json";
    std::ofstream(keyFile) << R"({"key_id":"feature-pack-ed25519-v1","public_key_raw_base64":")"
                           << taviro::encodeBase64(pair->publicKey) << "\"}";
    ::setenv("VORDA_FEATURE_PUBLIC_KEY", keyFile.c_str(), 1);
    std::filesystem::create_directories(pack / "assets");
    std::ofstream(pack / "ui.json") << "{}";
    std::ofstream(pack / "generation_rules.json") << "{}";
    std::ofstream(pack / "ui-overrides.css") << ".toolbar { background: url(assets/bg.png); }";
    std::ofstream(pack / "assets" / "bg.png") << "png";
    return pair->privateKey;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto pack = taviro::fuzz::scratchFolder() / "pack";
    static const PrivateKey key = signingKey(pack);
    taviro::fuzz::writeInput(pack / "manifest.json", data, size);
    std::ofstream(pack / "manifest.sig") << taviro::encodeBase64(taviro::platform::ed25519Sign(key, std::span(data, size))) << "\n";
    (void)taviro::fuzz::packUpdater().validateDirectory(pack, 5, "2.1.0", std::string(64, 'a'));
    return 0;
}
