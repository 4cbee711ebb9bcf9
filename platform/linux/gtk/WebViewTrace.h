#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace taviro::platform::gtk {

// The web view's diagnostics trace, for tests and support: when TAVIRO_WEBVIEW_TRACE names a
// file (read once, when the web view is created), every finished load appends
//   "finished <uri>\t<text of the document's first h1, or empty>"
// every failed load appends
//   "failed <uri>\t<domain> <code> <message>",
// and every message of the page's console (its uncaught errors among them) appends
//   "console <level> <message>".
// Each line is written with one append, so lines from several processes never interleave.
class WebViewTrace {
public:
    // Absent when the variable is unset or empty.
    static std::shared_ptr<const WebViewTrace> fromEnvironment();

    explicit WebViewTrace(std::filesystem::path file) : file_(std::move(file)) {}

    // `line` without its line break; line breaks inside it become spaces.
    void append(std::string line) const;

    // The script-message channel the console messages arrive on, and the script, run in every
    // frame before the page's own, that sends them there.
    static constexpr const char* kConsoleChannel = "taviroConsoleTrace";
    static const char* consoleScript();

private:
    std::filesystem::path file_;
};

}  // namespace taviro::platform::gtk
