#pragma once

#include <string>
#include <string_view>

namespace taviro {

// Well-formed UTF-8 only: no overlong forms, no surrogates, nothing above U+10FFFF, no
// truncated sequences.
bool isValidUtf8(std::string_view text);

// Lower-cases valid UTF-8 text for matching ASCII fragments. Full Unicode lower-casing turns
// only three kinds of characters into ASCII: A-Z, U+212A KELVIN SIGN (to "k") and U+0130 (to "i"
// followed by U+0307). Mapping exactly those, and copying everything else, therefore finds
// exactly the ASCII matches that full lower-casing would find.
std::string lowercaseForAsciiMatching(std::string_view text);

}  // namespace taviro
