#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <webkit2/webkit2.h>

#include "platform/WebView.h"
#include "platform/linux/gtk/WebViewFactory.h"
#include "platform/linux/gtk/WebViewTrace.h"

namespace taviro::platform::gtk {

// The window's WebKitWebView: drives it for its owner and turns its signals into reports to
// the delegate. Main thread only.
class GtkWebViewHost final : public WebView {
public:
    // A view from `factory`; one that does not answer for `unresponsiveLimitSeconds` (zero: never)
    // has its web process ended.
    GtkWebViewHost(const WebViewFactory& factory, const std::vector<std::string>& channels,
                   std::weak_ptr<WebViewDelegate> delegate, double unresponsiveLimitSeconds);
    ~GtkWebViewHost() override;
    GtkWebViewHost(const GtkWebViewHost&) = delete;
    GtkWebViewHost& operator=(const GtkWebViewHost&) = delete;

    GtkWidget* widget() const { return GTK_WIDGET(view_); }
    // One of WebKit's editing commands ("Copy", "Delete", ...) on the focused page content.
    void executeEditingCommand(const char* command);

    void loadHTMLString(const std::string& html) override;
    void loadRequest(const std::string& url, double timeoutSeconds) override;
    std::optional<std::string> currentURL() const override;
    void evaluateJavaScript(const std::string& script) override;

private:
    struct ChannelBinding {
        GtkWebViewHost* host;
        std::string channel;
    };
    // The load that loadRequest put a time limit on: asked for, its navigation allowed, then
    // seen starting. A start only counts after the allowed navigation: the start of a load it
    // replaced may still arrive in between.
    enum class TimedLoad { none, requested, allowed, started };

    static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision*, WebKitPolicyDecisionType, gpointer);
    static GtkWidget* onCreate(WebKitWebView*, WebKitNavigationAction*, gpointer);
    static void onLoadChanged(WebKitWebView*, WebKitLoadEvent, gpointer);
    static gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent, const gchar*, GError*, gpointer);
    static gboolean onLoadFailedWithTlsErrors(WebKitWebView*, const gchar*, GTlsCertificate*, GTlsCertificateFlags,
                                              gpointer);
    static gboolean onRunFileChooser(WebKitWebView*, WebKitFileChooserRequest*, gpointer);
    static void onWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason, gpointer);
    static void onResponsivenessChanged(GObject*, GParamSpec*, gpointer);
    static gboolean onUnresponsiveTooLong(gpointer);
    static void onDownloadStarted(WebKitWebContext*, WebKitDownload*, gpointer);
    static void onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult*, gpointer);
    static void onConsoleMessage(WebKitUserContentManager*, WebKitJavascriptResult*, gpointer);
    static gboolean onLoadTimeout(gpointer);

    void connect(gpointer instance, const char* signal, GCallback callback, gpointer data);
    gboolean decideNavigation(WebKitPolicyDecision* decision, bool newWindow);
    static gboolean decideResponse(WebKitResponsePolicyDecision* decision);
    void traceConsole();
    bool askDelegate(const std::optional<std::string>& url);
    void loadInThisView(WebKitURIRequest* request, const std::string& url);
    void loadFailed(const std::string& uri, const Error& error);
    void loadFinished();
    void startTimeout(const std::string& url, double seconds);
    void cancelTimeout();
    std::shared_ptr<WebViewDelegate> delegate() const { return delegate_.lock(); }

    // Held: the host disconnects from it when it goes, whoever else has let it go by then.
    WebKitWebContext* context_ = nullptr;
    WebKitWebView* view_ = nullptr;
    WebKitUserContentManager* contentManager_ = nullptr;
    std::weak_ptr<WebViewDelegate> delegate_;
    std::shared_ptr<const WebViewTrace> trace_;
    std::vector<std::unique_ptr<ChannelBinding>> channels_;
    std::vector<std::pair<gpointer, gulong>> handlers_;

    // WebKit reports a finish after a failed load too; only loads that did not fail count.
    bool currentLoadFailed_ = false;
    guint timeoutSource_ = 0;
    double unresponsiveLimitSeconds_;
    guint unresponsiveSource_ = 0;
    TimedLoad timedLoad_ = TimedLoad::none;
    std::string timedURL_;
    // Stopping a load that ran out of time makes WebKit report its cancellation; the timeout was
    // reported instead. (When the stop overtakes the start, WebKit may report nothing at all.)
    std::optional<std::string> timedOutURL_;
    // An allowed new-window navigation is loaded here; its own navigation was already decided.
    std::optional<std::string> approvedForThisView_;
};

}  // namespace taviro::platform::gtk
