#include "tests/support/PackBuilder.h"

#include <openssl/evp.h>
#include <stdexcept>

namespace taviro::test {

std::string sha256Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) hex += {"0123456789abcdef"[digest[i] >> 4], "0123456789abcdef"[digest[i] & 15]};
    return hex;
}

void writePack(const std::filesystem::path& folder, const PackSpec& spec, const SigningKey& key) {
    nlohmann::json files = nlohmann::json::array();
    for (const auto& [path, content] : spec.files) {
        writeFile(folder / path, content);
        files.push_back({{"path", path}, {"size", content.size()}, {"sha256", sha256Hex(content)}});
    }
    nlohmann::json manifest = {
        {"schema_version", 1}, {"component", "ui-rules"}, {"version", spec.version}, {"revision", spec.revision},
        {"key_id", "feature-pack-ed25519-v1"}, {"engine_api", 1}, {"min_app_version", "1.0.0"},
        {"max_app_version_exclusive", "2.0.0"}, {"created_at", "2026-12-01T00:00:00Z"}, {"files", files},
    };
    if (spec.editManifest) spec.editManifest(manifest);
    std::string bytes = spec.editManifestBytes ? spec.editManifestBytes(manifest.dump()) : manifest.dump();
    writeFile(folder / "manifest.json", bytes);
    writeFile(folder / "manifest.sig", base64(key.sign(bytes)) + "\n");
}

std::filesystem::path zipFolder(const std::filesystem::path& folder, const std::filesystem::path& archive) {
    auto result = runCaptured({"/usr/bin/bsdtar", "--format", "zip", "-cf", archive.string(), "-C", folder.string(), "."});
    if (result.status != 0) throw std::runtime_error("bsdtar failed: " + result.err);
    return archive;
}

std::filesystem::path writeCraftedZip(const std::filesystem::path& archive, const std::vector<ZipEntry>& entries) {
    // Python's zipfile writes names and modes exactly as given, which is what hostile input needs.
    const char* script =
        "import json, sys, zipfile\n"
        "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
        "    for name, content, mode in json.loads(sys.argv[2]):\n"
        "        info = zipfile.ZipInfo(name)\n"
        "        info.create_system, info.external_attr = 3, (mode or 0o100644) << 16\n"
        "        z.writestr(info, content)\n";
    nlohmann::json list = nlohmann::json::array();
    for (const auto& entry : entries) list.push_back({entry.name, entry.content, entry.mode});
    auto result = runCaptured({"/usr/bin/python3", "-c", script, archive.string(), list.dump()});
    if (result.status != 0) throw std::runtime_error("zip writer failed: " + result.err);
    return archive;
}

}  // namespace taviro::test
