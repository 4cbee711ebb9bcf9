#include "featurepack/JsonNumbers.h"

#include <cmath>

namespace taviro {

std::optional<std::int64_t> exactInt64(const nlohmann::json& value) {
    if (value.is_number_unsigned()) {
        auto number = value.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
        return static_cast<std::int64_t>(number);
    }
    if (value.is_number_integer()) return value.get<std::int64_t>();
    if (value.is_number_float()) {
        double number = value.get<double>();
        // 2^63 itself is representable as a double but not as an int64.
        if (!std::isfinite(number) || number != std::trunc(number) || number < -9223372036854775808.0 ||
            number >= 9223372036854775808.0) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(number);
    }
    return std::nullopt;
}

}  // namespace taviro
