#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"

namespace taviro::platform {

// How the web view is set up when it is created.
struct WebViewOptions {
    // The page runs in a web process confined to a sandbox of its own.
    bool sandboxed = false;
    // A web process that has not answered for this long is ended (and reported terminated);
    // zero never ends one.
    double unresponsiveLimitSeconds = 0;
};

// Why the web content process ended.
enum class WebProcessTermination { crashed, exceededMemoryLimit, endedByOwner };

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
    // The web content process ended (crashed, killed, or ended for not answering): the view
    // shows nothing until something is loaded again.
    virtual void webProcessTerminated(WebProcessTermination reason) = 0;
    // A page posted `bodyJSON` (the message body serialised as JSON) to a registered channel.
    virtual void didReceiveScriptMessage(const std::string& channel, const std::string& bodyJSON) = 0;
    // A file input wants files; `completion` gets the chosen files or nothing (cancelled).
    // False when the owner does not handle it: the view's own chooser runs then.
    virtual bool runOpenPanel(bool allowsMultipleSelection,
                              std::function<void(std::optional<std::vector<std::filesystem::path>>)> completion) = 0;
    // The page started a download: `completion` gets where to save it, or nothing to cancel it.
    // Nothing is written anywhere before that answer.
    virtual void chooseDownloadDestination(const std::string& suggestedName,
                                           std::function<void(std::optional<std::filesystem::path>)> completion) = 0;
    // A download with a destination ended: whole at `destination`, or failed (the earlier file
    // there left as it was). A download cancelled by its owner reports nothing.
    virtual void downloadEnded(const std::filesystem::path& destination, const std::optional<Error>& failure) = 0;
};

}  // namespace taviro::platform
