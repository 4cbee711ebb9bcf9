#include "platform/Browser.h"

#include <cstdio>
#include <gio/gio.h>
#include <system_error>
#include <thread>

namespace taviro::platform {
namespace {

void launchDefaultHandler(const std::string& url) {
    GError* error = nullptr;
    if (!g_app_info_launch_default_for_uri(url.c_str(), nullptr, &error)) {
        // Nothing the caller could do about it; the message helps whoever reads the terminal.
        std::fprintf(stderr, "Taviro: cannot open %s: %s\n", url.c_str(),
                     error != nullptr ? error->message : "no handler");
    }
    g_clear_error(&error);
}

class DesktopBrowserOpener final : public BrowserOpener {
public:
    void open(const std::string& url) override {
        // Finding the handler reads the desktop files and launching it may wait on the session
        // bus; neither may hold up the caller's main loop, so both happen on a thread of their own.
        try {
            std::thread(launchDefaultHandler, url).detach();
        } catch (const std::system_error&) {
            launchDefaultHandler(url);
        }
    }
};

}  // namespace

std::shared_ptr<BrowserOpener> desktopBrowserOpener() { return std::make_shared<DesktopBrowserOpener>(); }

}  // namespace taviro::platform
