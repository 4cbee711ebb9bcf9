#include <gtest/gtest.h>

#include "lib/Base64.h"

using taviro::decodeBase64Strict;

TEST(Base64, DecodesOnlyCanonicalStandardBase64) {
    struct Case {
        std::string text;
        std::optional<std::string> decoded;
    } cases[] = {
        {"", ""},
        {"Zg==", "f"},
        {"Zm8=", "fo"},
        {"Zm9v", "foo"},
        {"+/+/", "\xfb\xff\xbf"},
        {"Zg", std::nullopt},         // padding left out
        {"Zg=", std::nullopt},        // short padding
        {"Zg===", std::nullopt},
        {"====", std::nullopt},
        {"Zg==Zg==", std::nullopt},   // padding inside
        {"Zm=v", std::nullopt},
        {"Zh==", std::nullopt},       // unused bits set
        {"Zm9v\n", std::nullopt},
        {"Zm9 v", std::nullopt},
        {"-_-_", std::nullopt},       // URL-safe alphabet
        {std::string("Zm9v\0", 5), std::nullopt},
        {"Zm9\xc3\xa9", std::nullopt},
    };
    for (const auto& c : cases) {
        auto decoded = decodeBase64Strict(c.text);
        if (!c.decoded) {
            EXPECT_FALSE(decoded.has_value()) << '"' << c.text << '"';
        } else {
            ASSERT_TRUE(decoded.has_value()) << '"' << c.text << '"';
            EXPECT_EQ(std::string(decoded->begin(), decoded->end()), *c.decoded) << c.text;
        }
    }
}
