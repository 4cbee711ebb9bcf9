#include "publish/PublisherKey.h"

#include <cerrno>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include "lib/Base64.h"
#include "platform/Crypto.h"
#include "platform/Files.h"

namespace taviro::publish {
namespace {

constexpr std::int64_t kMaxKeyFileBytes = 64 * 1024;

Error keyError(const std::string& what) { return Error{"TaviroPublish", 1, what}; }

// Creates `file` with `bytes`, flushed; fails rather than replace anything already there.
VoidResult writeNewFile(const std::filesystem::path& file, const std::string& bytes, mode_t mode) {
    int descriptor = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (descriptor < 0) return std::unexpected(posixError(errno, "cannot create " + file.string()));
    bool written = platform::writeAll(descriptor, bytes.data(), bytes.size()) && ::fsync(descriptor) == 0;
    int failure = written ? 0 : errno;
    if (::close(descriptor) != 0 && written) written = false, failure = errno;
    if (written) return {};
    ::unlink(file.c_str());
    return std::unexpected(posixError(failure, "cannot write " + file.string()));
}

}  // namespace

const char* keyID(KeyPurpose purpose) {
    return purpose == KeyPurpose::packs ? "feature-pack-ed25519-v1" : "update-ed25519-v1";
}

std::string PublisherKey::publicKeyFile() const {
    auto publicKey = platform::ed25519PublicKey(privateKey);
    return nlohmann::json{{"key_id", keyID(purpose)}, {"public_key_raw_base64", encodeBase64(publicKey)}}.dump(2) + "\n";
}

Result<std::pair<std::filesystem::path, std::filesystem::path>> generateKeyPair(const std::filesystem::path& folder,
                                                                                 KeyPurpose purpose) {
    std::error_code code;
    std::filesystem::create_directories(folder, code);
    if (code) return std::unexpected(posixError(code.value(), "cannot create " + folder.string()));
    const std::string name = purpose == KeyPurpose::packs ? "feature-pack" : "update";
    const auto privateFile = folder / (name + "-private-key.json"), publicFile = folder / (name + "-public-key.json");
    for (const auto& file : {privateFile, publicFile}) {
        if (std::filesystem::symlink_status(file, code).type() != std::filesystem::file_type::not_found) {
            return std::unexpected(keyError(file.string() + " exists already; a key is never written over"));
        }
    }
    auto pair = platform::ed25519GenerateKeyPair();
    if (!pair) return std::unexpected(pair.error());
    PublisherKey key{purpose, pair->privateKey};
    const std::string privateJSON =
        nlohmann::json{{"key_id", keyID(purpose)}, {"private_key_raw_base64", encodeBase64(key.privateKey)}}.dump(2) + "\n";
    if (auto written = writeNewFile(privateFile, privateJSON, 0600); !written) return std::unexpected(written.error());
    if (auto written = writeNewFile(publicFile, key.publicKeyFile(), 0644); !written) {
        ::unlink(privateFile.c_str());
        return std::unexpected(written.error());
    }
    return std::pair{privateFile, publicFile};
}

Result<PublisherKey> readPrivateKey(const std::filesystem::path& file, KeyPurpose purpose) {
    auto text = platform::readUntrustedFile(file, kMaxKeyFileBytes);
    if (!text) return std::unexpected(text.error());
    auto json = nlohmann::json::parse(*text, nullptr, false);
    auto field = [&](const char* key) {
        return json.is_object() && json.contains(key) && json[key].is_string() ? json[key].get<std::string>() : "";
    };
    const std::string id = field("key_id");
    if (id != keyID(purpose)) {
        return std::unexpected(keyError(file.string() + " is not a private key for " +
                                        (purpose == KeyPurpose::packs ? "feature packs" : "updates") + " (key_id \"" +
                                        id + "\", expected \"" + keyID(purpose) + "\")"));
    }
    auto seed = decodeBase64Strict(field("private_key_raw_base64"));
    if (!seed || seed->size() != 32) return std::unexpected(keyError(file.string() + " holds no 32-byte private key"));
    PublisherKey key{purpose, {}};
    std::copy(seed->begin(), seed->end(), key.privateKey.begin());
    return key;
}

}  // namespace taviro::publish
