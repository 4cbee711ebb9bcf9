#include "bridge/NavigationPolicy.h"

#include "lib/Text.h"
#include "lib/UrlParts.h"
#include "platform/WebErrors.h"

namespace taviro {
namespace {

bool isLocalAuthority(const UrlParts& parts, int localPort) {
    return parts.host == "127.0.0.1" && parts.port == localPort;
}

}  // namespace

bool isLocalPageURL(const std::string& url, int localPort) {
    auto parts = parseUrl(url);
    return parts && isLocalAuthority(*parts, localPort);
}

bool isLocalDiagnosticsURL(const std::string& url, int localPort) {
    auto parts = parseUrl(url);
    return parts && parts->scheme == "http" && isLocalAuthority(*parts, localPort) && parts->path.starts_with("/jobs/") &&
           parts->path.ends_with("/diagnostics.txt");
}

NavigationDecision decideNavigation(const std::optional<std::string>& url, int localPort) {
    if (!url) return NavigationDecision::allow;
    if (isLocalDiagnosticsURL(*url, localPort)) return NavigationDecision::saveDiagnostics;
    auto parts = parseUrl(*url);
    // What the rules cannot read they cannot judge: it neither loads here nor opens elsewhere.
    if (!parts) return NavigationDecision::refuse;
    std::string scheme = lowercaseASCII(parts->scheme ? *parts->scheme : "");
    const bool web = scheme == "http" || scheme == "https";
    if (web && !isLocalAuthority(*parts, localPort)) return NavigationDecision::openInBrowser;
    // What the view cannot show (mailto:, tel:, an application's own scheme) would only fail in
    // it and count as a lost service.
    const bool viewable = web || scheme == "about" || scheme == "data" || scheme == "blob" || scheme == "file";
    return viewable ? NavigationDecision::allow : NavigationDecision::openInBrowser;
}

bool shouldIgnoreNavigationFailure(const Error& error) {
    return (error.domain == platform::kUrlLoadingErrorDomain && error.code == platform::kUrlLoadingCancelledCode) ||
           (error.domain == platform::kWebKitErrorDomain &&
            (error.code == platform::kFrameLoadInterruptedCode || error.code == platform::kPlugInWillHandleLoadCode));
}

}  // namespace taviro
