#include "lib/UrlParts.h"

#include <cctype>

#include "lib/DecimalParsing.h"

namespace taviro {
namespace {

bool isSchemeCharacter(char c, bool first) {
    if (std::isalpha(static_cast<unsigned char>(c))) return true;
    return !first && (std::isdigit(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.');
}

}  // namespace

std::optional<UrlParts> parseUrl(std::string_view url) {
    UrlParts parts;
    std::string_view rest = url;
    auto colon = rest.find(':');
    if (colon != std::string_view::npos && colon > 0) {
        bool valid = true;
        for (std::size_t i = 0; i < colon; ++i) valid = valid && isSchemeCharacter(rest[i], i == 0);
        if (valid) {
            parts.scheme = std::string(rest.substr(0, colon));
            rest.remove_prefix(colon + 1);
        }
    }
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        std::size_t end = rest.find_first_of("/?#");
        std::string_view authority = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
        if (auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
        std::string_view hostPort = authority;
        std::size_t portStart = std::string_view::npos;
        if (hostPort.starts_with("[")) {
            auto close = hostPort.find(']');
            if (close == std::string_view::npos) return std::nullopt;
            if (close + 1 < hostPort.size()) {
                if (hostPort[close + 1] != ':') return std::nullopt;
                portStart = close + 1;
            }
        } else {
            portStart = hostPort.rfind(':');
        }
        std::string_view host = hostPort.substr(0, portStart);
        if (portStart != std::string_view::npos) {
            std::string_view port = hostPort.substr(portStart + 1);
            if (!port.empty()) {
                parts.port = parsePort(port);
                if (!parts.port) return std::nullopt;
            }
        }
        if (!host.empty()) parts.host = std::string(host);
    }
    rest = rest.substr(0, rest.find('#'));
    auto question = rest.find('?');
    parts.path = std::string(rest.substr(0, question));
    if (question != std::string_view::npos) parts.query = std::string(rest.substr(question + 1));
    return parts;
}

std::string percentEncodedQueryValue(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : text) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '.' || c == '_' || c == '~';
        if (plain) {
            encoded += static_cast<char>(c);
        } else {
            encoded += {'%', kHex[c >> 4], kHex[c & 15]};
        }
    }
    return encoded;
}

}  // namespace taviro
