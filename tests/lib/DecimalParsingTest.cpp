#include <gtest/gtest.h>

#include "lib/DecimalParsing.h"

using namespace taviro;

TEST(DecimalParsing, SignedDecimalsAndPortsWithinTheirRanges) {
    const std::pair<std::string, std::optional<std::int64_t>> decimals[] = {
        {"0", 0}, {"+7", 7}, {"-7", -7}, {"007", 7}, {"9223372036854775807", INT64_MAX}, {"-9223372036854775808", INT64_MIN},
        {"9223372036854775808", std::nullopt}, {"-9223372036854775809", std::nullopt}, {"", std::nullopt}, {"+", std::nullopt},
        {"+-7", std::nullopt}, {" 7", std::nullopt}, {"7 ", std::nullopt}, {"0x10", std::nullopt}, {"٣", std::nullopt},
    };
    for (const auto& [text, value] : decimals) EXPECT_EQ(parseSignedDecimal(text), value) << text;
    const std::pair<std::string, std::optional<int>> ports[] = {
        {"0", 0}, {"65535", 65535}, {"00080", 80}, {"65536", std::nullopt}, {"000080", std::nullopt},
        {"", std::nullopt}, {"+80", std::nullopt}, {"8 0", std::nullopt},
    };
    for (const auto& [text, value] : ports) EXPECT_EQ(parsePort(text), value) << text;
}
