#include <gtest/gtest.h>
#include <sstream>

#include "platform/WebErrors.h"
#include "platform/linux/gtk/WebKitLoadError.h"
#include "tests/window/WindowHarness.h"

namespace taviro::test::window {
namespace {

// A load failure as the owner tells them apart.
std::string kind(const Error& error) {
    bool urlLoading = error.domain == platform::kUrlLoadingErrorDomain;
    if (urlLoading && error.code == platform::kUrlLoadingCancelledCode) return "cancelled";
    if (error.domain == platform::kWebKitErrorDomain && error.code == platform::kFrameLoadInterruptedCode) {
        return "interrupted";
    }
    return urlLoading && error.code == -1001 ? "timeout" : "failed";
}

class WebView : public testing::Test {
protected:
    static RecordingDelegate& delegate() { return *harness.delegate; }
    static platform::WebView& view() { return *harness.view; }

    // Steps such as "load /silent 0.5 wait html": a load with its time limit (at /gone nothing
    // listens), the page going somewhere itself, waiting until the last address was asked for
    // and its load started, a page loaded from a string, the page stopping its navigation.
    void act(const std::string& steps) {
        std::istringstream in(steps);
        std::string step, path;
        double limit = 0;
        while (in >> step) {
            if (step == "load" && in >> path >> limit) {
                view().loadRequest(path == "/gone" ? TestServer().url(path) : server_.url(path), limit);
            } else if (step == "go" && in >> path) {
                view().evaluateJavaScript("location.href = '" + server_.url(path) + "'");
            } else if (step == "wait") {
                ASSERT_TRUE(waitUntil([&] { return harness.loadStarts > 0 && server_.requested(path); }));
            } else {
                step == "html" ? view().loadHTMLString("<!doctype html>") : view().evaluateJavaScript("window.stop()");
            }
        }
    }

