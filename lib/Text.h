#pragma once

#include <string>
#include <string_view>

namespace taviro {

// Removes white space and line breaks from both ends: ASCII spacing and the Unicode space and
// line-separator characters. The text is expected to be valid UTF-8.
std::string trimWhitespaceAndNewlines(std::string_view text);

// Lower-cases ASCII letters and leaves every other byte alone.
std::string lowercaseASCII(std::string_view text);

}  // namespace taviro
