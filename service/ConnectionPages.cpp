#include "service/ConnectionPages.h"

#include "lib/JavaScriptLiteral.h"

namespace taviro {
namespace {

constexpr std::string_view kHead =
    "<!doctype html>\n<html lang=\"zh-CN\">\n<head>\n  <meta charset=\"utf-8\">\n  <style>";

constexpr std::string_view kStyleSheet =
    "body { margin: 0; font-family: -apple-system, BlinkMacSystemFont, \"PingFang SC\", sans-serif; "
    "background: #f6f7f4; color: #20231f; }\n"
    "main { max-width: 760px; margin: 120px auto; background: white; border: 1px solid #dfe3db; "
    "border-radius: 12px; padding: 32px; }\n"
    "h1 { margin: 0 0 12px; font-size: 26px; }\n"
    "p { line-height: 1.7; color: #6d736b; }\n"
    "button { margin-top: 18px; min-height: 42px; padding: 0 18px; border: 0; border-radius: 8px; "
    "background: #2f6f5e; color: white; font-size: 15px; }\n"
    "code { background: #eef1ec; padding: 2px 6px; border-radius: 5px; }";

}  // namespace

std::string htmlEscape(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': escaped += "&amp;"; break;
            case '<': escaped += "&lt;"; break;
            case '>': escaped += "&gt;"; break;
            case '"': escaped += "&quot;"; break;
            case '\'': escaped += "&#39;"; break;
            default: escaped.push_back(c);
        }
    }
    return escaped;
}

std::string connectingPage(const std::string& homeURL) {
    std::string page(kHead);
    page += kStyleSheet;
    page += "</style>\n</head>\n<body>\n  <main>\n    <h1>正在连接本地服务</h1>\n    <p>Taviro正在启动本机服务 <code>";
    page += htmlEscape(homeURL);
    page += "</code>。连接成功后会自动进入工具页面，不需要手动点击。</p>\n  </main>\n</body>\n</html>";
    return page;
}

std::string serviceErrorPage(const std::string& message, const std::string& homeURL) {
    std::string page(kHead);
    page += kStyleSheet;
    page += "</style>\n</head>\n<body>\n  <main>\n    <h1>本地服务暂时没有连接上</h1>\n    <p>Taviro会继续自动重试，服务响应后会自动进入工具页面。</p>\n    <p>错误信息：";
    page += htmlEscape(message);
    page += "</p>\n    <button onclick='location.href=";
    page += javaScriptLiteral(homeURL);
    page += "'>立即重试</button>\n  </main>\n</body>\n</html>";
    return page;
}

}  // namespace taviro
