#include "tests/window/WindowHarness.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace taviro::test::window {

using platform::Menu;
using platform::MenuAction;

void RecordingDelegate::reset() {
    navigationPolicy = nullptr;
    openPanel = nullptr;
    navigations.clear();
    finishes = 0;
    failures.clear();
    messages.clear();
}

int RecordingDelegate::navigationsTo(const std::string& url) const {
    int count = 0;
    for (const auto& navigation : navigations) count += navigation == url ? 1 : 0;
    return count;
}

bool RecordingDelegate::decidePolicyForNavigation(const std::optional<std::string>& url) {
    navigations.push_back(url);
    return navigationPolicy ? navigationPolicy(url) : true;
}

void RecordingDelegate::didFinishNavigation() { ++finishes; }

void RecordingDelegate::didFailNavigation(const Error& error) { failures.push_back(error); }

void RecordingDelegate::didReceiveScriptMessage(const std::string& channel, const std::string& bodyJSON) {
    messages.emplace_back(channel, bodyJSON);
}

bool RecordingDelegate::runOpenPanel(bool allowsMultipleSelection, OpenPanelCompletion completion) {
    return openPanel ? openPanel(allowsMultipleSelection, std::move(completion)) : false;
}

Harness& harness() {
    static Harness shared;
    return shared;
}

std::vector<Menu> testMenus() {
    return {
        Menu{"Taviro", {{"Quit Taviro", MenuAction::terminate, "<Primary>q"}}},
        Menu{"Edit",
             {{"Undo", MenuAction::undo, "<Primary>z"},
              {"Redo", MenuAction::redo, "<Primary><Shift>z"},
              {"", MenuAction::terminate, ""},
              {"Cut", MenuAction::cut, "<Primary>x"},
              {"Copy", MenuAction::copy, "<Primary>c"},
              {"Paste", MenuAction::paste, "<Primary>v"},
              {"Delete", MenuAction::deleteSelection, ""},
              {"Select All", MenuAction::selectAll, "<Primary>a"}}},
        Menu{"View",
             {{"Home", MenuAction::loadHome, "<Primary><Shift>h"},
              {"Reload", MenuAction::reloadPage, "<Primary>r"},
              {"", MenuAction::terminate, ""},
              {"Open in Browser", MenuAction::openInBrowser, ""}}},
    };
}

GtkApplication* application() { return GTK_APPLICATION(g_application_get_default()); }

GtkWindow* mainWindow() { return gtk_application_get_active_window(application()); }

WebKitWebView* webKitView() {
    GtkWindow* window = mainWindow();
    if (window == nullptr) return nullptr;
    GtkWidget* child = gtk_bin_get_child(GTK_BIN(window));
    return child != nullptr && WEBKIT_IS_WEB_VIEW(child) ? WEBKIT_WEB_VIEW(child) : nullptr;
}

bool waitUntil(const std::function<bool()>& condition, double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    // A ticking source makes the blocking iteration come back to look at the clock.
    guint ticker = g_timeout_add(20, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    bool held = condition();
    while (!held && std::chrono::steady_clock::now() < deadline) {
        g_main_context_iteration(nullptr, TRUE);
        held = condition();
    }
    g_source_remove(ticker);
    return held;
}

void spin(double seconds) {
    waitUntil([] { return false; }, seconds);
}

std::string evaluate(const std::string& script) {
    struct Evaluation {
        bool done = false;
        std::string result;
    } evaluation;
    webkit_web_view_evaluate_javascript(
        webKitView(), script.c_str(), -1, nullptr, nullptr, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* evaluation = static_cast<Evaluation*>(data);
            GError* error = nullptr;
            JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
            if (value != nullptr) {
                char* text = jsc_value_to_string(value);
                evaluation->result = text != nullptr ? text : "";
                g_free(text);
                g_object_unref(value);
            } else {
                evaluation->result = std::string("exception: ") + (error != nullptr ? error->message : "");
            }
            g_clear_error(&error);
            evaluation->done = true;
        },
        &evaluation);
    if (!waitUntil([&] { return evaluation.done; })) {
        // The callback still points at `evaluation`; leaving now would let it write to a dead frame.
        waitUntil([&] { return evaluation.done; }, 600);
        return "exception: no result in time";
    }
    return evaluation.result;
}

