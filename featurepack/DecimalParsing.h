#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace taviro {

// An optional "+" or "-" followed by one or more ASCII digits, nothing else (no blanks), within
// the signed 64-bit range. Revisions, version pieces and pack folder names are all read this way.
std::optional<std::int64_t> parseSignedDecimal(std::string_view text);

}  // namespace taviro
