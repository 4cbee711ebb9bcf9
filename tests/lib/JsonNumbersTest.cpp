#include <gtest/gtest.h>

#include "lib/DecimalParsing.h"
#include "lib/JsonNumbers.h"

using namespace taviro;
using Int = std::optional<std::int64_t>;

// The int64 bounds are taken, one past them and 2^63 (a double, but no int64) are not.
TEST(Integers, TheInt64BoundsInTextAndJson) {
    const std::pair<const char*, Int> decimals[] = {{"9223372036854775807", INT64_MAX}, {"-9223372036854775808", INT64_MIN},
                                                    {"9223372036854775808", {}}, {"-9223372036854775809", {}}};
    for (const auto& [text, value] : decimals) EXPECT_EQ(parseSignedDecimal(text), value) << text;
    const std::tuple<const char*, Int, Int> numbers[] = {
        {"-9223372036854775808.0", INT64_MIN, INT64_MIN}, {"9223372036854775808.0", {}, {}}, {"-7.9", {}, -7}};
    for (const auto& [json, exact, truncated] : numbers) {
        auto value = nlohmann::json::parse(json);
        EXPECT_EQ(std::pair(exactInt64(value), truncatedInt64(value)), std::pair(exact, truncated)) << json;
    }
}
