#include <gtest/gtest.h>

#include "lib/Base64.h"

using taviro::decodeBase64Strict;

// One or two refusals per rule; the fuzz target feeds the rest.
TEST(Base64, DecodesOnlyCanonicalStandardBase64) {
    const std::pair<std::string, std::string> decoded[] = {
        {"", ""}, {"Zg==", "f"}, {"Zm8=", "fo"}, {"Zm9v", "foo"}, {"+/+/", "\xfb\xff\xbf"}};
    for (const auto& [text, bytes] : decoded) {
        EXPECT_EQ(decodeBase64Strict(text), std::vector<std::uint8_t>(bytes.begin(), bytes.end())) << text;
    }
    const std::string refused[] = {
        "Zg", "Zg=", "Zg===", "Zm=v", "Zg==Zg==",  // padding short, long, inside
        "Zh==",  // unused bits set
        "Zm9v\n", std::string("Zm9v\0", 5), "-_-_", "Zm9\xc3\xa9"};  // blanks, other alphabets
    for (const auto& text : refused) EXPECT_EQ(decodeBase64Strict(text), std::nullopt) << text;
}
