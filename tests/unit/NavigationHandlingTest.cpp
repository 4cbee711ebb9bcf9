#include <gtest/gtest.h>

#include "platform/WebErrors.h"
#include "tests/support/ShellHarness.h"

using namespace taviro;

TEST(NavigationHandling, DecisionsReachTheBrowserOrStay) {
    test::ShellFixture shell;
    auto delegate = shell.makeDelegate();
    const std::string local = "http://127.0.0.1:" + std::to_string(delegate->localPort.load());
    struct Case {
        std::optional<std::string> url;
        bool allowed;
        bool toBrowser;
    };
    const Case cases[] = {
        {std::nullopt, true, false},
        {local + "/", true, false},
        {local + "/?input=manual", true, false},
        {"https://127.0.0.1:" + std::to_string(delegate->localPort.load()) + "/jobs/7/diagnostics.txt", true, false},
        {local + "/jobs/7/diagnostics.txt", false, false},  // saved, not shown, not sent away
        {"https://example.com/", false, true},
        {"HTTP://EXAMPLE.COM/", false, true},
        {"http://localhost:" + std::to_string(delegate->localPort.load()) + "/", false, true},
        {"http://127.0.0.1/", false, true},
        {"http://127.0.0.1:1/", false, true},
        {"about:blank", true, false},
        {"data:text/html,hi", true, false},
    };
    for (const auto& c : cases) {
        shell.browser->opened.clear();
        EXPECT_EQ(delegate->decidePolicyForNavigation(c.url), c.allowed) << c.url.value_or("(none)");
        EXPECT_EQ(shell.browser->opened.size(), c.toBrowser ? 1u : 0u) << c.url.value_or("(none)");
        if (c.toBrowser && !shell.browser->opened.empty()) {
            EXPECT_EQ(shell.browser->opened.front(), *c.url);
        }
    }
}

TEST(NavigationHandling, OnlyTheFirstLocalLoadStartsTheUpdateFlow) {
    test::ShellFixture shell;
    auto delegate = shell.makeDelegate();
    shell.webView->current = "about:blank";
    delegate->didFinishNavigation();
    EXPECT_FALSE(delegate->didStartAutomaticUpdateFlow);
    shell.webView->current = "http://127.0.0.1:1/";
    delegate->didFinishNavigation();
    EXPECT_FALSE(delegate->didStartAutomaticUpdateFlow);
    shell.webView->current = delegate->homeURL();
    delegate->didFinishNavigation();
    EXPECT_TRUE(delegate->didStartAutomaticUpdateFlow);
}

TEST(NavigationHandling, FailuresShowTheErrorPageUnlessIgnorable) {
    test::ShellFixture shell;
    shell.timing = test::quickTiming();
    auto delegate = shell.makeDelegate();
    delegate->didFailNavigation(Error{platform::kUrlLoadingErrorDomain, platform::kUrlLoadingCancelledCode, "cancelled"});
    delegate->didFailNavigation(Error{platform::kWebKitErrorDomain, platform::kFrameLoadInterruptedCode, "interrupted"});
    EXPECT_TRUE(shell.webView->loads.empty());
    EXPECT_FALSE(delegate->reconnectWorkItem);

    delegate->didFailNavigation(Error{"WebKitNetworkError", 1, "Could not connect: <Connection refused>"});
    ASSERT_EQ(shell.webView->loads.size(), 1u);
    EXPECT_NE(shell.webView->loads[0].content.find("错误信息：Could not connect: &lt;Connection refused&gt;</p>"), std::string::npos);
    ASSERT_TRUE(delegate->reconnectWorkItem);
    ASSERT_TRUE(test::runMainLoopUntil([&] { return shell.webView->loads.size() >= 2; }, 3)) << "the reconnect runs";
    EXPECT_NE(shell.webView->loads[1].content.find("正在连接本地服务"), std::string::npos);
    delegate->applicationWillTerminate();
}
