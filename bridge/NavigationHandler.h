#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "bridge/WebProcessRestartLimit.h"
#include "platform/Browser.h"
#include "platform/Error.h"
#include "platform/MainQueue.h"
#include "platform/WebView.h"

namespace taviro {

// Decides and acts on what the web view reports: where each navigation goes, what a finished,
// failed or crashed load means. Main thread only.
class NavigationHandler {
public:
    struct Hooks {
        std::function<int()> localPort;
        std::function<void(const std::string& url)> saveDiagnostics;
        // The service's page could not be shown: the error page with the message, then a new cycle.
        std::function<void(const std::string& message)> connectionLost;
        // The page is gone with its web process: a new connection cycle brings it back.
        std::function<void()> reconnect;
        std::function<void()> startAutomaticUpdateFlow;
        std::function<void()> startBackgroundFeaturePackCheck;
        // The error page with the message, and no new cycle: the person's retry is next.
        std::function<void(const std::string& message)> showError;
        std::function<void(const std::string& line)> log;
        // The clock the restart limit counts on; the steady clock when empty.
        std::function<WebProcessRestartLimit::Clock::time_point()> now;
    };

    static constexpr double featurePackCheckDelaySeconds = 15.0;
    // A web process that has not answered for this long is ended, and the page comes back.
    static constexpr double unresponsivePageLimitSeconds = 10.0;

    NavigationHandler(std::shared_ptr<platform::MainQueue> mainQueue, std::shared_ptr<platform::BrowserOpener> browser,
                      Hooks hooks);
    NavigationHandler(const NavigationHandler&) = delete;
    NavigationHandler& operator=(const NavigationHandler&) = delete;
    ~NavigationHandler();

    void setWebView(std::shared_ptr<platform::WebView> webView) { webView_ = std::move(webView); }

    bool decidePolicyForNavigation(const std::optional<std::string>& url);
    // The first finished load of a local page starts the automatic update flow and, a while
    // later, the background feature-pack check; each once per process.
    void didFinishNavigation();
    void didFailNavigation(const Error& error);
    // Logs why, then brings the page back, unless it keeps going down (WebProcessRestartLimit).
    void webProcessTerminated(platform::WebProcessTermination reason);
    // Quitting: the pending feature-pack check never runs.
    void cancel();

    bool didStartAutomaticUpdateFlow() const { return didStartAutomaticUpdateFlow_; }

private:
    std::shared_ptr<platform::MainQueue> mainQueue_;
    std::shared_ptr<platform::BrowserOpener> browser_;
    Hooks hooks_;
    std::shared_ptr<platform::WebView> webView_;
    bool didStartAutomaticUpdateFlow_ = false;
    std::shared_ptr<platform::CancellableTask> featurePackCheckTask_;
    WebProcessRestartLimit restartLimit_;
};

}  // namespace taviro
