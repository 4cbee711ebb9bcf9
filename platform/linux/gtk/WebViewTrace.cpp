#include "platform/linux/gtk/WebViewTrace.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

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
    int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;  // a trace is best effort; the shell works the same without it
    ssize_t written;
    do {
        written = ::write(fd, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    ::close(fd);
}

}  // namespace taviro::platform::gtk
