#include <gtest/gtest.h>

#include "app/RemoteApiOrigin.h"
#include "tests/support/TestSupport.h"

using namespace taviro;

TEST(RemoteApiOrigin, OnlyHttpsOriginsAndLoopbackHttpAndOnlyAValidOneOverridesTheDefault) {
    for (auto [input, expected] : {std::pair{"https://api.example.com/", "https://api.example.com"}, {"HTTPS://API.Example.com:8443", "https://api.example.com:8443"},
                                   {"http://127.0.0.1:9000", "http://127.0.0.1:9000"}, {"http://localhost:9000/", "http://localhost:9000"}, {"http://[::1]:9", "http://[::1]:9"}}) {
        EXPECT_EQ(normalizedRemoteApiOrigin(input), expected) << input;
    }
    for (const char* refused : {"http://api.example.com", "http://localhost.example.com", "https://api.example.com/v1", "https://api.example.com//",
                                "https://api.example.com?x=1", "https://user@api.example.com", "https://api.example.com:0", "https://api.example.com:65536",
                                "https://api.example.com:", "https://", "ftp://api.example.com", "api.example.com", "https://api example.com"}) {
        EXPECT_EQ(normalizedRemoteApiOrigin(refused), std::nullopt) << refused;
    }
    test::ScopedEnv env("VORDA_API_ORIGIN", "http://127.0.0.1:8123/");
    EXPECT_EQ(remoteApiOrigin(), "http://127.0.0.1:8123");
    env.set("VORDA_API_ORIGIN", "http://evil.example.com");
    EXPECT_TRUE(remoteApiOrigin().starts_with("https://")) << remoteApiOrigin();
}
