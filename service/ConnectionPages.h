#pragma once

#include <string>
#include <string_view>

namespace taviro {

// "&" first, then "<", ">", "\"" and "'", so no entity is escaped twice.
std::string htmlEscape(std::string_view text);

// The page shown while the service is being found or started.
std::string connectingPage(const std::string& homeURL);

// The page shown when a cycle failed; its button loads `homeURL` directly.
std::string serviceErrorPage(const std::string& message, const std::string& homeURL);

}  // namespace taviro
