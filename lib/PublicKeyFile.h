#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace taviro {

// The 32-byte Ed25519 key of a public-key file, {"key_id": ..., "public_key_raw_base64": ...},
// whose key_id is `keyId`; absent for anything else, so that a key made for one purpose never
// vouches for another.
std::optional<std::vector<std::uint8_t>> readEd25519PublicKey(std::string_view json, std::string_view keyId);

}  // namespace taviro
