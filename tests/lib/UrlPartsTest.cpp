#include <gtest/gtest.h>

#include "lib/UrlParts.h"

using namespace taviro;
using Text = std::optional<std::string>;

// Addresses the navigation table already decides on are not repeated here.
TEST(UrlParts, SplitsWithoutDefaultingAnything) {
    const std::tuple<const char*, Text, Text, std::optional<int>, std::string> cases[] = {
        {"http://user:pw@host:1/", "http", "host", 1, "/"}, {"http://127.0.0.1:/", "http", "127.0.0.1", {}, "/"},
        {"/relative?q", {}, {}, {}, "/relative"}, {"1http://host/", {}, {}, {}, "1http://host/"},
    };
    for (const auto& [url, scheme, host, port, path] : cases) {
        auto parts = parseUrl(url);
        ASSERT_TRUE(parts) << url;
        EXPECT_EQ(std::tie(parts->scheme, parts->host, parts->port, parts->path), std::tie(scheme, host, port, path)) << url;
    }
    for (const char* url : {"http://host:5000x/", "http://[::1]x/"}) EXPECT_EQ(parseUrl(url), std::nullopt) << url;
}
