#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "platform/Error.h"

namespace taviro::platform {

// SHA-256 of a file's whole contents as 64 lower-case hexadecimal digits, read in 1 MiB pieces
// so that memory stays flat whatever the file's size.
Result<std::string> sha256HexOfFile(const std::filesystem::path& file);

// SHA-256 of `bytes` as 64 lower-case hexadecimal digits.
std::string sha256Hex(std::string_view bytes);

// True only when `signature` is a valid pure Ed25519 signature of `message` under the 32-byte raw
// `publicKey`. Any malformed input (wrong key or signature length, a key the library refuses)
// is simply "not valid".
bool ed25519Verify(std::span<const std::uint8_t> publicKey, std::span<const std::uint8_t> message,
                   std::span<const std::uint8_t> signature);
// The same for a file's whole contents, mapped rather than read: Ed25519 hashes its message
// twice, so a large archive is never copied into memory.
bool ed25519VerifyFile(std::span<const std::uint8_t> publicKey, const std::filesystem::path& file,
                       std::span<const std::uint8_t> signature);

// An Ed25519 key pair: the 32-byte private seed and its 32-byte public key.
struct Ed25519KeyPair {
    std::array<std::uint8_t, 32> privateKey;
    std::array<std::uint8_t, 32> publicKey;
};
// A new pair from the kernel's random source.
Result<Ed25519KeyPair> ed25519GenerateKeyPair();
std::array<std::uint8_t, 32> ed25519PublicKey(const std::array<std::uint8_t, 32>& privateKey);
std::array<std::uint8_t, 64> ed25519Sign(const std::array<std::uint8_t, 32>& privateKey,
                                         std::span<const std::uint8_t> message);

}  // namespace taviro::platform
