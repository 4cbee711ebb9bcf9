#pragma once

#include <functional>
#include <vector>

#include <gtk/gtk.h>

#include "platform/ApplicationHost.h"

namespace taviro::platform::gtk {

// The application action ("app.<name>") a menu item triggers.
const char* actionName(MenuAction action);

// Installs `menus` as the application's menu bar: one submenu per menu, separators split a
// submenu into sections, one application action per distinct item action, each with the item's
// accelerator. Activating an item calls `perform` with its action.
void installMenuBar(GtkApplication* application, const std::vector<Menu>& menus,
                    std::function<void(MenuAction)> perform);

}  // namespace taviro::platform::gtk
