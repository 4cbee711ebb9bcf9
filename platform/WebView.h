#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"

namespace taviro::platform {

// The embedded web view, as its owner drives it. Main thread only.
class WebView {
public:
    virtual ~WebView() = default;
    // Replaces the content with an HTML document that has no base address.
    virtual void loadHTMLString(const std::string& html) = 0;
    // Loads `url`, ignoring locally cached data, giving up after `timeoutSeconds`.
    virtual void loadRequest(const std::string& url, double timeoutSeconds) = 0;
    virtual std::optional<std::string> currentURL() const = 0;
    virtual void evaluateJavaScript(const std::string& script) = 0;
};

// What the web view reports to its owner, on the main thread.
class WebViewDelegate {
public:
    virtual ~WebViewDelegate() = default;
    // Every navigation (link, form, script, redirect): true lets it proceed in the view.
    virtual bool decidePolicyForNavigation(const std::optional<std::string>& url) = 0;
    virtual void didFinishNavigation() = 0;
    // A committed or a provisional load failed. The error carries the view's own domain and
    // code, translated to the values of WebErrors.h where those apply.
    virtual void didFailNavigation(const Error& error) = 0;
    // The web content process crashed or was killed: the view shows nothing until something is
    // loaded again.
    virtual void webProcessTerminated() = 0;
    // A page posted `bodyJSON` (the message body serialised as JSON) to a registered channel.
    virtual void didReceiveScriptMessage(const std::string& channel, const std::string& bodyJSON) = 0;
    // A file input wants files; `completion` gets the chosen files or nothing (cancelled).
    // False when the owner does not handle it: the view's own chooser runs then.
    virtual bool runOpenPanel(bool allowsMultipleSelection,
                              std::function<void(std::optional<std::vector<std::filesystem::path>>)> completion) = 0;
};

}  // namespace taviro::platform
