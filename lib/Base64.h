#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace taviro {

// Strict standard base64 (RFC 4648 alphabet with "=" padding): the length is a multiple of four,
// padding appears only as the last one or two characters, the bits it leaves unused are zero,
// and nothing else (no white space, no line breaks, no URL-safe letters) is accepted.
std::optional<std::vector<std::uint8_t>> decodeBase64Strict(std::string_view text);

// Standard base64 with "=" padding, as the decoder above reads it.
std::string encodeBase64(std::string_view bytes);
std::string encodeBase64(std::span<const std::uint8_t> bytes);

}  // namespace taviro
