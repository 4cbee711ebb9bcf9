#include <gtest/gtest.h>

#include "app/RemoteApiOrigin.h"
#include "tests/support/TestSupport.h"

using namespace taviro;

TEST(RemoteApiOrigin, OnlyHttpsOriginsAndLoopbackHttpAndOnlyAValidOneOverridesTheDefault) {
    const std::pair<const char*, const char*> accepted[] = {
        {"https://api.example.com/", "https://api.example.com"}, {"HTTPS://A.Example:8443", "https://a.example:8443"},
        {"http://127.0.0.1:9000", "http://127.0.0.1:9000"}, {"http://localhost:9000/", "http://localhost:9000"},
        {"http://[::1]:9", "http://[::1]:9"}};
    for (auto [input, expected] : accepted) EXPECT_EQ(normalizedRemoteApiOrigin(input).value_or(""), expected) << input;
    for (const char* origin : {"http://api.example.com", "http://localhost.example.com", "https://a.example/v1",
             "https://user@a.example", "https://a.example:65536", "ftp://a.example", "https://a.example."})
        EXPECT_FALSE(normalizedRemoteApiOrigin(origin)) << origin;
    // An accepted override reaching the service is checked end to end (tests/e2e); a refused one keeps the default.
    test::ScopedEnv env("VORDA_API_ORIGIN", "http://evil.example.com");
    auto chosen = remoteApiOrigin();
    EXPECT_TRUE(chosen.origin.starts_with("https://") && chosen.refusedOverride->contains("plain http")) << chosen.origin;
}
