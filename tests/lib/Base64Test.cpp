#include <gtest/gtest.h>

#include "lib/Base64.h"

using taviro::decodeBase64Strict;

TEST(Base64, DecodesOnlyCanonicalStandardBase64) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"", ""}, {"Zg==", "f"}, {"Zm8=", "fo"}, {"Zm9v", "foo"}, {"+/+/", "\xfb\xff\xbf"},
        {"Zg", std::nullopt}, {"Zg=", std::nullopt}, {"Zg===", std::nullopt}, {"====", std::nullopt},  // padding
        {"Zg==Zg==", std::nullopt}, {"Zm=v", std::nullopt},  // padding inside
        {"Zh==", std::nullopt},  // unused bits set
        {"Zm9v\n", std::nullopt}, {"Zm9 v", std::nullopt}, {std::string("Zm9v\0", 5), std::nullopt},  // no blanks
        {"-_-_", std::nullopt}, {"Zm9\xc3\xa9", std::nullopt},  // other alphabets
    };
    for (const auto& [text, decoded] : cases) {
        auto result = decodeBase64Strict(text);
        EXPECT_EQ(result ? std::optional(std::string(result->begin(), result->end())) : std::nullopt, decoded) << text;
    }
}
