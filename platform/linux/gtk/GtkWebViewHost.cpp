#include "platform/linux/gtk/GtkWebViewHost.h"

#include <cmath>
#include <cstdio>

#include "platform/WebErrors.h"
#include "platform/linux/gtk/WebKitLoadError.h"
#include "platform/linux/gtk/WebViewDownload.h"

namespace taviro::platform::gtk {
namespace {

std::optional<std::string> nonEmpty(const char* text) {
    if (text == nullptr || *text == '\0') return std::nullopt;
    return std::string(text);
}

bool isCancellation(const Error& error) {
    return error.domain == kUrlLoadingErrorDomain && error.code == kUrlLoadingCancelledCode;
}

// The h1 lookup of a finished load, written to the trace when its result arrives.
struct HeadingLookup {
    std::shared_ptr<const WebViewTrace> trace;
    std::string uri;

    static void completed(GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<HeadingLookup> lookup(static_cast<HeadingLookup*>(data));
        GError* error = nullptr;
        JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
        std::string heading;
        if (value != nullptr) {
            if (jsc_value_is_string(value)) {
                char* text = jsc_value_to_string(value);
                heading = text != nullptr ? text : "";
                g_free(text);
            }
            g_object_unref(value);
        }
        g_clear_error(&error);
        lookup->trace->append("finished " + lookup->uri + "\t" + heading);
    }
};

constexpr const char* kFirstHeadingScript = "document.querySelector('h1')?.textContent ?? ''";

guint timeoutMilliseconds(double seconds) {
    if (!(seconds > 0)) return 0;
    double value = std::ceil(seconds * 1000.0);
    return value > 4e9 ? 4000000000u : static_cast<guint>(value);
}

}  // namespace

GtkWebViewHost::GtkWebViewHost(const WebViewFactory& factory, const std::vector<std::string>& channels,
                               std::weak_ptr<WebViewDelegate> delegate, double unresponsiveLimitSeconds)
    : delegate_(std::move(delegate)),
      trace_(WebViewTrace::fromEnvironment()),
      unresponsiveLimitSeconds_(unresponsiveLimitSeconds) {
    context_ = WEBKIT_WEB_CONTEXT(g_object_ref(factory.context()));
    auto parts = factory.createView();
    view_ = parts.view;
    contentManager_ = parts.contentManager;

    // Every signal of the view, its context and its content manager is connected here, and
    // disconnected when the host goes.
    connect(view_, "decide-policy", G_CALLBACK(onDecidePolicy), this);
    connect(view_, "create", G_CALLBACK(onCreate), this);
    connect(view_, "load-changed", G_CALLBACK(onLoadChanged), this);
    connect(view_, "load-failed", G_CALLBACK(onLoadFailed), this);
    connect(view_, "load-failed-with-tls-errors", G_CALLBACK(onLoadFailedWithTlsErrors), this);
    connect(view_, "run-file-chooser", G_CALLBACK(onRunFileChooser), this);
    connect(view_, "web-process-terminated", G_CALLBACK(onWebProcessTerminated), this);
    connect(view_, "notify::is-web-process-responsive", G_CALLBACK(onResponsivenessChanged), this);
    connect(context_, "download-started", G_CALLBACK(onDownloadStarted), this);

    for (const auto& channel : channels) {
        auto binding = std::make_unique<ChannelBinding>(ChannelBinding{this, channel});
        // Connected before registering, so no message can arrive unheard.
        std::string signal = "script-message-received::" + channel;
        connect(contentManager_, signal.c_str(), G_CALLBACK(onScriptMessage), binding.get());
        if (!webkit_user_content_manager_register_script_message_handler(contentManager_, channel.c_str())) {
            std::fprintf(stderr, "Taviro: the script message channel %s could not be registered\n", channel.c_str());
        }
        channels_.push_back(std::move(binding));
    }
    if (trace_) traceConsole();
}

// For support only: the page's console goes to the trace through a script of our own, which
// the page never has without the trace.
void GtkWebViewHost::traceConsole() {
    std::string signal = std::string("script-message-received::") + WebViewTrace::kConsoleChannel;
    connect(contentManager_, signal.c_str(), G_CALLBACK(onConsoleMessage), this);
    webkit_user_content_manager_register_script_message_handler(contentManager_, WebViewTrace::kConsoleChannel);
    WebKitUserScript* script =
        webkit_user_script_new(WebViewTrace::consoleScript(), WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(contentManager_, script);
    webkit_user_script_unref(script);
}

GtkWebViewHost::~GtkWebViewHost() {
    cancelTimeout();
    if (unresponsiveSource_ != 0) g_source_remove(unresponsiveSource_);
    for (auto [instance, handler] : handlers_) {
        if (g_signal_handler_is_connected(instance, handler)) g_signal_handler_disconnect(instance, handler);
    }
    for (const auto& binding : channels_) {
        webkit_user_content_manager_unregister_script_message_handler(contentManager_, binding->channel.c_str());
    }
    g_object_unref(contentManager_);
    g_object_unref(view_);
    g_object_unref(context_);
}

void GtkWebViewHost::connect(gpointer instance, const char* signal, GCallback callback, gpointer data) {
    handlers_.emplace_back(instance, g_signal_connect(instance, signal, callback, data));
}

void GtkWebViewHost::executeEditingCommand(const char* command) {
    webkit_web_view_execute_editing_command(view_, command);
}

void GtkWebViewHost::loadHTMLString(const std::string& html) {
    cancelTimeout();
    webkit_web_view_load_html(view_, html.c_str(), nullptr);
}

void GtkWebViewHost::loadRequest(const std::string& url, double timeoutSeconds) {
    cancelTimeout();
    WebKitURIRequest* request = webkit_uri_request_new(url.c_str());
    // Headers only exist for http(s) requests; other schemes have no cache to bypass.
    if (SoupMessageHeaders* headers = webkit_uri_request_get_http_headers(request)) {
        soup_message_headers_replace(headers, "Cache-Control", "no-cache");
        soup_message_headers_replace(headers, "Pragma", "no-cache");
    }
    // WebKit reports the address in its normalised form; the time limit goes by that one.
    const char* normalised = webkit_uri_request_get_uri(request);
    startTimeout(normalised != nullptr ? normalised : url, timeoutSeconds);
    webkit_web_view_load_request(view_, request);
    g_object_unref(request);
}

std::optional<std::string> GtkWebViewHost::currentURL() const {
    // The page shown, not a load asked for since: a page that finishes after the next load was
    // requested reports that load's address as the view's own.
    if (WebKitWebResource* shown = webkit_web_view_get_main_resource(view_)) {
        if (auto address = nonEmpty(webkit_web_resource_get_uri(shown))) return address;
    }
    return nonEmpty(webkit_web_view_get_uri(view_));
}

void GtkWebViewHost::evaluateJavaScript(const std::string& script) {
    webkit_web_view_evaluate_javascript(view_, script.c_str(), -1, nullptr, nullptr, nullptr, nullptr, nullptr);
}

void GtkWebViewHost::startTimeout(const std::string& url, double seconds) {
    guint milliseconds = timeoutMilliseconds(seconds);
    if (milliseconds == 0) return;
    timedLoad_ = TimedLoad::requested;
    timedURL_ = url;
    timeoutSource_ = g_timeout_add(milliseconds, onLoadTimeout, this);
}

void GtkWebViewHost::cancelTimeout() {
    if (timeoutSource_ != 0) g_source_remove(timeoutSource_);
    timeoutSource_ = 0;
    timedLoad_ = TimedLoad::none;
}

gboolean GtkWebViewHost::onLoadTimeout(gpointer data) {
    auto* self = static_cast<GtkWebViewHost*>(data);
    self->timeoutSource_ = 0;
    if (self->timedLoad_ == TimedLoad::none) return G_SOURCE_REMOVE;
    // A load WebKit has started ends with a finish even when stopped; that one does not count.
    if (self->timedLoad_ == TimedLoad::started) self->currentLoadFailed_ = true;
    self->timedLoad_ = TimedLoad::none;
    self->timedOutURL_ = self->timedURL_;
    webkit_web_view_stop_loading(self->view_);
    self->loadFailed(self->timedURL_, loadTimeoutError());
    return G_SOURCE_REMOVE;
}

gboolean GtkWebViewHost::onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                        gpointer data) {
    auto* self = static_cast<GtkWebViewHost*>(data);
    switch (type) {
    case WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION:
        return self->decideNavigation(decision, false);
    case WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION:
        return self->decideNavigation(decision, true);
    case WEBKIT_POLICY_DECISION_TYPE_RESPONSE:
        return decideResponse(WEBKIT_RESPONSE_POLICY_DECISION(decision));
    default:
        return FALSE;
    }
}

gboolean GtkWebViewHost::decideResponse(WebKitResponsePolicyDecision* decision) {
    // What the view cannot show becomes a download, which asks where to go, instead of a load
    // that ends in nothing. Attachments and what it can show keep WebKit's own handling.
    if (webkit_response_policy_decision_is_mime_type_supported(decision)) return FALSE;
    webkit_policy_decision_download(WEBKIT_POLICY_DECISION(decision));
    return TRUE;
}

gboolean GtkWebViewHost::decideNavigation(WebKitPolicyDecision* decision, bool newWindow) {
    WebKitNavigationAction* action =
        webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    WebKitURIRequest* request = action != nullptr ? webkit_navigation_action_get_request(action) : nullptr;
    auto url = nonEmpty(request != nullptr ? webkit_uri_request_get_uri(request) : nullptr);

    if (!newWindow && approvedForThisView_ && url == approvedForThisView_) {
        approvedForThisView_.reset();
        webkit_policy_decision_use(decision);
        return TRUE;
    }
    approvedForThisView_.reset();

    if (!askDelegate(url)) {
        if (timedLoad_ != TimedLoad::none && timedLoad_ != TimedLoad::started && url == timedURL_) cancelTimeout();
        webkit_policy_decision_ignore(decision);
        return TRUE;
    }
    if (!newWindow) {
        if (timedLoad_ == TimedLoad::requested && url == timedURL_) timedLoad_ = TimedLoad::allowed;
        webkit_policy_decision_use(decision);
        return TRUE;
    }
    // One window only: an allowed new-window navigation replaces this view's page instead.
    webkit_policy_decision_ignore(decision);
    if (url && request != nullptr) loadInThisView(request, *url);
    return TRUE;
}

bool GtkWebViewHost::askDelegate(const std::optional<std::string>& url) {
    // Without an owner there is nobody to refuse anything: WebKit's default applies.
    auto owner = delegate();
    return owner ? owner->decidePolicyForNavigation(url) : true;
}

void GtkWebViewHost::loadInThisView(WebKitURIRequest* request, const std::string& url) {
    // Its navigation in this view was decided already; the owner is not asked twice.
    approvedForThisView_ = url;
    webkit_web_view_load_request(view_, request);
}

GtkWidget* GtkWebViewHost::onCreate(WebKitWebView*, WebKitNavigationAction* action, gpointer data) {
    auto* self = static_cast<GtkWebViewHost*>(data);
    WebKitURIRequest* request = action != nullptr ? webkit_navigation_action_get_request(action) : nullptr;
    auto url = nonEmpty(request != nullptr ? webkit_uri_request_get_uri(request) : nullptr);
    // window.open() comes here without a new-window decision first. There is no second window:
    // an address the owner allows is loaded in this view, an empty window is not opened at all.
    if (url && *url != "about:blank" && self->askDelegate(url)) self->loadInThisView(request, *url);
    return nullptr;
}

void GtkWebViewHost::onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
    auto* self = static_cast<GtkWebViewHost*>(data);
    switch (event) {
    case WEBKIT_LOAD_STARTED:
        self->currentLoadFailed_ = false;
        if (self->timedLoad_ == TimedLoad::allowed) self->timedLoad_ = TimedLoad::started;
        break;
    case WEBKIT_LOAD_COMMITTED:
        // The limit is the page's own answer's: a stalled image or script never tears a shown
        // page down.
        if (self->timedLoad_ == TimedLoad::started) self->cancelTimeout();
        break;
    case WEBKIT_LOAD_FINISHED:
        if (self->timedLoad_ == TimedLoad::started) self->cancelTimeout();
        // Any cancellation of a stopped load comes before the finish of its own load.
        self->timedOutURL_.reset();
        if (!self->currentLoadFailed_) self->loadFinished();
        break;
    default:
        break;
    }
}

