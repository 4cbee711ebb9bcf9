#include <gtest/gtest.h>

#include "lib/JsonNumbers.h"

using namespace taviro;
using Int = std::optional<std::int64_t>;

// The int64 bounds are taken, 2^63 (a double, but no int64) is not; a fraction only truncated.
TEST(JsonNumbers, TheInt64Bounds) {
    const std::tuple<const char*, Int, Int> cases[] = {
        {"9223372036854775807", INT64_MAX, INT64_MAX}, {"-9223372036854775808.0", INT64_MIN, INT64_MIN},
        {"9223372036854775808.0", {}, {}}, {"-7.9", {}, -7}};
    for (const auto& [json, exact, truncated] : cases) {
        auto value = nlohmann::json::parse(json);
        EXPECT_EQ(std::pair(exactInt64(value), truncatedInt64(value)), std::pair(exact, truncated)) << json;
    }
}
