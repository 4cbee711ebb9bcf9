#include <gtest/gtest.h>

#include "lib/JsonNumbers.h"

using namespace taviro;

TEST(JsonNumbers, ExactAndTruncatedIntegers) {
    const struct {
        const char* json;
        std::optional<std::int64_t> exact, truncated;
    } cases[] = {
        {"7", 7, 7}, {"-7", -7, -7}, {"7.0", 7, 7}, {"7.9", std::nullopt, 7}, {"-7.9", std::nullopt, -7},
        {"9223372036854775807", INT64_MAX, INT64_MAX}, {"18446744073709551615", std::nullopt, std::nullopt},
        {"9223372036854775808.0", std::nullopt, std::nullopt},  // 2^63: a double, but no int64
        {"-9223372036854775808.0", INT64_MIN, INT64_MIN}, {"1e400", std::nullopt, std::nullopt},
        {"\"7\"", std::nullopt, std::nullopt}, {"true", std::nullopt, std::nullopt}, {"null", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        auto value = nlohmann::json::parse(c.json, nullptr, false);
        EXPECT_EQ(exactInt64(value), c.exact) << c.json;
        EXPECT_EQ(truncatedInt64(value), c.truncated) << c.json;
    }
}
