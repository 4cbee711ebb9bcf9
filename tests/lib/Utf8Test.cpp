#include <gtest/gtest.h>

#include "lib/Utf8.h"

using namespace taviro;

TEST(Utf8, AcceptsOnlyWellFormedText) {
    const std::pair<std::string, bool> texts[] = {
        {"", true}, {"功能包", true}, {"\xF0\x9F\x98\x80", true}, {"\xF4\x8F\xBF\xBF", true},  // up to U+10FFFF
        {"\xF4\x90\x80\x80", false}, {"\xED\xA0\x80", false},  // above U+10FFFF, a surrogate
        {"\xC0\xAF", false}, {"\xF0\x80\x80\xAF", false},  // overlong "/"
        {"\xE5\x8A", false}, {"\x80", false}, {"a\xFF", false},  // cut short, stray
    };
    for (const auto& [text, valid] : texts) EXPECT_EQ(isValidUtf8(text), valid) << testing::PrintToString(text);
}
