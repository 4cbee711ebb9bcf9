#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace taviro {

// The pieces of an absolute URL that the navigation rules look at. Parts the URL does not carry
// are absent (an empty port after ":" counts as absent), never defaulted: a URL without an
// explicit port has no port here, whatever its scheme's default.
struct UrlParts {
    std::optional<std::string> scheme;  // as written
    std::optional<std::string> host;    // as written, brackets kept for IPv6
    std::optional<int> port;
    std::string path;                   // from the end of the authority up to "?" or "#"
    std::optional<std::string> query;   // after "?" up to "#", when there is a "?"
};

std::optional<UrlParts> parseUrl(std::string_view url);

// A query value with every byte but ASCII letters, digits and "-._~" percent-encoded.
std::string percentEncodedQueryValue(std::string_view text);

}  // namespace taviro
