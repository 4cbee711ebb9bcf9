#include "platform/linux/gtk/WebViewTrace.h"

#include <cstdlib>

#include "platform/Files.h"

namespace taviro::platform::gtk {

std::shared_ptr<const WebViewTrace> WebViewTrace::fromEnvironment() {
    const char* file = std::getenv("TAVIRO_WEBVIEW_TRACE");
    if (file == nullptr || *file == '\0') return nullptr;
    return std::make_shared<const WebViewTrace>(file);
}

void WebViewTrace::append(std::string line) const {
    for (char& c : line) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    line += '\n';
    // A trace is best effort; the shell works the same without it.
    (void)appendToFile(file_, line);
}

}  // namespace taviro::platform::gtk
