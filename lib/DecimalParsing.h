#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace taviro {

// An optional "+" or "-" followed by one or more ASCII digits, nothing else (no blanks), within
// the signed 64-bit range. Revisions, version pieces and pack folder names are all read this way.
std::optional<std::int64_t> parseSignedDecimal(std::string_view text);

// A TCP port as written in an address: one to five ASCII digits, at most 65535 (0 included; the
// caller decides whether 0 makes sense). No sign, no blanks.
std::optional<int> parsePort(std::string_view text);

}  // namespace taviro
