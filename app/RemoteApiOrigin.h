#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace taviro {

// The origin of the remote API: "https://host[:port]", or plain "http" for a loopback host only
// (so tests can run without certificates). A single trailing "/" is dropped; anything else
// after the authority (a path, query, fragment or user name) makes it invalid.
std::optional<std::string> normalizedRemoteApiOrigin(std::string_view text);

// VORDA_API_ORIGIN when it is a valid origin, else the build's default.
std::string remoteApiOrigin();

}  // namespace taviro
