#include "lib/JsonNumbers.h"

#include <cmath>

namespace taviro {
namespace {

// 2^63 itself is representable as a double but not as an int64.
bool fitsInt64(double number) {
    return std::isfinite(number) && number >= -9223372036854775808.0 && number < 9223372036854775808.0;
}

}  // namespace

std::optional<std::int64_t> exactInt64(const nlohmann::json& value) {
    if (value.is_number_unsigned()) {
        auto number = value.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
        return static_cast<std::int64_t>(number);
    }
    if (value.is_number_integer()) return value.get<std::int64_t>();
    if (value.is_number_float()) {
        double number = value.get<double>();
        if (!fitsInt64(number) || number != std::trunc(number)) return std::nullopt;
        return static_cast<std::int64_t>(number);
    }
    return std::nullopt;
}

std::optional<std::int64_t> truncatedInt64(const nlohmann::json& value) {
    if (!value.is_number_float()) return exactInt64(value);
    double number = std::trunc(value.get<double>());
    if (!fitsInt64(number)) return std::nullopt;
    return static_cast<std::int64_t>(number);
}

}  // namespace taviro