gboolean GtkWebViewHost::onLoadFailed(WebKitWebView*, WebKitLoadEvent, const gchar* uri, GError* error,
                                      gpointer data) {
    auto* self = static_cast<GtkWebViewHost*>(data);
    Error failure = loadErrorFromGError(error);
    std::string failingURI = uri != nullptr ? uri : "";
    // Whatever follows, the finish WebKit reports for this load is not a finish.
    self->currentLoadFailed_ = true;
    if (isCancellation(failure) && self->timedOutURL_ == failingURI) {
        self->timedOutURL_.reset();
        return TRUE;
    }
    if (self->timedLoad_ == TimedLoad::started ||
        (self->timedLoad_ != TimedLoad::none && failingURI == self->timedURL_)) {
        self->cancelTimeout();
    }
    self->loadFailed(failingURI, failure);
    return TRUE;  // the owner shows its own page; no WebKit error page
}

gboolean GtkWebViewHost::onLoadFailedWithTlsErrors(WebKitWebView*, const gchar* uri, GTlsCertificate*,
                                                   GTlsCertificateFlags flags, gpointer data) {
    auto* self = static_cast<GtkWebViewHost*>(data);
    std::string failingURI = uri != nullptr ? uri : "";
    if (self->timedLoad_ != TimedLoad::none) self->cancelTimeout();
    self->currentLoadFailed_ = true;
    self->loadFailed(failingURI, tlsLoadError(failingURI, flags));
    return TRUE;
}

