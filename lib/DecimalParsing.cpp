#include "lib/DecimalParsing.h"

#include <limits>

namespace taviro {

std::optional<std::int64_t> parseSignedDecimal(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    // Accumulated as a negative number so that the lowest value parses too.
    constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
    std::int64_t value = 0;
    for (char character : text) {
        if (character < '0' || character > '9') return std::nullopt;
        int digit = character - '0';
        if (value < (lowest + digit) / 10) return std::nullopt;
        value = value * 10 - digit;
    }
    if (negative) return value;
    if (value == lowest) return std::nullopt;
    return -value;
}

std::optional<int> parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    int value = 0;
    for (char character : text) {
        if (character < '0' || character > '9') return std::nullopt;
        value = value * 10 + (character - '0');
    }
    if (value > 65535) return std::nullopt;
    return value;
}

}  // namespace taviro
