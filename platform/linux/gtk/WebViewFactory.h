#pragma once

#include <webkit2/webkit2.h>

#include "platform/WebView.h"

namespace taviro::platform::gtk {

// A new view and the content manager it was built with; the caller holds a reference to each.
struct WebViewParts {
    WebKitWebView* view;
    WebKitUserContentManager* contentManager;
};

// The web engine as the shell owns it: one web context of its own, set up before any view
// exists, and the views built on it. WebKit's process-wide default context is never touched.
// Website data lives in memory only: the service's origin changes with its port at every
// launch, so nothing a page stores could ever be read again. Main thread only.
class WebViewFactory {
public:
    explicit WebViewFactory(const WebViewOptions& options);
    ~WebViewFactory();
    WebViewFactory(const WebViewFactory&) = delete;
    WebViewFactory& operator=(const WebViewFactory&) = delete;

    WebKitWebContext* context() const { return context_; }
    // A view on this context with settings and a content manager of its own.
    WebViewParts createView() const;

private:
    WebKitWebsiteDataManager* dataManager_;
    WebKitWebContext* context_;
};

}  // namespace taviro::platform::gtk