void GtkWebViewHost::loadFinished() {
    if (trace_) {
        auto* lookup = new HeadingLookup{trace_, currentURL().value_or("")};
        webkit_web_view_evaluate_javascript(view_, kFirstHeadingScript, -1, nullptr, nullptr, nullptr,
                                            &HeadingLookup::completed, lookup);
    }
    if (auto owner = delegate()) owner->didFinishNavigation();
}

void GtkWebViewHost::loadFailed(const std::string& uri, const Error& error) {
    if (trace_) {
        trace_->append("failed " + uri + "\t" + error.domain + " " + std::to_string(error.code) + " " +
                       error.description);
    }
    if (auto owner = delegate()) owner->didFailNavigation(error);
}

gboolean GtkWebViewHost::onRunFileChooser(WebKitWebView*, WebKitFileChooserRequest* request, gpointer data) {
    auto* self = static_cast<GtkWebViewHost*>(data);
    auto owner = self->delegate();
    if (!owner) return FALSE;

    // The owner may answer later; the request stays alive until then.
    g_object_ref(request);
    std::shared_ptr<WebKitFileChooserRequest> held(request, [](WebKitFileChooserRequest* r) { g_object_unref(r); });
    auto answered = std::make_shared<bool>(false);
    auto completion = [held, answered](std::optional<std::vector<std::filesystem::path>> files) {
        if (*answered) return;
        *answered = true;
        if (!files || files->empty()) {
            webkit_file_chooser_request_cancel(held.get());
            return;
        }
        std::vector<std::string> paths;
        for (const auto& file : *files) paths.push_back(file.string());
        std::vector<const gchar*> list;
        for (const auto& path : paths) list.push_back(path.c_str());
        list.push_back(nullptr);
        webkit_file_chooser_request_select_files(held.get(), list.data());
    };
    bool handled = owner->runOpenPanel(webkit_file_chooser_request_get_select_multiple(request), completion);
    if (!handled) *answered = true;  // WebKit's own chooser answers this request
    return handled ? TRUE : FALSE;
}

