#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Dialogs.h"
#include "platform/WebView.h"

namespace taviro::platform {

enum class MenuAction { terminate, undo, redo, cut, copy, paste, deleteSelection, selectAll, loadHome, reloadPage, openInBrowser };

struct MenuItem {
    std::string title;  // empty for a separator
    MenuAction action = MenuAction::terminate;
    // GTK accelerator ("<Primary>q"); empty for none.
    std::string accelerator;
    bool isSeparator() const { return title.empty(); }
};

struct Menu {
    std::string title;
    std::vector<MenuItem> items;
};

struct WindowSpec {
    std::string title;
    int width = 0;
    int height = 0;
    int minimumWidth = 0;
    int minimumHeight = 0;
};

// The windowed application's platform side: menu bar, the one window and its web view. The
// delegate calls these from its launch sequence, on the main thread.
class ApplicationHost {
public:
    virtual ~ApplicationHost() = default;
    // A normal application with a window in the task switcher and a menu bar.
    virtual void setRegularActivationPolicy() = 0;
    // Installs `menus` as the menu bar. Editing actions act on the focused web content, quitting
    // runs the quit sequence, and the view actions go to `onAction`.
    virtual void installMainMenu(const std::vector<Menu>& menus, std::function<void(MenuAction)> onAction) = 0;
    // Creates the web view with `channels` registered as script-message handlers and page
    // scripts allowed to open windows. Reports go to `delegate` while it lives.
    virtual std::shared_ptr<WebView> createWebView(const std::vector<std::string>& channels,
                                                   std::weak_ptr<WebViewDelegate> delegate,
                                                   const WebViewOptions& options) = 0;
    // Creates the window around the web view, centred, and brings it to the front.
    virtual void createAndShowWindow(const WindowSpec& spec) = 0;
    // Ends the event loop after the quit sequence.
    virtual void requestQuit() = 0;
    // Panels and alerts: sheets on the window while it exists, application-modal otherwise.
    virtual std::shared_ptr<Dialogs> dialogs() = 0;
};

}  // namespace taviro::platform
