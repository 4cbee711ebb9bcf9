#include <gtest/gtest.h>

#include "app/RemoteApiOrigin.h"
#include "tests/support/TestSupport.h"

using namespace taviro;

TEST(RemoteApiOrigin, OnlyHttpsOriginsAndLoopbackHttp) {
    struct Case {
        const char* input;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"https://api.example.com", "https://api.example.com"},
        {"https://api.example.com/", "https://api.example.com"},
        {"HTTPS://API.Example.com:8443", "https://api.example.com:8443"},
        {"http://127.0.0.1:9000", "http://127.0.0.1:9000"},
        {"http://localhost:9000/", "http://localhost:9000"},
        {"http://[::1]:9000", "http://[::1]:9000"},
        {"http://api.example.com", std::nullopt},  // plain http only for loopback
        {"https://api.example.com/v1", std::nullopt},
        {"https://api.example.com?x=1", std::nullopt},
        {"https://user@api.example.com", std::nullopt},
        {"https://api.example.com:0", std::nullopt},
        {"https://api.example.com:65536", std::nullopt},
        {"https://api.example.com:", std::nullopt},
        {"https://", std::nullopt},
        {"ftp://api.example.com", std::nullopt},
        {"api.example.com", std::nullopt},
        {"https://api example.com", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(normalizedRemoteApiOrigin(c.input), c.expected) << c.input;
}

TEST(RemoteApiOrigin, EnvironmentOverridesOnlyWithAValidOrigin) {
    test::ScopedEnv env("VORDA_API_ORIGIN", "http://127.0.0.1:8123/");
    EXPECT_EQ(remoteApiOrigin(), "http://127.0.0.1:8123");
    env.set("VORDA_API_ORIGIN", "http://evil.example.com");
    EXPECT_TRUE(remoteApiOrigin().starts_with("https://"));
    env.set("VORDA_API_ORIGIN", std::nullopt);
    EXPECT_TRUE(remoteApiOrigin().starts_with("https://"));
}
