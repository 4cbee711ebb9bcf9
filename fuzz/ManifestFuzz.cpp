// A pack's manifest.json, signed with a key of the target's own so that the validation goes on
// past the signature into the file list and the walk over the pack's real files.
#include <memory>
#include <openssl/evp.h>

#include "fuzz/PackFuzz.h"

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

std::string base64Of(const unsigned char* bytes, std::size_t size) {
    std::string out(4 * ((size + 2) / 3) + 1, '\0');
    out.resize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes, static_cast<int>(size)));
    return out;
}

// Makes the key, trusts it through the deployment's key-file variable and lays out the pack's
// content files, whose sizes and digests the seeds list.
const Key& signingKey(const std::filesystem::path& pack) {
    static Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), EVP_PKEY_free);
    unsigned char raw[32];
    std::size_t length = sizeof raw;
    if (key == nullptr || EVP_PKEY_get_raw_public_key(key.get(), raw, &length) != 1) std::abort();
    auto keyFile = taviro::fuzz::scratchFolder() / "public-key.json";
    std::ofstream(keyFile) << R"({"key_id":"feature-pack-ed25519-v1","public_key_raw_base64":")"
                           << base64Of(raw, length) << "\"}";
    ::setenv("VORDA_FEATURE_PUBLIC_KEY", keyFile.c_str(), 1);
    std::filesystem::create_directories(pack / "assets");
    std::ofstream(pack / "ui.json") << "{}";
    std::ofstream(pack / "generation_rules.json") << "{}";
    std::ofstream(pack / "ui-overrides.css") << ".toolbar { background: url(assets/bg.png); }";
    std::ofstream(pack / "assets" / "bg.png") << "png";
    return key;
}

void sign(const Key& key, const std::uint8_t* data, std::size_t size, const std::filesystem::path& file) {
    unsigned char signature[64];
    std::size_t length = sizeof signature;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), signature, &length, data, size) != 1) {
        std::abort();
    }
    std::ofstream(file) << base64Of(signature, length) << "\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto pack = taviro::fuzz::scratchFolder() / "pack";
    static const Key& key = signingKey(pack);
    taviro::fuzz::writeInput(pack / "manifest.json", data, size);
    sign(key, data, size, pack / "manifest.sig");
    (void)taviro::fuzz::packUpdater().validateDirectory(pack, 5, "2.1.0", std::string(64, 'a'));
    return 0;
}
