#include <algorithm>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/WebErrors.h"
#include "tests/support/TestSupport.h"
#include "tests/window/TestHttpServer.h"
#include "tests/window/WindowHarness.h"

namespace taviro::test::window {
namespace {

bool isIgnorable(const Error& error) {
    return (error.domain == platform::kUrlLoadingErrorDomain && error.code == platform::kUrlLoadingCancelledCode) ||
           (error.domain == platform::kWebKitErrorDomain && error.code == platform::kFrameLoadInterruptedCode);
}

bool isTimeout(const Error& error) { return error.domain == "URLLoadingErrorDomain" && error.code == -1001; }

std::string describe(const std::vector<Error>& errors) {
    std::string text;
    for (const auto& error : errors) {
        text += error.domain + " " + std::to_string(error.code) + " " + error.description + "; ";
    }
    return text;
}

class WebView : public testing::Test {
protected:
    // Every test starts on a blank page with all reports of earlier loads delivered: WebKit
    // reports one load after the other, so once the blank page has finished, nothing of an
    // earlier test can arrive any more.
    void SetUp() override { loadHTMLAndWait("<!doctype html>"); }

    static RecordingDelegate& delegate() { return *harness().delegate; }
    static platform::WebView& view() { return *harness().webView; }
    static std::string heading() { return evaluate("document.querySelector('h1')?.textContent ?? ''"); }

    // Everything asked of the page before has been handled, and a little time has passed for
    // any report that should not come.
    static void settle() {
        evaluate("0");
        spin(0.3);
    }

    // Loads `url` with loadRequest and waits for its finish.
    static void loadAndWait(const std::string& url) {
        delegate().reset();
        view().loadRequest(url, 10);
        ASSERT_TRUE(waitUntil([] { return delegate().finishes >= 1; })) << describe(delegate().failures);
        delegate().reset();
    }

    void servePages() {
        server_.setPage("/a", "<!doctype html><h1>Page A</h1><a id=link href='/b'>to B</a>"
                              "<a id=popup target=_blank href='/c'>to C in a new window</a>");
        server_.setPage("/b", "<!doctype html><h1>Page B</h1>");
        server_.setPage("/c", "<!doctype html><h1>Page C</h1>");
        server_.setPage("/d", "<!doctype html><h1>Page D</h1>");
    }

