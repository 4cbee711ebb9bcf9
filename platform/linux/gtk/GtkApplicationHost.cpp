#include "platform/linux/gtk/GtkApplicationHost.h"

#include "platform/linux/gtk/GtkMenuBar.h"

namespace taviro::platform::gtk {
namespace {

// The web view's editing command behind an editing action; null for every other action.
const char* editingCommand(MenuAction action) {
    switch (action) {
    case MenuAction::undo: return WEBKIT_EDITING_COMMAND_UNDO;
    case MenuAction::redo: return WEBKIT_EDITING_COMMAND_REDO;
    case MenuAction::cut: return WEBKIT_EDITING_COMMAND_CUT;
    case MenuAction::copy: return WEBKIT_EDITING_COMMAND_COPY;
    case MenuAction::paste: return WEBKIT_EDITING_COMMAND_PASTE;
    case MenuAction::deleteSelection: return "Delete";
    case MenuAction::selectAll: return WEBKIT_EDITING_COMMAND_SELECT_ALL;
    default: return nullptr;
    }
}

}  // namespace

GtkApplicationHost::GtkApplicationHost(GtkApplication* application, std::function<void()> quitSequence)
    : application_(application), quitSequence_(std::move(quitSequence)) {}

GtkApplicationHost::~GtkApplicationHost() {
    // Whoever still holds the dialogs must not reach a window through a host that is gone.
    if (dialogs_) dialogs_->detach();
    destroyWindow();
}

void GtkApplicationHost::setRegularActivationPolicy() {
    // Any GtkApplication with a window is a regular application already; only the name is left.
    static bool named = false;
    if (!named) g_set_application_name("Taviro");
    named = true;
}

void GtkApplicationHost::installMainMenu(const std::vector<Menu>& menus, std::function<void(MenuAction)> onAction) {
    onAction_ = std::move(onAction);
    pageFirstShortcuts_.clear();
    for (const auto& menu : menus) {
        for (const auto& item : menu.items) {
            if (editingCommand(item.action) == nullptr || item.accelerator.empty()) continue;
            Shortcut shortcut{0, GdkModifierType(0)};
            gtk_accelerator_parse(item.accelerator.c_str(), &shortcut.key, &shortcut.modifiers);
            if (shortcut.key != 0) pageFirstShortcuts_.push_back(shortcut);
        }
    }
    installMenuBar(application_, menus, [this](MenuAction action) { perform(action); });
}

void GtkApplicationHost::perform(MenuAction action) {
    switch (action) {
    case MenuAction::terminate:
        requestQuit();
        return;
    case MenuAction::loadHome:
    case MenuAction::reloadPage:
    case MenuAction::openInBrowser:
        if (onAction_) onAction_(action);
        return;
    default:
        if (const char* command = editingCommand(action); command != nullptr && webView_) {
            webView_->executeEditingCommand(command);
        }
    }
}

std::shared_ptr<WebView> GtkApplicationHost::createWebView(const std::vector<std::string>& channels,
                                                           std::weak_ptr<WebViewDelegate> delegate,
                                                           const WebViewOptions& options) {
    if (webView_ && window_ != nullptr) {
        gtk_container_remove(GTK_CONTAINER(window_), webView_->widget());
    }
    if (!webViewFactory_) webViewFactory_ = std::make_unique<WebViewFactory>(options);
    webView_ = std::make_shared<GtkWebViewHost>(*webViewFactory_, channels, std::move(delegate),
                                                options.unresponsiveLimitSeconds);
    attachWebView();
    return webView_;
}

void GtkApplicationHost::attachWebView() {
    if (window_ == nullptr || !webView_) return;
    GtkWidget* widget = webView_->widget();
    if (gtk_widget_get_parent(widget) != nullptr) return;
    gtk_container_add(GTK_CONTAINER(window_), widget);
    gtk_widget_show(widget);
    gtk_widget_grab_focus(widget);
}

void GtkApplicationHost::createAndShowWindow(const WindowSpec& spec) {
    if (window_ == nullptr) {
        window_ = gtk_application_window_new(application_);
        g_signal_connect(window_, "delete-event", G_CALLBACK(onDeleteEvent), this);
        g_signal_connect(window_, "key-press-event", G_CALLBACK(onKeyPress), this);
        g_signal_connect(window_, "destroy", G_CALLBACK(onDestroy), this);
    }
    GtkWindow* window = GTK_WINDOW(window_);
    gtk_window_set_title(window, spec.title.c_str());
    if (spec.width > 0 && spec.height > 0) gtk_window_set_default_size(window, spec.width, spec.height);
    if (spec.minimumWidth > 0 || spec.minimumHeight > 0) {
        GdkGeometry geometry{};
        geometry.min_width = spec.minimumWidth;
        geometry.min_height = spec.minimumHeight;
        gtk_window_set_geometry_hints(window, nullptr, &geometry, GDK_HINT_MIN_SIZE);
    }
    gtk_window_set_position(window, GTK_WIN_POS_CENTER);
    // Drawn inside the window unless the desktop shows application menus itself.
    gtk_application_window_set_show_menubar(GTK_APPLICATION_WINDOW(window_), TRUE);
    attachWebView();
    gtk_widget_show_all(window_);
    gtk_window_present(window);
}

void GtkApplicationHost::presentWindow() {
    if (window_ != nullptr) gtk_window_present(GTK_WINDOW(window_));
}

void GtkApplicationHost::destroyWindow() {
    if (window_ == nullptr) return;
    GtkWidget* window = window_;
    g_signal_handlers_disconnect_by_data(window, this);
    window_ = nullptr;
    gtk_widget_destroy(window);
}

std::shared_ptr<Dialogs> GtkApplicationHost::dialogs() {
    if (!dialogs_) {
        dialogs_ = std::make_shared<GtkDialogs>([this] { return window_ != nullptr ? GTK_WINDOW(window_) : nullptr; });
    }
    return dialogs_;
}

void GtkApplicationHost::requestQuit() {
    if (quitSequence_) quitSequence_();
}

gboolean GtkApplicationHost::onDeleteEvent(GtkWidget*, GdkEvent*, gpointer data) {
    // Closing the one window quits; the window stays until the event loop has ended.
    static_cast<GtkApplicationHost*>(data)->requestQuit();
    return TRUE;
}

gboolean GtkApplicationHost::onKeyPress(GtkWidget* widget, GdkEventKey* event, gpointer data) {
    auto* self = static_cast<GtkApplicationHost*>(data);
    GtkWindow* window = GTK_WINDOW(widget);
    if (!self->webView_ || gtk_window_get_focus(window) != self->webView_->widget()) return FALSE;
    const auto modifiers = GdkModifierType(event->state & gtk_accelerator_get_default_mod_mask());
    const guint key = gdk_keyval_to_lower(event->keyval);
    for (const auto& shortcut : self->pageFirstShortcuts_) {
        // The web view takes the key to the page; when the page leaves it alone, WebKit sends it
        // back to the window, the web view lets it pass, and the menu's accelerator acts.
        if (key == shortcut.key && modifiers == shortcut.modifiers) return gtk_window_propagate_key_event(window, event);
    }
    return FALSE;
}

void GtkApplicationHost::onDestroy(GtkWidget*, gpointer data) {
    auto* self = static_cast<GtkApplicationHost*>(data);
    self->window_ = nullptr;
}

}  // namespace taviro::platform::gtk
