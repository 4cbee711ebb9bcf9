#include "platform/linux/gtk/GtkMenuBar.h"

#include <cstdio>
#include <memory>
#include <string>

namespace taviro::platform::gtk {
namespace {

struct ActionBinding {
    std::shared_ptr<std::function<void(MenuAction)>> perform;
    MenuAction action;
};

void activated(GSimpleAction*, GVariant*, gpointer data) {
    auto* binding = static_cast<ActionBinding*>(data);
    // Copied first: the callback may install a new menu, which drops this binding.
    auto perform = binding->perform;
    (*perform)(binding->action);
}

void releaseBinding(gpointer data, GClosure*) { delete static_cast<ActionBinding*>(data); }

void addAction(GtkApplication* application, MenuAction action,
               const std::shared_ptr<std::function<void(MenuAction)>>& perform) {
    GSimpleAction* simple = g_simple_action_new(actionName(action), nullptr);
    g_signal_connect_data(simple, "activate", G_CALLBACK(activated), new ActionBinding{perform, action},
                          releaseBinding, GConnectFlags(0));
    // Several items may share an action; the last one added stands.
    g_action_map_add_action(G_ACTION_MAP(application), G_ACTION(simple));
    g_object_unref(simple);
}

constexpr MenuAction kAllActions[] = {
    MenuAction::terminate, MenuAction::undo,      MenuAction::redo,       MenuAction::cut,
    MenuAction::copy,      MenuAction::paste,     MenuAction::deleteSelection,
    MenuAction::selectAll, MenuAction::loadHome,  MenuAction::reloadPage, MenuAction::openInBrowser,
};

// A menu installed again starts from nothing: no action or shortcut of the earlier one stays.
void removeEarlierMenu(GtkApplication* application) {
    const gchar* none[] = {nullptr};
    for (MenuAction action : kAllActions) {
        g_action_map_remove_action(G_ACTION_MAP(application), actionName(action));
        std::string detailed = std::string("app.") + actionName(action);
        gtk_application_set_accels_for_action(application, detailed.c_str(), none);
    }
}

void setAccelerator(GtkApplication* application, MenuAction action, const std::string& accelerator) {
    if (accelerator.empty()) return;
    std::string detailed = std::string("app.") + actionName(action);
    guint key = 0;
    GdkModifierType modifiers = GdkModifierType(0);
    gtk_accelerator_parse(accelerator.c_str(), &key, &modifiers);
    if (key == 0) {
        std::fprintf(stderr, "Taviro: ignoring the unreadable accelerator %s\n", accelerator.c_str());
        return;
    }
    const gchar* accels[] = {accelerator.c_str(), nullptr};
    gtk_application_set_accels_for_action(application, detailed.c_str(), accels);
}

void appendSection(GMenu* submenu, GMenu*& section) {
    if (g_menu_model_get_n_items(G_MENU_MODEL(section)) > 0) {
        g_menu_append_section(submenu, nullptr, G_MENU_MODEL(section));
    }
    g_object_unref(section);
    section = g_menu_new();
}

}  // namespace

const char* actionName(MenuAction action) {
    switch (action) {
    case MenuAction::terminate: return "terminate";
    case MenuAction::undo: return "undo";
    case MenuAction::redo: return "redo";
    case MenuAction::cut: return "cut";
    case MenuAction::copy: return "copy";
    case MenuAction::paste: return "paste";
    case MenuAction::deleteSelection: return "deleteSelection";
    case MenuAction::selectAll: return "selectAll";
    case MenuAction::loadHome: return "loadHome";
    case MenuAction::reloadPage: return "reloadPage";
    case MenuAction::openInBrowser: return "openInBrowser";
    }
    return "terminate";
}

void installMenuBar(GtkApplication* application, const std::vector<Menu>& menus,
                    std::function<void(MenuAction)> perform) {
    removeEarlierMenu(application);
    auto shared = std::make_shared<std::function<void(MenuAction)>>(std::move(perform));
    GMenu* bar = g_menu_new();
    for (const auto& menu : menus) {
        GMenu* submenu = g_menu_new();
        GMenu* section = g_menu_new();
        for (const auto& item : menu.items) {
            if (item.isSeparator()) {
                appendSection(submenu, section);
                continue;
            }
            std::string detailed = std::string("app.") + actionName(item.action);
            g_menu_append(section, item.title.c_str(), detailed.c_str());
            addAction(application, item.action, shared);
            setAccelerator(application, item.action, item.accelerator);
        }
        appendSection(submenu, section);
        g_object_unref(section);
        g_menu_append_submenu(bar, menu.title.c_str(), G_MENU_MODEL(submenu));
        g_object_unref(submenu);
    }
    gtk_application_set_menubar(application, G_MENU_MODEL(bar));
    g_object_unref(bar);
}

}  // namespace taviro::platform::gtk
