#include "platform/Crypto.h"

#include "platform/Files.h"

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace taviro::platform {
namespace {

struct DigestContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct KeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextDeleter>;
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;

constexpr std::size_t kReadPiece = 1024 * 1024;

Error cryptoError(const std::string& what) { return Error{"OpenSSL", 1, what}; }

std::string lowercaseHex(const unsigned char* digest, unsigned int length) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        hex.push_back(kHex[digest[i] >> 4]);
        hex.push_back(kHex[digest[i] & 0xF]);
    }
    return hex;
}

}  // namespace

std::string sha256Hex(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &digestLength, EVP_sha256(), nullptr);
    return lowercaseHex(digest, digestLength);
}

Result<std::string> sha256HexOfFile(const std::filesystem::path& file) {
    auto opened = openRegularFileForReading(file);
    if (!opened) return std::unexpected(opened.error());
    int descriptor = *opened;
    struct Closer {
        int descriptor;
        ~Closer() { ::close(descriptor); }
    } closer{descriptor};

    DigestContext context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        return std::unexpected(cryptoError("cannot start a SHA-256 digest"));
    }
    std::vector<unsigned char> buffer(kReadPiece);
    for (;;) {
        ssize_t count = ::read(descriptor, buffer.data(), buffer.size());
        if (count < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(posixError(errno, "cannot read " + file.string()));
        }
        if (count == 0) break;
        EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(count));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &digestLength) != 1) {
        return std::unexpected(cryptoError("cannot finish a SHA-256 digest"));
    }
    return lowercaseHex(digest, digestLength);
}

bool ed25519Verify(std::span<const std::uint8_t> publicKey, std::span<const std::uint8_t> message,
                   std::span<const std::uint8_t> signature) {
    if (publicKey.size() != 32 || signature.size() != 64) return false;
    Key key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.data(), publicKey.size()));
    if (!key) return false;
    DigestContext context(EVP_MD_CTX_new());
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1) return false;
    return EVP_DigestVerify(context.get(), signature.data(), signature.size(), message.data(), message.size()) == 1;
}

bool ed25519VerifyFile(std::span<const std::uint8_t> publicKey, const std::filesystem::path& file,
                       std::span<const std::uint8_t> signature) {
    auto opened = openRegularFileForReading(file);
    if (!opened) return false;
    struct stat info{};
    const bool sized = ::fstat(*opened, &info) == 0;
    const auto length = sized ? static_cast<std::size_t>(info.st_size) : 0;
    // An empty file cannot be mapped; its message is empty.
    void* mapped = length == 0 ? nullptr : ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, *opened, 0);
    ::close(*opened);
    if (!sized || mapped == MAP_FAILED) return false;
    const bool valid = ed25519Verify(publicKey, std::span(static_cast<const std::uint8_t*>(mapped), length), signature);
    if (mapped) ::munmap(mapped, length);
    return valid;
}

}  // namespace taviro::platform
