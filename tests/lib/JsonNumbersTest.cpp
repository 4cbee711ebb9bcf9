#include <gtest/gtest.h>

#include "lib/JsonNumbers.h"

using namespace taviro;

TEST(JsonNumbers, ExactAndTruncatedIntegers) {
    using Int = std::optional<std::int64_t>;
    const std::tuple<const char*, Int, Int> cases[] = {
        {"7", 7, 7}, {"-7", -7, -7}, {"7.0", 7, 7}, {"7.9", {}, 7}, {"-7.9", {}, -7}, {"1e400", {}, {}},
        {"9223372036854775807", INT64_MAX, INT64_MAX}, {"-9223372036854775808.0", INT64_MIN, INT64_MIN},
        {"18446744073709551615", {}, {}}, {"9223372036854775808.0", {}, {}},  // 2^63: a double, but no int64
        {"\"7\"", {}, {}}, {"true", {}, {}}, {"null", {}, {}},
    };
    for (const auto& [json, exact, truncated] : cases) {
        auto value = nlohmann::json::parse(json, nullptr, false);
        EXPECT_EQ(std::pair(exactInt64(value), truncatedInt64(value)), std::pair(exact, truncated)) << json;
    }
}
