#include <gtest/gtest.h>

#include "service/ConnectionPages.h"

using namespace taviro;

TEST(ConnectionPages, MarkupInAMessageIsShownAsText) {
    const std::pair<std::string, std::string> cases[] = {
        {"a&b", "a&amp;b"},
        {"&lt;", "&amp;lt;"},  // ampersand first: an entity in the text stays visible
        {"<>\"'", "&lt;&gt;&quot;&#39;"},
        {"行\n尾", "行\n尾"},
    };
    for (const auto& [text, escaped] : cases) EXPECT_EQ(htmlEscape(text), escaped) << text;

    std::string page = serviceErrorPage("<script>alert('x')</script>", "http://127.0.0.1:5000/");
    EXPECT_NE(page.find("错误信息：&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;</p>"), std::string::npos);
    EXPECT_EQ(page.find("<script>"), std::string::npos);
    EXPECT_NE(page.find("location.href=\"http://127.0.0.1:5000/\""), std::string::npos);
    EXPECT_NE(connectingPage("http://127.0.0.1:5000/").find("<code>http://127.0.0.1:5000/</code>"), std::string::npos);
}
