#include <gtest/gtest.h>

#include "lib/UrlParts.h"

using namespace taviro;

// Addresses the navigation table already decides on are not repeated here.
TEST(UrlParts, SplitsWithoutDefaultingAnything) {
    const struct {
        const char* url;
        bool parsed;
        std::optional<std::string> scheme, host;
        std::optional<int> port;
        std::string path;
    } cases[] = {
        {"http://user:pw@host:1/", true, "http", "host", 1, "/"},
        {"http://127.0.0.1:/", true, "http", "127.0.0.1", std::nullopt, "/"},
        {"/relative?q", true, std::nullopt, std::nullopt, std::nullopt, "/relative"},
        {"1http://host/", true, std::nullopt, std::nullopt, std::nullopt, "1http://host/"},
        {"http://host:5000x/", false, {}, {}, {}, ""},
        {"http://[::1]x/", false, {}, {}, {}, ""},
    };
    for (const auto& c : cases) {
        auto parts = parseUrl(c.url);
        ASSERT_EQ(parts.has_value(), c.parsed) << c.url;
        if (!parts) continue;
        EXPECT_EQ(std::tie(parts->scheme, parts->host, parts->port, parts->path), std::tie(c.scheme, c.host, c.port, c.path))
            << c.url;
    }
}
