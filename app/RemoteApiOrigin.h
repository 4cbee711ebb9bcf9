#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/Error.h"

namespace taviro {

// The origin of the remote API: "https://host[:port]", or plain "http" for a loopback host only
// (so tests can run without certificates). A single trailing "/" is dropped; anything else
// after the authority (a path, query, fragment or user name) makes it invalid. The error says why.
Result<std::string> normalizedRemoteApiOrigin(std::string_view text);

struct RemoteApiOriginChoice {
    std::string origin;
    // Why VORDA_API_ORIGIN was not used, when it is set and invalid.
    std::optional<std::string> refusedOverride;
};

// VORDA_API_ORIGIN when it is a valid origin, else the build's default.
RemoteApiOriginChoice remoteApiOrigin();

}  // namespace taviro
