#include "lib/Text.h"

#include <array>

namespace taviro {
namespace {

// The UTF-8 spellings of the non-ASCII white-space and line-break characters.
constexpr std::array<std::string_view, 19> kUnicodeSpaces{
    "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006",
    "\u2007", "\u2008", "\u2009", "\u200A", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"};

bool isAsciiSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Length of the space character at the front (or back) of `text`, 0 when there is none.
std::size_t leadingSpace(std::string_view text) {
    if (text.empty()) return 0;
    if (isAsciiSpace(text.front())) return 1;
    for (auto space : kUnicodeSpaces) {
        if (text.starts_with(space)) return space.size();
    }
    return 0;
}

std::size_t trailingSpace(std::string_view text) {
    if (text.empty()) return 0;
    if (isAsciiSpace(text.back())) return 1;
    for (auto space : kUnicodeSpaces) {
        if (text.ends_with(space)) return space.size();
    }
    return 0;
}

}  // namespace

std::string trimWhitespaceAndNewlines(std::string_view text) {
    while (std::size_t length = leadingSpace(text)) text.remove_prefix(length);
    while (std::size_t length = trailingSpace(text)) text.remove_suffix(length);
    return std::string(text);
}

std::string lowercaseASCII(std::string_view text) {
    std::string result(text);
    for (char& c : result) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return result;
}

}  // namespace taviro