    TestHttpServer server_;
};

TEST_F(WebView, ShowsAnHTMLStringAndReportsOneFinish) {
    view().loadHTMLString("<!doctype html><h1>Loaded from a string</h1>");
    ASSERT_TRUE(waitUntil([] { return delegate().finishes >= 1; })) << describe(delegate().failures);
    EXPECT_EQ(heading(), "Loaded from a string");
    settle();
    EXPECT_EQ(delegate().finishes, 1);
    EXPECT_TRUE(delegate().failures.empty()) << describe(delegate().failures);
    EXPECT_EQ(view().currentURL(), "about:blank");
}

TEST_F(WebView, LoadsRequestsWithoutCachedData) {
    servePages();
    view().loadRequest(server_.url("/a"), 10);
    ASSERT_TRUE(waitUntil([] { return delegate().finishes >= 1; })) << describe(delegate().failures);
    EXPECT_EQ(heading(), "Page A");
    EXPECT_EQ(view().currentURL(), server_.url("/a"));
    EXPECT_EQ(delegate().navigationsTo(server_.url("/a")), 1);

    auto requests = server_.requests();
    auto request = std::find_if(requests.begin(), requests.end(), [](const std::string& head) {
        return head.starts_with("GET /a ");
    });
    ASSERT_NE(request, requests.end());
    std::string head = *request;
    std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
    EXPECT_NE(head.find("\r\ncache-control: no-cache"), std::string::npos) << *request;
    EXPECT_NE(head.find("\r\npragma: no-cache"), std::string::npos) << *request;
    settle();
    EXPECT_EQ(delegate().finishes, 1);
}

TEST_F(WebView, AsksBeforeFollowingALink) {
    servePages();
    loadAndWait(server_.url("/a"));
    evaluate("document.getElementById('link').click(); 0");
    ASSERT_TRUE(waitUntil([] { return delegate().finishes >= 1; })) << describe(delegate().failures);
    EXPECT_EQ(delegate().navigationsTo(server_.url("/b")), 1);
    EXPECT_EQ(view().currentURL(), server_.url("/b"));
    EXPECT_EQ(heading(), "Page B");
}

TEST_F(WebView, AsksBeforeAScriptChangesTheLocation) {
    servePages();
    loadAndWait(server_.url("/a"));
    evaluate("location.href = '/d'; 0");
    ASSERT_TRUE(waitUntil([] { return delegate().finishes >= 1; })) << describe(delegate().failures);
    EXPECT_EQ(delegate().navigationsTo(server_.url("/d")), 1);
    EXPECT_EQ(heading(), "Page D");
}

TEST_F(WebView, ARefusedNavigationLeavesThePageAlone) {
    servePages();
    loadAndWait(server_.url("/a"));
    delegate().navigationPolicy = [](const std::optional<std::string>& url) {
        return !(url && url->find("/refused") != std::string::npos);
    };
    evaluate("location.href = '/refused'; 0");
    ASSERT_TRUE(waitUntil([&] { return delegate().navigationsTo(server_.url("/refused")) == 1; }));
    evaluate("document.getElementById('link').href = '/refused-link'; document.getElementById('link').click(); 0");
    ASSERT_TRUE(waitUntil([&] { return delegate().navigationsTo(server_.url("/refused-link")) == 1; }));
    settle();
    EXPECT_EQ(view().currentURL(), server_.url("/a"));
    EXPECT_EQ(heading(), "Page A");
    EXPECT_EQ(delegate().finishes, 0);
    EXPECT_TRUE(delegate().failures.empty()) << describe(delegate().failures);
    EXPECT_FALSE(server_.receivedRequestFor("/refused"));
    EXPECT_FALSE(server_.receivedRequestFor("/refused-link"));
}

TEST_F(WebView, NewWindowNavigationsLoadInTheSameView) {
    servePages();
    loadAndWait(server_.url("/a"));
    evaluate("document.getElementById('popup').click(); 0");
    ASSERT_TRUE(waitUntil([] { return delegate().finishes >= 1; })) << describe(delegate().failures);
    EXPECT_EQ(delegate().navigationsTo(server_.url("/c")), 1);
    EXPECT_EQ(view().currentURL(), server_.url("/c"));
    EXPECT_EQ(heading(), "Page C");

    delegate().reset();
    evaluate("window.open('/d'); 0");
    ASSERT_TRUE(waitUntil([] { return delegate().finishes >= 1; })) << describe(delegate().failures);
    EXPECT_EQ(delegate().navigationsTo(server_.url("/d")), 1);
    EXPECT_EQ(view().currentURL(), server_.url("/d"));
    settle();
    EXPECT_EQ(g_list_length(gtk_application_get_windows(application())), 1u);
}

TEST_F(WebView, ARefusedNewWindowNavigationOpensNothing) {
    servePages();
    loadAndWait(server_.url("/a"));
    delegate().navigationPolicy = [](const std::optional<std::string>& url) {
        return !(url && url->ends_with("/c"));
    };
    evaluate("document.getElementById('popup').click(); 0");
    ASSERT_TRUE(waitUntil([&] { return delegate().navigationsTo(server_.url("/c")) == 1; }));
    settle();
    EXPECT_EQ(view().currentURL(), server_.url("/a"));
    EXPECT_FALSE(server_.receivedRequestFor("/c"));
    EXPECT_EQ(g_list_length(gtk_application_get_windows(application())), 1u);
}

TEST_F(WebView, AClosedPortIsAFailureNotAFinish) {
    std::string url = "http://127.0.0.1:" + std::to_string(closedPort()) + "/";
    view().loadRequest(url, 10);
    ASSERT_TRUE(waitUntil([] { return !delegate().failures.empty(); }));
    settle();
    ASSERT_EQ(delegate().failures.size(), 1u) << describe(delegate().failures);
    EXPECT_FALSE(isIgnorable(delegate().failures[0])) << describe(delegate().failures);
    EXPECT_FALSE(isTimeout(delegate().failures[0]));
    EXPECT_EQ(delegate().finishes, 0);
    std::cout << "[ info     ] a refused connection: " << describe(delegate().failures) << "\n";
}

TEST_F(WebView, AReplacedLoadReportsTheCancellation) {
    TestHttpServer silent(TestHttpServer::Mode::neverAnswer);
    LoadStartWatch watch;
    view().loadRequest(silent.url("/pending"), 30);
    // Replaced before WebKit has started it, a load just disappears without any report.
    ASSERT_TRUE(waitUntil([&] { return watch.started(silent.url("/pending")); }));
    view().loadHTMLString("<!doctype html><h1>Replacement</h1>");
    ASSERT_TRUE(waitUntil([] { return delegate().finishes >= 1; })) << describe(delegate().failures);
    settle();
    ASSERT_EQ(delegate().failures.size(), 1u) << describe(delegate().failures);
    EXPECT_EQ(delegate().failures[0].domain, platform::kUrlLoadingErrorDomain);
    EXPECT_EQ(delegate().failures[0].code, platform::kUrlLoadingCancelledCode);
    EXPECT_EQ(delegate().finishes, 1);
    EXPECT_EQ(heading(), "Replacement");
}

TEST_F(WebView, APageStoppingItsNavigationReportsTheCancellation) {
    TestHttpServer silent(TestHttpServer::Mode::neverAnswer);
    loadHTMLAndWait("<!doctype html><h1>Before stopping</h1>");
    LoadStartWatch watch;
    evaluate("location.href = '" + silent.url("/stopped") + "'; 0");
    ASSERT_TRUE(waitUntil([&] { return watch.count() == 1 && !silent.requests().empty(); }));
    evaluate("window.stop(); 0");
    ASSERT_TRUE(waitUntil([] { return !delegate().failures.empty(); }, 10));
    settle();
    ASSERT_EQ(delegate().failures.size(), 1u) << describe(delegate().failures);
    EXPECT_EQ(delegate().failures[0].domain, platform::kUrlLoadingErrorDomain);
    EXPECT_EQ(delegate().failures[0].code, platform::kUrlLoadingCancelledCode);
    EXPECT_EQ(delegate().finishes, 0);
    EXPECT_EQ(heading(), "Before stopping");
}

TEST_F(WebView, ALoadThatTakesTooLongTimesOut) {
    TestHttpServer silent(TestHttpServer::Mode::neverAnswer);
    view().loadRequest(silent.url("/slow"), 0.5);
    ASSERT_TRUE(waitUntil([] { return !delegate().failures.empty(); }, 10));
    settle();
    ASSERT_EQ(delegate().failures.size(), 1u) << describe(delegate().failures);
    EXPECT_EQ(delegate().failures[0].domain, "URLLoadingErrorDomain");
    EXPECT_EQ(delegate().failures[0].code, -1001);
    EXPECT_EQ(delegate().failures[0].description, "请求超时。");
    EXPECT_EQ(delegate().finishes, 0);
    EXPECT_FALSE(silent.requests().empty());

    // The view is usable again right away.
    delegate().reset();
    servePages();
    view().loadRequest(server_.url("/b"), 10);
    ASSERT_TRUE(waitUntil([] { return delegate().finishes >= 1; })) << describe(delegate().failures);
    EXPECT_EQ(heading(), "Page B");
    settle();
    EXPECT_TRUE(delegate().failures.empty()) << describe(delegate().failures);
}

TEST_F(WebView, ATimeoutShorterThanTheStartOfTheLoadStillReportsOnlyTheTimeout) {
    TestHttpServer silent(TestHttpServer::Mode::neverAnswer);
    view().loadRequest(silent.url("/instant"), 0.001);
    ASSERT_TRUE(waitUntil([] { return !delegate().failures.empty(); }, 10));
    settle();
    spin(0.5);
    ASSERT_EQ(delegate().failures.size(), 1u) << describe(delegate().failures);
    EXPECT_TRUE(isTimeout(delegate().failures[0])) << describe(delegate().failures);
    EXPECT_EQ(delegate().finishes, 0);

    delegate().reset();
    loadHTMLAndWait("<!doctype html><h1>After the timeout</h1>");
    EXPECT_EQ(heading(), "After the timeout");
}

TEST_F(WebView, ANewLoadCancelsTheEarlierTimeout) {
    TestHttpServer silent(TestHttpServer::Mode::neverAnswer);
    servePages();
    view().loadRequest(silent.url("/first"), 0.6);
    ASSERT_TRUE(waitUntil([&] { return !silent.requests().empty(); }));
    view().loadRequest(server_.url("/b"), 0.6);
    ASSERT_TRUE(waitUntil([] { return delegate().finishes >= 1; })) << describe(delegate().failures);
    spin(1.2);
    for (const auto& failure : delegate().failures) EXPECT_FALSE(isTimeout(failure)) << describe(delegate().failures);
    EXPECT_EQ(delegate().finishes, 1);
    EXPECT_EQ(heading(), "Page B");
}

TEST_F(WebView, TheReplacingLoadKeepsItsOwnTimeLimit) {
    TestHttpServer silent(TestHttpServer::Mode::neverAnswer);
    view().loadRequest(silent.url("/first"), 0.6);
    ASSERT_TRUE(waitUntil([&] { return !silent.requests().empty(); }));
    // The first load's own start and cancellation may still arrive after this.
    view().loadRequest(silent.url("/second"), 0.6);
    ASSERT_TRUE(waitUntil([] {
        return std::any_of(delegate().failures.begin(), delegate().failures.end(), isTimeout);
    }, 10)) << describe(delegate().failures);
    settle();
    int timeouts = 0;
    for (const auto& failure : delegate().failures) {
        if (isTimeout(failure)) {
            ++timeouts;
        } else {
            EXPECT_TRUE(isIgnorable(failure)) << describe(delegate().failures);
        }
    }
    EXPECT_EQ(timeouts, 1) << describe(delegate().failures);
    EXPECT_EQ(delegate().finishes, 0);
}

TEST_F(WebView, ScriptMessagesOnRegisteredChannelsReachTheOwner) {
    loadHTMLAndWait("<!doctype html><h1>Messages</h1>");
    evaluate("webkit.messageHandlers.pathPicker.postMessage({kind: 'folder', multiple: true, title: '选择'});"
             "webkit.messageHandlers.updateChecker.postMessage('check');"
             "webkit.messageHandlers.featurePackRollback.postMessage([1, 2.5, null]);"
             "webkit.messageHandlers.updateChecker.postMessage(undefined); 0");
    ASSERT_TRUE(waitUntil([] { return delegate().messages.size() >= 4; }));
    // Compared as JSON: the body crosses into the application's own script context on the way,
    // and the members of an object need not keep their order.
    std::vector<std::pair<std::string, nlohmann::json>> received;
    for (const auto& [channel, body] : delegate().messages) received.emplace_back(channel, nlohmann::json::parse(body));
    std::vector<std::pair<std::string, nlohmann::json>> expected = {
        {"pathPicker", {{"kind", "folder"}, {"multiple", true}, {"title", "选择"}}},
        {"updateChecker", "check"},
        {"featurePackRollback", nlohmann::json::array({1, 2.5, nullptr})},
        {"updateChecker", nullptr},
    };
    EXPECT_EQ(received, expected);
}

TEST_F(WebView, AnUnregisteredChannelReachesNobody) {
    loadHTMLAndWait("<!doctype html><h1>Messages</h1>");
    EXPECT_EQ(evaluate("typeof webkit.messageHandlers.somethingElse"), "undefined");
    evaluate("try { webkit.messageHandlers.somethingElse.postMessage('lost'); } catch (e) {}"
             "webkit.messageHandlers.updateChecker.postMessage('after'); 0");
    ASSERT_TRUE(waitUntil([] { return !delegate().messages.empty(); }));
    settle();
    std::vector<std::pair<std::string, std::string>> expected = {{"updateChecker", R"("after")"}};
    EXPECT_EQ(delegate().messages, expected);
}

TEST_F(WebView, FileInputsAskTheOwner) {
    loadHTMLAndWait("<!doctype html><input type=file id=many multiple><input type=file id=one>");
    int asks = 0;
    bool multiple = false;
    RecordingDelegate::OpenPanelCompletion completion;
    delegate().openPanel = [&](bool allowsMultiple, RecordingDelegate::OpenPanelCompletion answer) {
        ++asks;
        multiple = allowsMultiple;
        completion = std::move(answer);
        return true;
    };
    test::TempDir folder;
    test::writeFile(folder / "first.txt", "1");
    test::writeFile(folder / "second.txt", "2");

    evaluate("document.getElementById('many').click(); 0");
    ASSERT_TRUE(waitUntil([&] { return asks == 1; }));
    EXPECT_TRUE(multiple);
    // Answered later, from the event loop.
    spin(0.2);
    completion(std::vector<std::filesystem::path>{folder / "first.txt", folder / "second.txt"});
    EXPECT_TRUE(waitUntil([] { return evaluate("document.getElementById('many').files.length") == "2"; }));
    EXPECT_EQ(evaluate("[...document.getElementById('many').files].map(f => f.name).join(',')"),
              "first.txt,second.txt");

    evaluate("document.getElementById('one').click(); 0");
    ASSERT_TRUE(waitUntil([&] { return asks == 2; }));
    EXPECT_FALSE(multiple);
    completion(std::nullopt);
    settle();
    EXPECT_EQ(evaluate("document.getElementById('one').files.length"), "0");
}

TEST_F(WebView, AnUnhandledFileInputGetsWebKitsOwnChooser) {
    loadHTMLAndWait("<!doctype html><input type=file id=one>");
    int asks = 0;
    delegate().openPanel = [&](bool, RecordingDelegate::OpenPanelCompletion) {
        ++asks;
        return false;
    };
    auto chooser = [] {
        GtkWidget* found = nullptr;
        GList* toplevels = gtk_window_list_toplevels();
        for (GList* each = toplevels; each != nullptr; each = each->next) {
            if (GTK_IS_FILE_CHOOSER_DIALOG(each->data)) found = GTK_WIDGET(each->data);
        }
        g_list_free(toplevels);
        return found;
    };
    evaluate("document.getElementById('one').click(); 0");
    ASSERT_TRUE(waitUntil([&] { return asks == 1; }));
    ASSERT_TRUE(waitUntil([&] { return chooser() != nullptr; }, 10));
    gtk_dialog_response(GTK_DIALOG(chooser()), GTK_RESPONSE_CANCEL);
    EXPECT_TRUE(waitUntil([&] { return chooser() == nullptr; }, 10));
}

TEST_F(WebView, TheTraceRecordsFinishedAndFailedLoads) {
    loadHTMLAndWait("<!doctype html><h1>Traced heading</h1>");
    auto traced = [](const std::string& line) {
        if (!std::filesystem::exists(harness().tracePath)) return false;
        auto lines = test::readLines(harness().tracePath);
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(waitUntil([&] { return traced("finished about:blank\tTraced heading"); }, 10));

    loadHTMLAndWait("<!doctype html><p>No heading here</p>");
    EXPECT_TRUE(waitUntil([&] { return traced("finished about:blank\t"); }, 10));

    std::string url = "http://127.0.0.1:" + std::to_string(closedPort()) + "/";
    view().loadRequest(url, 10);
    ASSERT_TRUE(waitUntil([] { return !delegate().failures.empty(); }));
    const Error& refused = delegate().failures[0];
    EXPECT_TRUE(traced("failed " + url + "\t" + refused.domain + " " + std::to_string(refused.code) + " " +
                       refused.description));

    delegate().reset();
    TestHttpServer silent(TestHttpServer::Mode::neverAnswer);
    view().loadRequest(silent.url("/slow"), 0.3);
    ASSERT_TRUE(waitUntil([] { return !delegate().failures.empty(); }));
    EXPECT_TRUE(traced("failed " + silent.url("/slow") + "\tURLLoadingErrorDomain -1001 请求超时。"));
    settle();
    int linesForTheSlowLoad = 0;
    for (const auto& line : test::readLines(harness().tracePath)) {
        EXPECT_TRUE(line.starts_with("finished ") || line.starts_with("failed ")) << line;
        if (line.starts_with("failed " + silent.url("/slow") + "\t")) ++linesForTheSlowLoad;
    }
    // The cancellation that stopping the slow load causes is not a failure of its own.
    EXPECT_EQ(linesForTheSlowLoad, 1);
}

}  // namespace
}  // namespace taviro::test::window
