#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>

namespace taviro {

// A JSON number as a signed 64-bit integer when it converts exactly (7 and 7.0 both give 7;
// 7.5, out-of-range values, strings and booleans give nothing).
std::optional<std::int64_t> exactInt64(const nlohmann::json& value);

// A JSON number with any fraction dropped (7.9 gives 7); values beyond 64 bits, strings and
// booleans give nothing.
std::optional<std::int64_t> truncatedInt64(const nlohmann::json& value);

}  // namespace taviro
