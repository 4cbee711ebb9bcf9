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

void NavigationHandler::webProcessTerminated() { hooks_.reconnect(); }

void NavigationHandler::cancel() {
    if (featurePackCheckTask_) featurePackCheckTask_->cancel();
    featurePackCheckTask_.reset();
}

}  // namespace taviro
