#include <gtest/gtest.h>

#include "lib/Utf8.h"

using namespace taviro;

TEST(Utf8, AcceptsOnlyWellFormedText) {
    struct Case {
        std::string text;
        bool valid;
    } cases[] = {
        {"", true},
        {"plain", true},
        {"功能包", true},
        {"\xF0\x9F\x98\x80", true},  // U+1F600
        {"\xF4\x8F\xBF\xBF", true},  // U+10FFFF
        {"\xC0\xAF", false},         // overlong "/"
        {"\xE0\x80\xAF", false},     // overlong "/"
        {"\xF0\x80\x80\xAF", false},
        {"\xED\xA0\x80", false},     // a surrogate
        {"\xF4\x90\x80\x80", false}, // above U+10FFFF
        {"\xE5\x8A", false},         // cut short
        {"\x80", false},
        {"a\xFF", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isValidUtf8(c.text), c.valid) << testing::PrintToString(c.text);
}

TEST(Utf8, LowercasingMatchesFullUnicodeLowercasingForAsciiFragments) {
    struct Case {
        std::string text;
        std::string lowered;
    } cases[] = {
        {"@IMPORT Url(", "@import url("},
        {"\xE2\x84\xAA", "k"},                 // KELVIN SIGN
        {"@\xC4\xB0mport", "@i\xCC\x87mport"}, // dotted capital I keeps its combining dot
        {"ＨＴＴＰ", "ＨＴＴＰ"},              // full-width letters stay non-ASCII
        {"Ä功", "Ä功"},
    };
    for (const auto& c : cases) EXPECT_EQ(lowercaseForAsciiMatching(c.text), c.lowered) << c.text;
}
