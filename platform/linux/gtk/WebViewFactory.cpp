#include "platform/linux/gtk/WebViewFactory.h"

namespace taviro::platform::gtk {

WebViewFactory::WebViewFactory(const WebViewOptions& options)
    : dataManager_(webkit_website_data_manager_new_ephemeral()),
      context_(webkit_web_context_new_with_website_data_manager(dataManager_)) {
    // Before the first web process starts: the setting only applies to processes started later.
    webkit_web_context_set_sandbox_enabled(context_, options.sandboxed);
    // The shell always wants the service's current pages, never a cached copy.
    webkit_web_context_set_cache_model(context_, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
}

WebViewFactory::~WebViewFactory() {
    g_object_unref(context_);
    g_object_unref(dataManager_);
}

WebViewParts WebViewFactory::createView() const {
    WebKitSettings* settings = webkit_settings_new();
    webkit_settings_set_javascript_can_open_windows_automatically(settings, TRUE);
    WebKitUserContentManager* contentManager = webkit_user_content_manager_new();
    auto* view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context_, "settings", settings,
                                              "user-content-manager", contentManager, nullptr));
    g_object_unref(settings);
    // The caller keeps the view alive on its own; a window only borrows it.
    g_object_ref_sink(view);
    return {view, contentManager};
}

}  // namespace taviro::platform::gtk
