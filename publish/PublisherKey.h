#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/Error.h"

namespace taviro::publish {

// What a key signs: feature packs or releases of the application. Each has its own key_id, and
// a key of one purpose is refused for the other.
enum class KeyPurpose { packs, updates };

const char* keyID(KeyPurpose purpose);

// The private half of a publisher's key: {"key_id": ..., "private_key_raw_base64": ...}, the
// 32-byte Ed25519 seed, in a file only its owner may read.
struct PublisherKey {
    KeyPurpose purpose;
    std::array<std::uint8_t, 32> privateKey;

    // The public half in the application's key-file format.
    std::string publicKeyFile() const;
};

// Makes a new pair in `folder` (created when missing): "<name>-private-key.json" (mode 0600) and
// "<name>-public-key.json", where name is "feature-pack" or "update". Never writes over a file:
// when either exists, or anything fails, nothing new is left behind. Returns the two paths.
Result<std::pair<std::filesystem::path, std::filesystem::path>> generateKeyPair(const std::filesystem::path& folder,
                                                                                 KeyPurpose purpose);

// Reads a private key file made for `purpose`.
Result<PublisherKey> readPrivateKey(const std::filesystem::path& file, KeyPurpose purpose);

}  // namespace taviro::publish
