#include <gtest/gtest.h>

#include "lib/Text.h"

using namespace taviro;

TEST(Text, TrimsUnicodeSpaceAndLowercasesOnlyAscii) {
    const std::pair<std::string, std::string> trims[] = {
        {"", ""}, {" \t\r\n\v\f", ""}, {"  a b  ", "a b"}, {"\u3000\u00A0id\u2028\u0085", "id"}, {"行 尾", "行 尾"},
        {"\u200Bid", "\u200Bid"},  // a zero-width space is not white space
    };
    for (const auto& [text, trimmed] : trims) EXPECT_EQ(trimWhitespaceAndNewlines(text), trimmed) << text;
    EXPECT_EQ(lowercaseASCII("HTTPS://Ä.EXAMPLE\xC4\xB0"), "https://Ä.example\xC4\xB0");
}
