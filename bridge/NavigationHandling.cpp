// The web view's reports: where each navigation goes, what a finished or failed load means.
#include "app/AppDelegate.h"
#include "bridge/NavigationPolicy.h"

namespace taviro {

bool AppDelegate::decidePolicyForNavigation(const std::optional<std::string>& url) {
    switch (decideNavigation(url, localPort.load())) {
        case NavigationDecision::allow:
            return true;
        case NavigationDecision::saveDiagnostics:
            saveDiagnostics(*url);
            return false;
        case NavigationDecision::openInBrowser:
            if (platform_.browser) platform_.browser->open(*url);
            return false;
    }
    return false;
}

void AppDelegate::didFinishNavigation() {
    if (didStartAutomaticUpdateFlow || !webView) return;
    auto current = webView->currentURL();
    if (!current || !isLocalPageURL(*current, localPort.load())) return;
    didStartAutomaticUpdateFlow = true;
    startAutomaticUpdateFlow();
    std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
    platform_.mainQueue->postAfter(featurePackCheckDelaySeconds, [weakSelf] {
        if (auto self = weakSelf.lock()) self->startBackgroundFeaturePackCheck();
    });
}

void AppDelegate::didFailNavigation(const Error& error) {
    if (shouldIgnoreNavigationFailure(error)) return;
    showServiceError(error.description);
    scheduleReconnect();
}

}  // namespace taviro