void loadHTMLAndWait(const std::string& html) {
    auto& delegate = *harness().delegate;
    delegate.reset();
    harness().webView->loadHTMLString(html);
    if (!waitUntil([&] { return delegate.finishes >= 1; })) throw std::runtime_error("the page did not load");
    delegate.reset();
}

LoadStartWatch::LoadStartWatch() {
    auto changed = +[](WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
        if (event != WEBKIT_LOAD_STARTED) return;
        const char* uri = webkit_web_view_get_uri(view);
        static_cast<LoadStartWatch*>(data)->started_.emplace_back(uri != nullptr ? uri : "");
    };
    handler_ = g_signal_connect(webKitView(), "load-changed", G_CALLBACK(changed), this);
}

LoadStartWatch::~LoadStartWatch() { g_signal_handler_disconnect(webKitView(), handler_); }

bool LoadStartWatch::started(const std::string& url) const {
    for (const auto& each : started_) {
        if (each == url) return true;
    }
    return false;
}

namespace {

std::string ownExecutable() {
    char buffer[4096];
    ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) throw std::runtime_error("cannot find the test executable");
    return std::string(buffer, static_cast<size_t>(length));
}

}  // namespace

ChildRun::ChildRun(const std::string& scenario, const std::vector<std::string>& prefix) {
    std::vector<std::string> arguments = prefix;
    arguments.push_back(ownExecutable());
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    gchar** environment = g_get_environ();
    environment = g_environ_setenv(environment, kScenarioVariable, scenario.c_str(), TRUE);
    // The children would otherwise write to the in-process tests' trace.
    environment = g_environ_unsetenv(environment, "TAVIRO_WEBVIEW_TRACE");
    GError* error = nullptr;
    GPid pid = 0;
    auto flags = GSpawnFlags(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_SEARCH_PATH);
    gboolean spawned = g_spawn_async_with_pipes(nullptr, argv.data(), environment, flags, nullptr, nullptr, &pid,
                                                nullptr, &output_, nullptr, &error);
    g_strfreev(environment);
    if (!spawned) {
        std::string message = error != nullptr ? error->message : "spawn failed";
        g_clear_error(&error);
        throw std::runtime_error(message);
    }
    pid_ = pid;
}

ChildRun::~ChildRun() {
    if (!exited_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    if (output_ >= 0) ::close(output_);
}

void ChildRun::readAvailable(int timeoutMilliseconds) {
    if (output_ < 0) return;
    pollfd fd{output_, POLLIN, 0};
    if (::poll(&fd, 1, timeoutMilliseconds) <= 0) return;
    char buffer[4096];
    ssize_t n = ::read(output_, buffer, sizeof buffer);
    if (n <= 0) {
        if (n < 0 && errno == EINTR) return;
        ::close(output_);
        output_ = -1;
        return;
    }
    pending_.append(buffer, static_cast<size_t>(n));
    for (auto end = pending_.find('\n'); end != std::string::npos; end = pending_.find('\n')) {
        lines_.push_back(pending_.substr(0, end));
        pending_.erase(0, end + 1);
    }
}

bool ChildRun::waitForLine(const std::string& line, double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (count(line) == 0 && output_ >= 0 && std::chrono::steady_clock::now() < deadline) {
        readAvailable(50);
        // This process has a window of its own to keep responsive.
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
    }
    return count(line) > 0;
}

int ChildRun::waitForExit(double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!exited_ && std::chrono::steady_clock::now() < deadline) {
        readAvailable(50);
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            status_ = status;
        }
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
    }
    // What the child wrote just before exiting.
    auto drainDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (exited_ && output_ >= 0 && std::chrono::steady_clock::now() < drainDeadline) readAvailable(50);
    return exited_ ? status_ : -1;
}

int ChildRun::count(const std::string& line) const {
    int n = 0;
    for (const auto& each : lines_) n += each == line ? 1 : 0;
    return n;
}

}  // namespace taviro::test::window
