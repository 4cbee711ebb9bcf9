#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <gtk/gtk.h>

#include "platform/ApplicationHost.h"
#include "platform/linux/gtk/GtkDialogs.h"
#include "platform/linux/gtk/GtkWebViewHost.h"

namespace taviro::platform::gtk {

// The application's menu bar, its one window and that window's web view.
class GtkApplicationHost final : public ApplicationHost {
public:
    // `quitSequence` ends the application (the termination callback, then the event loop).
    GtkApplicationHost(GtkApplication* application, std::function<void()> quitSequence);
    ~GtkApplicationHost() override;
    GtkApplicationHost(const GtkApplicationHost&) = delete;
    GtkApplicationHost& operator=(const GtkApplicationHost&) = delete;

    void setRegularActivationPolicy() override;
    void installMainMenu(const std::vector<Menu>& menus, std::function<void(MenuAction)> onAction) override;
    std::shared_ptr<WebView> createWebView(const std::vector<std::string>& channels,
                                           std::weak_ptr<WebViewDelegate> delegate,
                                           const WebViewOptions& options) override;
    void createAndShowWindow(const WindowSpec& spec) override;
    void requestQuit() override;
    std::shared_ptr<Dialogs> dialogs() override;

    // A later start of the application brings the window forward.
    void presentWindow();
    void destroyWindow();

private:
    void perform(MenuAction action);
    void attachWebView();
    static gboolean onDeleteEvent(GtkWidget*, GdkEvent*, gpointer);
    static gboolean onKeyPress(GtkWidget*, GdkEventKey*, gpointer);
    static void onDestroy(GtkWidget*, gpointer);

    GtkApplication* application_;
    std::function<void()> quitSequence_;
    std::function<void(MenuAction)> onAction_;
    // Made with the first view, whose options set it up; later views share it.
    std::unique_ptr<WebViewFactory> webViewFactory_;
    std::shared_ptr<GtkWebViewHost> webView_;
    std::shared_ptr<GtkDialogs> dialogs_;
    GtkWidget* window_ = nullptr;

    struct Shortcut {
        guint key;
        GdkModifierType modifiers;
    };
    // The editing actions' shortcuts: the focused page sees them before the menu does.
    std::vector<Shortcut> pageFirstShortcuts_;
};

}  // namespace taviro::platform::gtk