    TestServer server_;
};

// What the owner hears of a load, its time limit, and whatever replaces or stops it. Each case
// is watched for longer than its time limits, so that a limit left running would show.
TEST_F(WebView, ReportsEachLoadOnceWithinItsTimeLimit) {
    struct Case {
        const char* steps;
        std::vector<std::string> reports;
        int finishes;
        bool cancellationsMayFollow = false;  // a load replaced around its start may or may not report one
    } cases[] = {
        {"load /gone 10", {"failed"}, 0},
        {"load /silent 0.5", {"timeout"}, 0},
        {"load /silent 0.001", {"timeout"}, 0},  // a limit shorter than the load's start
        {"load /silent 30 wait html", {"cancelled"}, 1},
        {"go /silent wait stop", {"cancelled"}, 0},
        {"load /silent 0.6 wait load /page 0.6", {}, 1, true},  // the new load ends the earlier limit
        {"load /silent/1 0.6 wait load /silent/2 0.6", {"timeout"}, 0, true},  // and keeps its own
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.steps);
        loadHTMLAndWait("<!doctype html>");
        harness.loadStarts = 0;
        act(c.steps);
        auto reported = [] { return delegate().failures.size() + delegate().finishes; };
        waitUntil([&] { return reported() >= c.reports.size() + c.finishes; }, 10);
        spin(1.2);
        std::vector<std::string> reports;
        for (const auto& failure : delegate().failures) {
            bool ignorable = kind(failure) == "cancelled" || kind(failure) == "interrupted";
            if (!(c.cancellationsMayFollow && ignorable)) reports.push_back(kind(failure));
        }
        EXPECT_EQ(reports, c.reports) << (delegate().failures.empty() ? "" : delegate().failures[0].description);
        EXPECT_EQ(delegate().finishes, c.finishes);
    }
}

// A new window's navigation asks the owner once and loads in this view, or nowhere. (Loads the
// owner asks for never use cached data.)
TEST_F(WebView, NavigationsAskTheOwnerAndStayInThisView) {
    auto link = [](std::string path) {
        return "let a = document.createElement('a'); a.target = '_blank'; a.href = '" + path + "'; a.click()";
    };
    std::pair<std::string, std::string> cases[] = {
        {"/new-window", link("/new-window")},
        {"/refused-new-window", link("/refused-new-window")},
        {"/opened", "window.open('/opened')"},
        {"/refused-opened", "window.open('/refused-opened')"},
    };
    for (const auto& [path, script] : cases) {
        SCOPED_TRACE(path);
        delegate() = RecordingDelegate();
        view().loadRequest(server_.url("/start"), 10);
        ASSERT_TRUE(waitUntil([] { return delegate().finishes == 1; }));
        delegate() = RecordingDelegate();
        bool allowed = path.find("refused") == std::string::npos;
        view().evaluateJavaScript(script);
        ASSERT_TRUE(waitUntil([&] { return !delegate().navigations.empty() && (!allowed || delegate().finishes); }));
        spin(0.3);
        EXPECT_EQ(delegate().navigations, std::vector<std::string>{server_.url(path)});
        EXPECT_EQ(view().currentURL(), server_.url(allowed ? path : "/start"));
        EXPECT_EQ(server_.requested(path), allowed);
        EXPECT_EQ(g_list_length(gtk_application_get_windows(GTK_APPLICATION(g_application_get_default()))), 1u);
    }
    EXPECT_EQ(std::ranges::count(server_.uncached, "/start"), std::ranges::count(server_.requests, "/start"));
}

TEST_F(WebView, ScriptMessagesReachTheOwnerOnRegisteredChannelsOnly) {
    loadHTMLAndWait("<!doctype html>");
    view().evaluateJavaScript(
        "for (const name of ['pathPicker', 'somethingElse', 'updateChecker', 'featurePackRollback'])"
        "  try { webkit.messageHandlers[name].postMessage({[name]: [1, 2.5, null, '选择']}); } catch (e) {}"
        "webkit.messageHandlers.updateChecker.postMessage(undefined)");
    ASSERT_TRUE(waitUntil([] { return delegate().messages.size() >= 4; }));
    spin(0.2);
    // One member per object: members need not keep their order on the way.
    std::vector<std::pair<std::string, std::string>> expected;
    for (std::string name : {"pathPicker", "updateChecker", "featurePackRollback"}) {
        expected.emplace_back(name, R"({")" + name + R"(":[1,2.5,null,"选择"]})");
    }
    expected.emplace_back("updateChecker", "null");
    EXPECT_EQ(delegate().messages, expected);
}

// A file input's request is always answered: with the owner's files, with its cancellation, or
// by the view's own chooser when the owner does not handle it. The page reports what it got.
TEST_F(WebView, FileInputsGetAnAnswer) {
    loadHTMLAndWait("<!doctype html><input type=file id=many multiple><input type=file id=one><script>"
                    "const tell = text => webkit.messageHandlers.pathPicker.postMessage(text);"
                    "many.onchange = () => tell([...many.files].map(f => f.name).join());"
                    "one.oncancel = () => tell('cancel');</script>");
    std::vector<bool> multiple;
    std::function<void(RecordingDelegate::Files)> answer;
    delegate().openPanel = [&](bool allowsMultiple, std::function<void(RecordingDelegate::Files)> completion) {
        multiple.push_back(allowsMultiple);
        answer = std::move(completion);
        return multiple.size() < 3;  // the third is left to the view
    };
    // Answered later, from the event loop, as a dialog would.
    std::pair<std::string, std::function<void()>> clicks[] = {
        {"many", [&] { answer(std::vector<std::filesystem::path>{"/etc/hostname", "/etc/passwd"}); }},
        {"one", [&] { answer(std::nullopt); }},
        {"one", [] { gtk_dialog_response(shownDialog(), GTK_RESPONSE_CANCEL); }},
    };
    for (std::size_t i = 0; i < std::size(clicks); ++i) {
        view().evaluateJavaScript(clicks[i].first + ".click()");
        ASSERT_TRUE(waitUntil([&] { return multiple.size() == i + 1 && (i < 2 || shownDialog() != nullptr); }));
        spin(0.2);
        clicks[i].second();
        ASSERT_TRUE(waitUntil([&] { return delegate().messages.size() == i + 1; }));
    }
    std::vector<std::pair<std::string, std::string>> expected = {
        {"pathPicker", R"("hostname,passwd")"}, {"pathPicker", R"("cancel")"}, {"pathPicker", R"("cancel")"}};
    EXPECT_EQ(delegate().messages, expected);
    EXPECT_EQ(multiple, (std::vector<bool>{true, false, false}));
}

// The interruption no load here provokes; the timeout the host reports itself.
TEST(WebKitLoadError, AnInterruptionGetsTheSharedCodeAndATimeoutItsOwn) {
    GError* error =
        g_error_new_literal(WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE, "text");
    EXPECT_EQ(kind(platform::gtk::loadErrorFromGError(error)), "interrupted");
    g_error_free(error);
    Error timeout = platform::gtk::loadTimeoutError();
    EXPECT_EQ(kind(timeout) + " " + timeout.description, "timeout 请求超时。");
}

}  // namespace
}  // namespace taviro::test::window
