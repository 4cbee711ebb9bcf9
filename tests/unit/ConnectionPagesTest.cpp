#include <gtest/gtest.h>

#include "bridge/JavaScriptLiteral.h"
#include "service/ConnectionPages.h"

using namespace taviro;

namespace {

// The shared opening of both pages: head, then the 557-character style sheet.
const std::string kStyleSheet =
    "body { margin: 0; font-family: -apple-system, BlinkMacSystemFont, \"PingFang SC\", sans-serif; background: #f6f7f4; color: #20231f; }\n"
    "main { max-width: 760px; margin: 120px auto; background: white; border: 1px solid #dfe3db; border-radius: 12px; padding: 32px; }\n"
    "h1 { margin: 0 0 12px; font-size: 26px; }\n"
    "p { line-height: 1.7; color: #6d736b; }\n"
    "button { margin-top: 18px; min-height: 42px; padding: 0 18px; border: 0; border-radius: 8px; background: #2f6f5e; color: white; font-size: 15px; }\n"
    "code { background: #eef1ec; padding: 2px 6px; border-radius: 5px; }";
const std::string kOpening = "<!doctype html>\n<html lang=\"zh-CN\">\n<head>\n  <meta charset=\"utf-8\">\n  <style>" + kStyleSheet;

}  // namespace

TEST(ConnectionPages, ConnectingPageIsExact) {
    ASSERT_EQ(kStyleSheet.size(), 557u);
    EXPECT_EQ(connectingPage("http://127.0.0.1:43117/"),
              kOpening +
                  "</style>\n</head>\n<body>\n  <main>\n    <h1>正在连接本地服务</h1>\n    <p>Taviro正在启动本机服务 <code>"
                  "http://127.0.0.1:43117/"
                  "</code>。连接成功后会自动进入工具页面，不需要手动点击。</p>\n  </main>\n</body>\n</html>");
}

TEST(ConnectionPages, ErrorPageIsExactAndShowsMarkupAsText) {
    EXPECT_EQ(serviceErrorPage("本地服务启动超时，正在继续自动重试。", "http://127.0.0.1:5000/"),
              kOpening +
                  "</style>\n</head>\n<body>\n  <main>\n    <h1>本地服务暂时没有连接上</h1>\n    <p>Taviro会继续自动重试，服务响应后会自动进入工具页面。</p>\n    <p>错误信息："
                  "本地服务启动超时，正在继续自动重试。"
                  "</p>\n    <button onclick='location.href=\"http://127.0.0.1:5000/\"'>立即重试</button>\n  </main>\n</body>\n</html>");

    std::string page = serviceErrorPage("<script>alert('x')</script> & \"more\"", "http://127.0.0.1:5000/");
    EXPECT_NE(page.find("错误信息：&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt; &amp; &quot;more&quot;</p>"), std::string::npos);
    EXPECT_EQ(page.find("<script>"), std::string::npos);
}

TEST(ConnectionPages, EscapingAndLiterals) {
    struct Case {
        std::string input, html, literal;
    };
    const Case cases[] = {
        {"", "", "\"\""},
        {"a&b", "a&amp;b", "\"a&b\""},
        {"&lt;", "&amp;lt;", "\"&lt;\""},  // ampersand first: an entity in the text stays visible
        {"<>\"'", "&lt;&gt;&quot;&#39;", "\"<>\\\"'\""},
        {"行\n尾\\", "行\n尾\\", "\"行\\n尾\\\\\""},
        {std::string("\x01", 1), std::string("\x01", 1), "\"\\u0001\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(htmlEscape(c.input), c.html) << c.input;
        EXPECT_EQ(javaScriptLiteral(c.input), c.literal) << c.input;
    }
    // Text that is not UTF-8 cannot become a literal; an empty literal takes its place.
    EXPECT_EQ(javaScriptLiteral("\xff\xfe"), "\"\"");
}
