#pragma once

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <webkit2/webkit2.h>

#include "platform/ApplicationHost.h"

namespace taviro::test::window {

// Everything the web view told its owner. Navigations whose address contains "refused" are
// refused; file inputs go to `openPanel`, or to the view's own chooser when it is not set.
struct RecordingDelegate final : platform::WebViewDelegate {
    using Files = std::optional<std::vector<std::filesystem::path>>;
    std::vector<std::string> navigations;
    int finishes = 0;
    std::vector<Error> failures;
    std::vector<std::pair<std::string, std::string>> messages;
    std::function<bool(bool, std::function<void(Files)>)> openPanel;

    bool decidePolicyForNavigation(const std::optional<std::string>& url) override {
        navigations.push_back(url.value_or(""));
        return navigations.back().find("refused") == std::string::npos;
    }
    void didFinishNavigation() override { ++finishes; }
    void didFailNavigation(const Error& error) override { failures.push_back(error); }
    void webProcessTerminated() override {}
    void didReceiveScriptMessage(const std::string& channel, const std::string& body) override {
        messages.emplace_back(channel, body);
    }
    bool runOpenPanel(bool multiple, std::function<void(Files)> completion) override {
        return openPanel && openPanel(multiple, std::move(completion));
    }
};

// The running application the in-process tests share, set up as the shell sets it up.
struct Harness {
    platform::ApplicationHost* host = nullptr;
    std::shared_ptr<platform::WebView> view;
    std::shared_ptr<RecordingDelegate> delegate;
    GtkWindow* window = nullptr;
    int loadStarts = 0;  // as WebKit itself reports them
};
inline Harness harness;

// Runs the main loop until `condition` holds or `seconds` have passed; true when it holds.
inline bool waitUntil(const std::function<bool()>& condition, double seconds = 20) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    // A ticking source makes the blocking iteration come back to look at the clock.
    guint ticker = g_timeout_add(20, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    while (!condition() && std::chrono::steady_clock::now() < deadline) g_main_context_iteration(nullptr, TRUE);
    g_source_remove(ticker);
    return condition();
}

inline void spin(double seconds) { waitUntil([] { return false; }, seconds); }

// Loads `html` and waits for its finish; the delegate starts afresh.
inline void loadHTMLAndWait(const std::string& html) {
    auto& delegate = *harness.delegate = RecordingDelegate();
    harness.view->loadHTMLString(html);
    if (!waitUntil([&] { return delegate.finishes >= 1; })) throw std::runtime_error("the page did not load");
    delegate = RecordingDelegate();
}

// The dialog on screen, if any.
inline GtkDialog* shownDialog() {
    GList* toplevels = gtk_window_list_toplevels();
    GList* shown = g_list_find_custom(toplevels, nullptr, [](gconstpointer window, gconstpointer) {
        return GTK_IS_DIALOG(window) && gtk_widget_get_visible(GTK_WIDGET(window)) ? 0 : 1;
    });
    GtkDialog* dialog = shown != nullptr ? GTK_DIALOG(shown->data) : nullptr;
    g_list_free(toplevels);
    return dialog;
}

// An HTTP server on 127.0.0.1, served from the main loop: every path gets a page with the path
// as its heading, except paths under /silent, which get no answer at all. It records the paths
// asked for, and those asked for without cached data.
struct TestServer {
    SoupServer* server = soup_server_new(nullptr, nullptr);
    std::vector<std::string> requests, uncached;

    TestServer() {
        auto answer = +[](SoupServer*, SoupServerMessage* message, const char* path, GHashTable*, gpointer self) {
            static_cast<TestServer*>(self)->requests.emplace_back(path);
            SoupMessageHeaders* headers = soup_server_message_get_request_headers(message);
            if (soup_message_headers_header_equals(headers, "Cache-Control", "no-cache") &&
                soup_message_headers_header_equals(headers, "Pragma", "no-cache")) {
                static_cast<TestServer*>(self)->uncached.emplace_back(path);
            }
            if (g_str_has_prefix(path, "/silent")) return soup_server_message_pause(message);
            std::string page = "<!doctype html><h1>" + std::string(path) + "</h1>";
            soup_server_message_set_status(message, 200, nullptr);
            soup_server_message_set_response(message, "text/html", SOUP_MEMORY_COPY, page.data(), page.size());
        };
        soup_server_add_handler(server, nullptr, answer, this, nullptr);
        soup_server_listen_local(server, 0, SOUP_SERVER_LISTEN_IPV4_ONLY, nullptr);
    }
    ~TestServer() {
        soup_server_disconnect(server);
        g_object_unref(server);
    }
    std::string url(const std::string& path) const {
        GSList* uris = soup_server_get_uris(server);
        std::string port = uris != nullptr ? std::to_string(g_uri_get_port(static_cast<GUri*>(uris->data))) : "1";
        g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
        return "http://127.0.0.1:" + port + path;
    }
    bool requested(const std::string& path) const { return std::ranges::find(requests, path) != requests.end(); }
};

}  // namespace taviro::test::window
