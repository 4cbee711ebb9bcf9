#include "platform/HardwareIdentity.h"

#include "platform/Files.h"

namespace taviro::platform {

std::optional<std::string> platformUUIDFrom(const std::vector<std::filesystem::path>& candidates) {
    for (const auto& candidate : candidates) {
        // readFile refuses anything but a regular file, so a FIFO planted here cannot hang us.
        auto content = readFile(candidate);
        // Only white space is as good as empty: the caller trims, and would get nothing.
        if (content && content->find_first_not_of(" \t\r\n") != std::string::npos) return std::move(*content);
    }
    return std::nullopt;
}

std::optional<std::string> platformUUID() {
    // Systems without systemd may only have the D-Bus copy.
    return platformUUIDFrom({"/etc/machine-id", "/var/lib/dbus/machine-id"});
}

}  // namespace taviro::platform
