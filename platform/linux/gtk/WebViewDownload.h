#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include <webkit2/webkit2.h>

#include "platform/WebView.h"

namespace taviro::platform::gtk {

// One download the page started. Its owner chooses where it goes; until then nothing is
// written. The bytes go to a file beside the chosen one, which replaces it only once whole, so
// an earlier file there survives a failed or cancelled download. Lives as long as its
// WebKitDownload. Main thread only.
class WebViewDownload {
public:
    // Takes charge of `download`; without an owner it is cancelled at once.
    static void follow(WebKitDownload* download, std::weak_ptr<WebViewDelegate> owner);
    ~WebViewDownload();
    WebViewDownload(const WebViewDownload&) = delete;
    WebViewDownload& operator=(const WebViewDownload&) = delete;

private:
    WebViewDownload(WebKitDownload* download, std::weak_ptr<WebViewDelegate> owner);

    static gboolean onDecideDestination(WebKitDownload*, const gchar* suggestedName, gpointer);
    static void onFailed(WebKitDownload*, GError*, gpointer);
    static void onFinished(WebKitDownload*, gpointer);

    void destinationChosen(const std::optional<std::filesystem::path>& destination);
    void report(const std::optional<Error>& failure);

    WebKitDownload* download_;  // not held: this object belongs to it
    std::weak_ptr<WebViewDelegate> owner_;
    std::optional<std::filesystem::path> destination_;
    std::string partial_;  // the file WebKit writes, beside the destination
    bool cancelledByOwner_ = false;
    bool failed_ = false;
};

}  // namespace taviro::platform::gtk
