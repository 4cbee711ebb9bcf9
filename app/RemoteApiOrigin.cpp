#include "app/RemoteApiOrigin.h"

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

bool isValidHost(std::string_view host) {
    if (host.empty()) return false;
    if (host == "[::1]") return true;
    for (char c : host) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') return false;
    }
    return host.front() != '.' && host.front() != '-';
}

bool isValidPort(std::string_view port) {
    auto value = parsePort(port);
    return value && *value >= 1;
}

}  // namespace

std::optional<std::string> normalizedRemoteApiOrigin(std::string_view text) {
    std::string lowered = lowercaseASCII(text);
    std::string_view rest = lowered;
    bool secure = rest.starts_with("https://");
    if (!secure && !rest.starts_with("http://")) return std::nullopt;
    rest.remove_prefix(secure ? 8 : 7);
    if (rest.ends_with('/')) rest.remove_suffix(1);
    if (rest.find_first_of("/?#@ ") != std::string_view::npos) return std::nullopt;

    std::string_view host = rest;
    std::size_t colon = rest.starts_with('[') ? rest.find("]:") : rest.rfind(':');
    if (colon != std::string_view::npos) {
        if (rest.starts_with('[')) ++colon;
        host = rest.substr(0, colon);
        if (!isValidPort(rest.substr(colon + 1))) return std::nullopt;
    }
    if (!isValidHost(host)) return std::nullopt;
    if (!secure && !isLoopbackHost(host)) return std::nullopt;
    return std::string(secure ? "https://" : "http://") + std::string(rest);
}

std::string remoteApiOrigin() {
    if (auto configured = platform::environmentValue("VORDA_API_ORIGIN")) {
        if (auto origin = normalizedRemoteApiOrigin(*configured)) return *origin;
    }
    return normalizedRemoteApiOrigin(TAVIRO_DEFAULT_API_ORIGIN).value_or(TAVIRO_DEFAULT_API_ORIGIN);
}

}  // namespace taviro
