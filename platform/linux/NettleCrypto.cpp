#include "platform/Crypto.h"

#include "platform/Files.h"

#include <cerrno>
#include <fcntl.h>
#include <nettle/eddsa.h>
#include <nettle/sha2.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// nettle is the library the web engine's TLS stack maps anyway: no second crypto library in
// the process.
namespace taviro::platform {
namespace {

constexpr std::size_t kReadPiece = 1024 * 1024;

std::string lowercaseHex(const std::uint8_t* digest, std::size_t length) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        hex.push_back(kHex[digest[i] >> 4]);
        hex.push_back(kHex[digest[i] & 0xF]);
    }
    return hex;
}

std::string finish(sha256_ctx& context) {
    std::uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&context, sizeof digest, digest);
    return lowercaseHex(digest, sizeof digest);
}

}  // namespace

std::string sha256Hex(std::string_view bytes) {
    sha256_ctx context;
    sha256_init(&context);
    sha256_update(&context, bytes.size(), reinterpret_cast<const std::uint8_t*>(bytes.data()));
    return finish(context);
}

Result<std::string> sha256HexOfFile(const std::filesystem::path& file) {
    auto opened = openRegularFileForReading(file);
    if (!opened) return std::unexpected(opened.error());
    int descriptor = *opened;
    struct Closer {
        int descriptor;
        ~Closer() { ::close(descriptor); }
    } closer{descriptor};

    sha256_ctx context;
    sha256_init(&context);
    std::vector<std::uint8_t> buffer(kReadPiece);
    for (;;) {
        ssize_t count = ::read(descriptor, buffer.data(), buffer.size());
        if (count < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(posixError(errno, "cannot read " + file.string()));
        }
        if (count == 0) break;
        sha256_update(&context, static_cast<std::size_t>(count), buffer.data());
    }
    return finish(context);
}

bool ed25519Verify(std::span<const std::uint8_t> publicKey, std::span<const std::uint8_t> message,
                   std::span<const std::uint8_t> signature) {
    if (publicKey.size() != ED25519_KEY_SIZE || signature.size() != ED25519_SIGNATURE_SIZE) return false;
    // A key that is no point of the curve makes the check fail; nettle never reads past the sizes.
    return ed25519_sha512_verify(publicKey.data(), message.size(), message.data(), signature.data()) == 1;
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

Result<Ed25519KeyPair> ed25519GenerateKeyPair() {
    Ed25519KeyPair pair;
    for (std::size_t filled = 0; filled < pair.privateKey.size();) {
        ssize_t got = ::getrandom(pair.privateKey.data() + filled, pair.privateKey.size() - filled, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return std::unexpected(posixError(errno, "cannot read random bytes for a key"));
        filled += static_cast<std::size_t>(got);
    }
    ed25519_sha512_public_key(pair.publicKey.data(), pair.privateKey.data());
    return pair;
}

std::array<std::uint8_t, 32> ed25519PublicKey(const std::array<std::uint8_t, 32>& privateKey) {
    std::array<std::uint8_t, 32> publicKey;
    ed25519_sha512_public_key(publicKey.data(), privateKey.data());
    return publicKey;
}

std::array<std::uint8_t, 64> ed25519Sign(const std::array<std::uint8_t, 32>& privateKey,
                                         std::span<const std::uint8_t> message) {
    auto publicKey = ed25519PublicKey(privateKey);
    std::array<std::uint8_t, 64> signature;
    ed25519_sha512_sign(publicKey.data(), privateKey.data(), message.size(), message.data(), signature.data());
    return signature;
}

}  // namespace taviro::platform
