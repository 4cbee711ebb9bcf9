#include "lib/PublicKeyFile.h"

#include <nlohmann/json.hpp>

#include "lib/Base64.h"

namespace taviro {

std::optional<std::vector<std::uint8_t>> readEd25519PublicKey(std::string_view json, std::string_view keyId) {
    auto document = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
    if (!document.is_object() || document.empty()) return std::nullopt;
    auto id = document.find("key_id");
    if (id == document.end() || !id->is_string() || id->get_ref<const std::string&>() != keyId) return std::nullopt;
    auto raw = document.find("public_key_raw_base64");
    if (raw == document.end() || !raw->is_string()) return std::nullopt;
    auto key = decodeBase64Strict(raw->get_ref<const std::string&>());
    if (!key || key->size() != 32) return std::nullopt;
    return key;
}

}  // namespace taviro
