#pragma once

#include <optional>
#include <sys/types.h>

namespace taviro::platform {

// Whether what listens on 127.0.0.1:`port` is ours: at least one listening socket that reaches
// it (bound to 127.0.0.1 or to any address, IPv4 or IPv6), and every such socket belongs to this
// user and, when `processTree` is given, is held by that process or one it started. Anything
// unreadable counts as not ours. Reads /proc: call it off the main thread.
bool isOwnListener(int port, std::optional<pid_t> processTree = std::nullopt);

}  // namespace taviro::platform