void GtkWebViewHost::onWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer data) {
    auto* self = static_cast<GtkWebViewHost*>(data);
    // The load under way died with the process; its time limit must not report a timeout later.
    self->cancelTimeout();
    if (self->unresponsiveSource_ != 0) g_source_remove(self->unresponsiveSource_);
    self->unresponsiveSource_ = 0;
    self->timedOutURL_.reset();
    self->approvedForThisView_.reset();
    WebProcessTermination termination = reason == WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT ? WebProcessTermination::exceededMemoryLimit
                                        : reason == WEBKIT_WEB_PROCESS_TERMINATED_BY_API  ? WebProcessTermination::endedByOwner
                                                                                           : WebProcessTermination::crashed;
    if (auto owner = self->delegate()) owner->webProcessTerminated(termination);
}

void GtkWebViewHost::onResponsivenessChanged(GObject*, GParamSpec*, gpointer data) {
    auto* self = static_cast<GtkWebViewHost*>(data);
    if (self->unresponsiveSource_ != 0) g_source_remove(self->unresponsiveSource_);
    self->unresponsiveSource_ = 0;
    guint milliseconds = timeoutMilliseconds(self->unresponsiveLimitSeconds_);
    if (milliseconds != 0 && !webkit_web_view_get_is_web_process_responsive(self->view_)) {
        self->unresponsiveSource_ = g_timeout_add(milliseconds, onUnresponsiveTooLong, self);
    }
}

