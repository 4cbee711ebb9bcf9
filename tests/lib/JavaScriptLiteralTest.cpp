#include <gtest/gtest.h>

#include "lib/JavaScriptLiteral.h"

using namespace taviro;

TEST(JavaScriptLiteral, QuotesEscapesAndRefusesInvalidText) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "\"\""}, {"<>\"'&", "\"<>\\\"'&\""}, {"</script>", "\"</script>\""}, {"行\n尾\\", "\"行\\n尾\\\\\""},
        {std::string("\x01", 1), "\"\\u0001\""}, {"\xff\xfe", "\"\""},  // not UTF-8: an empty literal takes its place
    };
    for (const auto& [text, literal] : cases) EXPECT_EQ(javaScriptLiteral(text), literal) << text;
}
