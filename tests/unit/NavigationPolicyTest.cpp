#include <gtest/gtest.h>

#include "bridge/NavigationPolicy.h"
#include "platform/WebErrors.h"

using namespace taviro;

TEST(NavigationPolicy, DecidesWhereEachAddressGoes) {
    constexpr int port = 43117;
    using D = NavigationDecision;
    struct Case {
        std::optional<std::string> url;
        D expected;
    } cases[] = {
        {std::nullopt, D::allow},
        {"http://127.0.0.1:43117/", D::allow},
        {"http://127.0.0.1:43117/?input=manual#top", D::allow},
        {"https://127.0.0.1:43117/", D::allow},  // host and port match; the scheme does not matter
        {"https://localhost:43117/", D::openInBrowser},
        {"http://127.0.0.1/", D::openInBrowser},  // no explicit port
        {"http://127.0.0.1:/", D::openInBrowser},
        {"http://127.0.0.1:43118/", D::openInBrowser},
        {"http://127.0.0.2:43117/", D::openInBrowser},
        {"http://user@127.0.0.1:43117/", D::allow},
        {"http://[::1]:43117/", D::openInBrowser},
        {"HTTPS://example.com/", D::openInBrowser},
        {"https://example.com:43117/", D::openInBrowser},
        {"https://127.0.0.1.example.com:43117/", D::openInBrowser},
        {"http:///path", D::openInBrowser},  // no host
        {"about:blank", D::allow},
        {"data:text/html,hi", D::allow},
        {"blob:http://127.0.0.1:43117/abc", D::allow},
        {"file:///etc/hosts", D::allow},
        {"mailto:someone@example.com", D::allow},
        {"http://127.0.0.1:43117/jobs/7/diagnostics.txt", D::saveDiagnostics},
        {"http://127.0.0.1:43117/jobs/a/b/diagnostics.txt?x=1", D::saveDiagnostics},
        {"https://127.0.0.1:43117/jobs/7/diagnostics.txt", D::allow},
        {"HTTP://127.0.0.1:43117/jobs/7/diagnostics.txt", D::allow},  // scheme must be "http" as written
        {"http://127.0.0.1:43118/jobs/7/diagnostics.txt", D::openInBrowser},
        {"http://127.0.0.1:43117/jobs/diagnostics.txt", D::saveDiagnostics},  // the two ends may share the slash
        {"http://127.0.0.1:43117/job/7/diagnostics.txt", D::allow},
    };
    for (const auto& c : cases) EXPECT_EQ(decideNavigation(c.url, port), c.expected) << c.url.value_or("<none>");
}

TEST(NavigationPolicy, LocalPageNeedsExactHostAndExplicitPort) {
    EXPECT_TRUE(isLocalPageURL("http://127.0.0.1:5000/x", 5000));
    EXPECT_FALSE(isLocalPageURL("http://127.0.0.1:5000x/", 5000));
    EXPECT_FALSE(isLocalPageURL("http://127.0.0.1:99999/", 5000));
    EXPECT_FALSE(isLocalPageURL("http://localhost:5000/", 5000));
    EXPECT_FALSE(isLocalPageURL("http://127.0.0.1/", 80));
}

TEST(NavigationPolicy, OnlyCancelledAndInterruptedLoadsAreIgnored) {
    struct Case {
        Error error;
        bool ignored;
    } cases[] = {
        {{platform::kUrlLoadingErrorDomain, platform::kUrlLoadingCancelledCode, "cancelled"}, true},
        {{platform::kWebKitErrorDomain, platform::kFrameLoadInterruptedCode, "interrupted"}, true},
        {{platform::kUrlLoadingErrorDomain, -1004, "could not connect"}, false},
        {{platform::kWebKitErrorDomain, -999, "x"}, false},
        {{"WebKitNetworkError", 302, "cancelled, other domain"}, false},
    };
    for (const auto& c : cases) EXPECT_EQ(shouldIgnoreNavigationFailure(c.error), c.ignored) << c.error.description;
}
