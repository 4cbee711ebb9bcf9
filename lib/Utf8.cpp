#include "lib/Utf8.h"

#include <cstdint>

namespace taviro {

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        auto lead = static_cast<std::uint8_t>(text[i]);
        std::size_t length;
        std::uint32_t codePoint;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            codePoint = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            codePoint = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            codePoint = lead & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            auto next = static_cast<std::uint8_t>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        if ((length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000) || codePoint > 0x10FFFF ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string lowercaseForAsciiMatching(std::string_view text) {
    static constexpr std::string_view kKelvin = "\xE2\x84\xAA";
    static constexpr std::string_view kCapitalIWithDot = "\xC4\xB0";
    std::string lowered;
    lowered.reserve(text.size() + 8);
    for (std::size_t i = 0; i < text.size();) {
        char character = text[i];
        if (character >= 'A' && character <= 'Z') {
            lowered.push_back(static_cast<char>(character - 'A' + 'a'));
            ++i;
        } else if (text.substr(i, kKelvin.size()) == kKelvin) {
            lowered.push_back('k');
            i += kKelvin.size();
        } else if (text.substr(i, kCapitalIWithDot.size()) == kCapitalIWithDot) {
            lowered += "i\xCC\x87";
            i += kCapitalIWithDot.size();
        } else {
            lowered.push_back(character);
            ++i;
        }
    }
    return lowered;
}

}  // namespace taviro
