#include "lib/Base64.h"

#include <algorithm>

namespace taviro {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextet(char character) {
    if (character >= 'A' && character <= 'Z') return character - 'A';
    if (character >= 'a' && character <= 'z') return character - 'a' + 26;
    if (character >= '0' && character <= '9') return character - '0' + 52;
    if (character == '+') return 62;
    if (character == '/') return 63;
    return -1;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> decodeBase64Strict(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;

    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t group = 0; group < text.size(); group += 4) {
        bool last = group + 4 == text.size();
        std::size_t letters = last ? 4 - padding : 4;
        std::uint32_t bits = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            int value = i < letters ? sextet(text[group + i]) : 0;
            if (value < 0) return std::nullopt;  // foreign character, or "=" before the end
            bits = (bits << 6) | static_cast<std::uint32_t>(value);
        }
        bytes.push_back(static_cast<std::uint8_t>(bits >> 16));
        if (letters >= 3) bytes.push_back(static_cast<std::uint8_t>(bits >> 8));
        if (letters == 4) bytes.push_back(static_cast<std::uint8_t>(bits));
        // Unused bits under the padding must be zero, so each byte string has one spelling.
        if ((letters == 2 && (bits & 0xffff) != 0) || (letters == 3 && (bits & 0xff) != 0)) return std::nullopt;
    }
    return bytes;
}

std::string encodeBase64(std::string_view bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t count = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t bits = 0;
        for (std::size_t k = 0; k < 3; ++k) bits = bits << 8 | (k < count ? static_cast<std::uint8_t>(bytes[i + k]) : 0);
        for (std::size_t k = 0; k < 4; ++k) text.push_back(k <= count ? kAlphabet[bits >> (18 - 6 * k) & 0x3F] : '=');
    }
    return text;
}

std::string encodeBase64(std::span<const std::uint8_t> bytes) {
    return encodeBase64(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace taviro