gboolean GtkWebViewHost::onUnresponsiveTooLong(gpointer data) {
    auto* self = static_cast<GtkWebViewHost*>(data);
    self->unresponsiveSource_ = 0;
    // Ended, it is reported as terminated, and its owner brings the page back.
    if (!webkit_web_view_get_is_web_process_responsive(self->view_)) webkit_web_view_terminate_web_process(self->view_);
    return G_SOURCE_REMOVE;
}

void GtkWebViewHost::onDownloadStarted(WebKitWebContext*, WebKitDownload* download, gpointer data) {
    auto* self = static_cast<GtkWebViewHost*>(data);
    if (webkit_download_get_web_view(download) == self->view_) WebViewDownload::follow(download, self->delegate_);
}

void GtkWebViewHost::onConsoleMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
    auto* self = static_cast<GtkWebViewHost*>(data);
    JSCValue* value = result != nullptr ? webkit_javascript_result_get_js_value(result) : nullptr;
    if (value == nullptr || !jsc_value_is_string(value)) return;
    char* text = jsc_value_to_string(value);
    self->trace_->append(std::string("console ") + (text != nullptr ? text : ""));
    g_free(text);
}

void GtkWebViewHost::onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
    auto* binding = static_cast<ChannelBinding*>(data);
    JSCValue* value = result != nullptr ? webkit_javascript_result_get_js_value(result) : nullptr;
    char* json = value != nullptr ? jsc_value_to_json(value, 0) : nullptr;
    if (json == nullptr && value != nullptr) {
        // A body JSON cannot express (a cycle) leaves an exception behind in the context it
        // was copied into.
        jsc_context_clear_exception(jsc_value_get_context(value));
    }
    std::string body = json != nullptr ? json : "null";
    g_free(json);
    if (auto owner = binding->host->delegate()) owner->didReceiveScriptMessage(binding->channel, body);
}

}  // namespace taviro::platform::gtk
