#include <gtest/gtest.h>

#include "bridge/NavigationHandler.h"
#include "platform/WebErrors.h"
#include "tests/support/ShellHarness.h"

using namespace taviro;

namespace {

constexpr int kPort = 43117;

// Keeps delayed tasks until the test runs them, so a 15-second delay costs nothing.
class ManualQueue final : public platform::MainQueue {
public:
    struct Task final : platform::CancellableTask {
        double delay;
        std::function<void()> work;
        bool cancelled = false;
        void cancel() override { cancelled = true; }
    };
    void post(std::function<void()> work) override { work(); }
    std::shared_ptr<platform::CancellableTask> postAfter(double seconds, std::function<void()> work) override {
        tasks.push_back(std::make_shared<Task>());
        tasks.back()->delay = seconds;
        tasks.back()->work = std::move(work);
        return tasks.back();
    }
    std::shared_ptr<platform::CancellableTask> repeatEvery(double seconds, std::function<void()> work) override {
        return postAfter(seconds, std::move(work));
    }
    std::vector<std::shared_ptr<Task>> tasks;
};

struct Handled {
    std::vector<std::string> calls;
    std::shared_ptr<ManualQueue> queue = std::make_shared<ManualQueue>();
    std::shared_ptr<test::RecordingBrowser> browser = std::make_shared<test::RecordingBrowser>();
    std::shared_ptr<test::RecordingWebView> view = std::make_shared<test::RecordingWebView>();
    NavigationHandler handler{queue, browser, hooks()};

    Handled() { handler.setWebView(view); }
    NavigationHandler::Hooks hooks() {
        auto record = [this](std::string name) { return [this, name](const std::string& text) { calls.push_back(name + " " + text); }; };
        auto recordPlain = [this](std::string name) { return [this, name] { calls.push_back(name); }; };
        return {[] { return kPort; }, record("save"), record("lost"), recordPlain("reconnect"), recordPlain("update flow"),
                recordPlain("pack check")};
    }
};

}  // namespace

TEST(NavigationHandler, DecidesWhereEachAddressGoes) {
    enum Outcome { stays, saved, browser };
    const struct {
        std::optional<std::string> url;
        Outcome outcome;
    } cases[] = {
        {std::nullopt, stays},
        {"http://127.0.0.1:43117/", stays},
        {"http://127.0.0.1:43117/?input=manual#top", stays},
        {"https://127.0.0.1:43117/", stays},  // host and port match; the scheme does not matter
        {"http://user@127.0.0.1:43117/", stays},
        {"about:blank", stays},
        {"data:text/html,hi", stays},
        {"blob:http://127.0.0.1:43117/abc", stays},
        {"file:///etc/hosts", stays},
        {"mailto:someone@example.com", stays},
        {"https://localhost:43117/", browser},
        {"http://127.0.0.1/", browser},  // no explicit port
        {"http://127.0.0.1:/", browser},
        {"http://127.0.0.1:43118/", browser},
        {"http://127.0.0.2:43117/", browser},
        {"http://[::1]:43117/", browser},
        {"HTTPS://example.com/", browser},
        {"https://127.0.0.1.example.com:43117/", browser},
        {"http:///path", browser},  // no host
        {"http://127.0.0.1:43117/jobs/7/diagnostics.txt", saved},
        {"http://127.0.0.1:43117/jobs/a/b/diagnostics.txt?x=1", saved},
        {"http://127.0.0.1:43117/jobs/diagnostics.txt", saved},  // the two ends may share the slash
        {"https://127.0.0.1:43117/jobs/7/diagnostics.txt", stays},
        {"HTTP://127.0.0.1:43117/jobs/7/diagnostics.txt", stays},  // scheme must be "http" as written
        {"http://127.0.0.1:43117/job/7/diagnostics.txt", stays},
        {"http://127.0.0.1:43118/jobs/7/diagnostics.txt", browser},
    };
    for (const auto& c : cases) {
        Handled h;
        const std::string url = c.url.value_or("<none>");
        EXPECT_EQ(h.handler.decidePolicyForNavigation(c.url), c.outcome == stays) << url;
        EXPECT_EQ(h.browser->opened, c.outcome == browser ? std::vector<std::string>{url} : std::vector<std::string>{}) << url;
        EXPECT_EQ(h.calls, c.outcome == saved ? std::vector<std::string>{"save " + url} : std::vector<std::string>{}) << url;
    }
}

TEST(NavigationHandler, OnlyTheFirstLocalLoadStartsTheUpdateFlowAndLaterThePackCheck) {
    Handled h;
    for (const char* notLocal : {"about:blank", "http://127.0.0.1:1/", "http://localhost:43117/", "http://127.0.0.1:43117x/"}) {
        h.view->current = notLocal;
        h.handler.didFinishNavigation();
    }
    EXPECT_TRUE(h.calls.empty());
    h.view->current = "http://127.0.0.1:43117/";
    h.handler.didFinishNavigation();
    h.handler.didFinishNavigation();
    EXPECT_EQ(h.calls, std::vector<std::string>{"update flow"});
    ASSERT_EQ(h.queue->tasks.size(), 1u);
    EXPECT_EQ(h.queue->tasks[0]->delay, 15.0);
    h.queue->tasks[0]->work();
    EXPECT_EQ(h.calls.back(), "pack check");

    // Quitting before the delay has passed keeps the check from running.
    Handled quitting;
    quitting.view->current = "http://127.0.0.1:43117/";
    quitting.handler.didFinishNavigation();
    quitting.handler.cancel();
    EXPECT_TRUE(quitting.queue->tasks.at(0)->cancelled);
}

TEST(NavigationHandler, FailuresAndCrashesBringTheConnectionBackUnlessIgnorable) {
    Handled h;
    h.handler.didFailNavigation({platform::kUrlLoadingErrorDomain, platform::kUrlLoadingCancelledCode, "cancelled"});
    h.handler.didFailNavigation({platform::kWebKitErrorDomain, platform::kFrameLoadInterruptedCode, "interrupted"});
    EXPECT_TRUE(h.calls.empty());
    h.handler.didFailNavigation({platform::kUrlLoadingErrorDomain, -1004, "could not connect"});
    h.handler.didFailNavigation({platform::kWebKitErrorDomain, -999, "other code"});
    h.handler.didFailNavigation({"WebKitNetworkError", 302, "cancelled, other domain"});
    h.handler.webProcessTerminated();
    EXPECT_EQ(h.calls, (std::vector<std::string>{"lost could not connect", "lost other code", "lost cancelled, other domain",
                                                 "reconnect"}));
}
