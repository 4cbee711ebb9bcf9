#include "bridge/NavigationHandler.h"

#include "bridge/NavigationPolicy.h"

namespace taviro {

NavigationHandler::NavigationHandler(std::shared_ptr<platform::MainQueue> mainQueue,
                                     std::shared_ptr<platform::BrowserOpener> browser, Hooks hooks)
    : mainQueue_(std::move(mainQueue)), browser_(std::move(browser)), hooks_(std::move(hooks)) {}

NavigationHandler::~NavigationHandler() { cancel(); }

bool NavigationHandler::decidePolicyForNavigation(const std::optional<std::string>& url) {
    switch (decideNavigation(url, hooks_.localPort())) {
        case NavigationDecision::allow:
            return true;
        case NavigationDecision::saveDiagnostics:
            // After the cancel has gone back to the web view: the save dialog must not keep its
            // decision waiting.
            mainQueue_->post([save = hooks_.saveDiagnostics, link = *url] { save(link); });
            return false;
        case NavigationDecision::openInBrowser:
            if (browser_) browser_->open(*url);
            return false;
        case NavigationDecision::refuse:
            return false;
    }
    return false;
}

void NavigationHandler::didFinishNavigation() {
    if (didStartAutomaticUpdateFlow_ || !webView_) return;
    auto current = webView_->currentURL();
    if (!current || !isLocalPageURL(*current, hooks_.localPort())) return;
    didStartAutomaticUpdateFlow_ = true;
    hooks_.startAutomaticUpdateFlow();
    // The task only holds the hook; cancel() at quit (or this object's end) keeps it from running.
    featurePackCheckTask_ = mainQueue_->postAfter(featurePackCheckDelaySeconds, hooks_.startBackgroundFeaturePackCheck);
}

void NavigationHandler::didFailNavigation(const Error& error) {
    if (shouldIgnoreNavigationFailure(error)) return;
    hooks_.connectionLost(error.description);
}

void NavigationHandler::webProcessTerminated(platform::WebProcessTermination reason) {
    using enum platform::WebProcessTermination;
    const char* why = reason == crashed ? "crashed" : reason == exceededMemoryLimit ? "exceeded its memory limit"
                                                                                    : "ended by the shell";
    hooks_.log(std::string("web content process terminated (") + why + ")");
    auto now = hooks_.now ? hooks_.now() : WebProcessRestartLimit::Clock::now();
    if (restartLimit_.allowsRestart(now)) return hooks_.reconnect();
    hooks_.log("web content process terminated " + std::to_string(WebProcessRestartLimit::terminations) +
               " times within " + std::to_string(WebProcessRestartLimit::window.count()) +
               " s; the page waits for a retry");
    hooks_.showError("页面在 " + std::to_string(WebProcessRestartLimit::window.count()) + " 秒内意外退出了 " +
                     std::to_string(WebProcessRestartLimit::terminations) + " 次，已停止自动重新加载。");
}

void NavigationHandler::cancel() {
    if (featurePackCheckTask_) featurePackCheckTask_->cancel();
    featurePackCheckTask_.reset();
}

}  // namespace taviro
