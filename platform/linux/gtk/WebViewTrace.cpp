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

const char* WebViewTrace::consoleScript() {
    return R"((() => {
  const text = value => {
    if (typeof value === 'string') return value;
    try { const json = JSON.stringify(value); if (json !== undefined) return json; } catch (e) {}
    return String(value);
  };
  const post = (level, values) => {
    try { webkit.messageHandlers.taviroConsoleTrace.postMessage(level + ' ' + values.map(text).join(' ')); } catch (e) {}
  };
  for (const level of ['log', 'info', 'warn', 'error', 'debug']) {
    const original = console[level].bind(console);
    console[level] = (...values) => { post(level, values); original(...values); };
  }
  addEventListener('error', e => post('error', [`${e.message} (${e.filename}:${e.lineno})`]));
  addEventListener('unhandledrejection', e => post('error', ['unhandled rejection: ' + text(e.reason)]));
})();)";
}

}  // namespace taviro::platform::gtk
