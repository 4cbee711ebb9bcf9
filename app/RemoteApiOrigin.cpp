#include "app/RemoteApiOrigin.h"

#include <algorithm>
#include <cctype>

#include "platform/Paths.h"
#include "lib/DecimalParsing.h"
#include "lib/Text.h"

#ifndef TAVIRO_DEFAULT_API_ORIGIN
#error "the build defines TAVIRO_DEFAULT_API_ORIGIN"
#endif

namespace taviro {
namespace {

bool isLoopbackHost(std::string_view host) { return host == "127.0.0.1" || host == "localhost" || host == "[::1]"; }

// A host name of dot-separated labels: letters, digits and inner hyphens, none empty ("a..b"
// names no host), each at most 63 characters.
bool isValidHost(std::string_view host) {
    if (host == "[::1]") return true;
    std::size_t start = 0;
    while (start <= host.size()) {
        std::size_t end = std::min(host.find('.', start), host.size());
        std::string_view label = host.substr(start, end - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
        for (char c : label) {
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
        }
        start = end + 1;
    }
    return true;
}

bool isValidPort(std::string_view port) {
    auto value = parsePort(port);
    return value && *value >= 1;
}

Error invalidOrigin(const std::string& why) { return Error{"TaviroRemoteApiOrigin", 1, why}; }

}  // namespace

Result<std::string> normalizedRemoteApiOrigin(std::string_view text) {
    std::string lowered = lowercaseASCII(text);
    std::string_view rest = lowered;
    bool secure = rest.starts_with("https://");
    if (!secure && !rest.starts_with("http://")) return std::unexpected(invalidOrigin("it is not an https:// address"));
    rest.remove_prefix(secure ? 8 : 7);
    if (rest.ends_with('/')) rest.remove_suffix(1);
    if (rest.find_first_of("/?#@ ") != std::string_view::npos) {
        return std::unexpected(invalidOrigin("it holds more than scheme, host and port"));
    }

    std::string_view host = rest;
    std::size_t colon = rest.starts_with('[') ? rest.find("]:") : rest.rfind(':');
    if (colon != std::string_view::npos) {
        if (rest.starts_with('[')) ++colon;
        host = rest.substr(0, colon);
        if (!isValidPort(rest.substr(colon + 1))) return std::unexpected(invalidOrigin("its port is not 1 to 65535"));
    }
    if (!isValidHost(host)) return std::unexpected(invalidOrigin("its host is not a valid host name"));
    if (!secure && !isLoopbackHost(host)) return std::unexpected(invalidOrigin("plain http is only for this machine's own address"));
    return std::string(secure ? "https://" : "http://") + std::string(rest);
}

RemoteApiOriginChoice remoteApiOrigin() {
    RemoteApiOriginChoice choice;
    if (auto configured = platform::environmentValue("VORDA_API_ORIGIN")) {
        auto origin = normalizedRemoteApiOrigin(*configured);
        if (origin) return {*origin, std::nullopt};
        choice.refusedOverride = origin.error().description;
    }
    choice.origin = normalizedRemoteApiOrigin(TAVIRO_DEFAULT_API_ORIGIN).value_or(TAVIRO_DEFAULT_API_ORIGIN);
    return choice;
}

}  // namespace taviro
