#include <gtest/gtest.h>

#include "lib/Base64.h"

using taviro::decodeBase64Strict;

// Refusals are the signature check's and the fuzz target's.
TEST(Base64, DecodesStandardBase64) {
    const std::pair<std::string, std::string> decoded[] = {
        {"", ""}, {"Zg==", "f"}, {"Zm8=", "fo"}, {"Zm9v", "foo"}, {"+/+/", "\xfb\xff\xbf"}};
    for (const auto& [text, bytes] : decoded) {
        EXPECT_EQ(decodeBase64Strict(text), std::vector<std::uint8_t>(bytes.begin(), bytes.end())) << text;
    }
}
