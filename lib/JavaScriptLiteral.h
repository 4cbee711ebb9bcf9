#pragma once

#include <string>
#include <string_view>

namespace taviro {

// `text` as a double-quoted JSON string literal, which is also a valid JavaScript literal;
// "\"\"" when the text cannot be serialised (it is not valid UTF-8).
std::string javaScriptLiteral(std::string_view text);

}  // namespace taviro
