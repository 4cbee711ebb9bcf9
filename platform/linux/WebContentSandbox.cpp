#include "platform/WebContentSandbox.h"

#include <glib.h>
#include <unistd.h>

namespace taviro::platform {
namespace {

// Where the web engine looks for the tools it confines its web process with.
constexpr const char* kBubblewrap = "/usr/bin/bwrap";
constexpr const char* kDBusProxy = "/usr/bin/xdg-dbus-proxy";

}  // namespace

std::optional<std::string> webContentSandboxUnavailable() {
    for (const char* tool : {kBubblewrap, kDBusProxy}) {
        if (::access(tool, X_OK) != 0) return std::string(tool) + " is missing";
    }
    // The namespaces the engine asks for, tried for real: the kernel, a security module or a
    // container may each refuse them, and only a try tells.
    const gchar* argv[] = {kBubblewrap, "--unshare-all", "--die-with-parent", "--ro-bind", "/", "/", "/bin/true", nullptr};
    gchar* errors = nullptr;
    gint status = 0;
    GError* error = nullptr;
    bool ran = g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_STDOUT_TO_DEV_NULL, nullptr, nullptr,
                            nullptr, &errors, &status, &error);
    std::optional<std::string> reason;
    if (!ran) {
        reason = std::string(kBubblewrap) + " could not be started: " + (error != nullptr ? error->message : "");
    } else if (!g_spawn_check_wait_status(status, nullptr)) {
        std::string said = errors != nullptr ? g_strstrip(errors) : "";
        reason = std::string(kBubblewrap) + " was refused its namespaces" + (said.empty() ? "" : ": " + said);
    }
    g_clear_error(&error);
    g_free(errors);
    return reason;
}

}  // namespace taviro::platform
