#include <gtest/gtest.h>

#include "tests/window/WindowHarness.h"

namespace taviro::test::window {
namespace {

using platform::MenuAction;

struct Size {
    int width;
    int height;
    bool operator==(const Size&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Size& size) { return out << size.width << "x" << size.height; }

Size allocatedSize(GtkWindow* window) {
    return {gtk_widget_get_allocated_width(GTK_WIDGET(window)), gtk_widget_get_allocated_height(GTK_WIDGET(window))};
}

GdkRectangle monitorGeometry(GtkWindow* window) {
    GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(window));
    GdkMonitor* monitor = gdk_display_get_monitor_at_window(display, gtk_widget_get_window(GTK_WIDGET(window)));
    GdkRectangle geometry{};
    gdk_monitor_get_geometry(monitor, &geometry);
    return geometry;
}

void findMenuBar(GtkWidget* widget, gpointer data) {
    if (GTK_IS_MENU_BAR(widget)) *static_cast<GtkWidget**>(data) = widget;
}

GtkWidget* windowMenuBar() {
    GtkWidget* found = nullptr;
    // The menu bar of a GtkApplicationWindow is an internal child: only forall reaches it.
    gtk_container_forall(GTK_CONTAINER(mainWindow()), findMenuBar, &found);
    return found;
}

// label + detailed action of every item, section by section, menu by menu.
using Item = std::pair<std::string, std::string>;
using Section = std::vector<Item>;
using MenuModel = std::pair<std::string, std::vector<Section>>;

std::string stringAttribute(GMenuModel* model, int index, const char* name) {
    gchar* value = nullptr;
    if (!g_menu_model_get_item_attribute(model, index, name, "s", &value)) return {};
    std::string text = value;
    g_free(value);
    return text;
}

std::vector<MenuModel> installedMenuBar() {
    std::vector<MenuModel> menus;
    GMenuModel* bar = gtk_application_get_menubar(application());
    if (bar == nullptr) return menus;
    for (int i = 0; i < g_menu_model_get_n_items(bar); ++i) {
        MenuModel menu{stringAttribute(bar, i, G_MENU_ATTRIBUTE_LABEL), {}};
        GMenuModel* submenu = g_menu_model_get_item_link(bar, i, G_MENU_LINK_SUBMENU);
        if (submenu == nullptr) continue;
        for (int s = 0; s < g_menu_model_get_n_items(submenu); ++s) {
            GMenuModel* section = g_menu_model_get_item_link(submenu, s, G_MENU_LINK_SECTION);
            if (section == nullptr) continue;
            Section items;
            for (int k = 0; k < g_menu_model_get_n_items(section); ++k) {
                items.emplace_back(stringAttribute(section, k, G_MENU_ATTRIBUTE_LABEL),
                                   stringAttribute(section, k, G_MENU_ATTRIBUTE_ACTION));
            }
            menu.second.push_back(items);
            g_object_unref(section);
        }
        g_object_unref(submenu);
        menus.push_back(menu);
    }
    return menus;
}

// What the key event for `accelerator` looks like to GTK: key value and modifiers.
std::pair<guint, GdkModifierType> parsedAccelerator(const std::string& accelerator) {
    guint key = 0;
    GdkModifierType modifiers = GdkModifierType(0);
    gtk_accelerator_parse(accelerator.c_str(), &key, &modifiers);
    return {key, modifiers};
}

std::vector<std::string> acceleratorsFor(const std::string& detailedAction) {
    std::vector<std::string> result;
    gchar** accels = gtk_application_get_accels_for_action(application(), detailedAction.c_str());
    for (gchar** each = accels; each != nullptr && *each != nullptr; ++each) result.emplace_back(*each);
    g_strfreev(accels);
    return result;
}

void pressKey(guint keyval, GdkModifierType modifiers) {
    GtkWidget* window = GTK_WIDGET(mainWindow());
    GdkDisplay* display = gtk_widget_get_display(window);
    GdkKeymapKey* keys = nullptr;
    gint keyCount = 0;
    gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(display), keyval, &keys, &keyCount);
    GdkEvent* event = gdk_event_new(GDK_KEY_PRESS);
    event->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(window)));
    event->key.send_event = TRUE;
    event->key.time = GDK_CURRENT_TIME;
    event->key.keyval = keyval;
    event->key.state = modifiers;
    event->key.hardware_keycode = keyCount > 0 ? keys[0].keycode : 0;
    gdk_event_set_device(event, gdk_seat_get_keyboard(gdk_display_get_default_seat(display)));
    g_free(keys);
    gtk_main_do_event(event);
    gdk_event_free(event);
}

TEST(Window, HasItsTitleAndDefaultSizeAndIsCentred) {
    GtkWindow* window = mainWindow();
    ASSERT_NE(window, nullptr);
    const auto& spec = harness().spec;
    EXPECT_STREQ(gtk_window_get_title(window), "Taviro");
    int defaultWidth = 0, defaultHeight = 0;
    gtk_window_get_default_size(window, &defaultWidth, &defaultHeight);
    EXPECT_EQ((Size{defaultWidth, defaultHeight}), (Size{spec.width, spec.height}));

    Size expected{spec.width, spec.height};
    ASSERT_TRUE(waitUntil([&] {
        return gtk_widget_get_mapped(GTK_WIDGET(window)) && allocatedSize(window) == expected;
    })) << allocatedSize(window);

    GdkRectangle screen = monitorGeometry(window);
    int x = 0, y = 0;
    ASSERT_TRUE(waitUntil([&] {
        gdk_window_get_origin(gtk_widget_get_window(GTK_WIDGET(window)), &x, &y);
        return x > 0 && y > 0;
    }));
    EXPECT_NEAR(x, screen.x + (screen.width - spec.width) / 2, 2);
    EXPECT_NEAR(y, screen.y + (screen.height - spec.height) / 2, 2);
    EXPECT_NE(webKitView(), nullptr) << "the web view is the window's only child";
}

TEST(Window, DoesNotShrinkBelowTheMinimumSize) {
    GtkWindow* window = mainWindow();
    const auto& spec = harness().spec;
    gtk_window_resize(window, 300, 200);
    Size minimum{spec.minimumWidth, spec.minimumHeight};
    EXPECT_TRUE(waitUntil([&] { return allocatedSize(window) == minimum; }, 10)) << allocatedSize(window);
    spin(0.3);
    EXPECT_EQ(allocatedSize(window), minimum);

    gtk_window_resize(window, spec.width, spec.height);
    Size full{spec.width, spec.height};
    EXPECT_TRUE(waitUntil([&] { return allocatedSize(window) == full; }, 10)) << allocatedSize(window);
}

TEST(Window, DrawsTheMenuBarInsideTheWindow) {
    EXPECT_TRUE(gtk_application_window_get_show_menubar(GTK_APPLICATION_WINDOW(mainWindow())));
    GtkWidget* menuBar = windowMenuBar();
    ASSERT_NE(menuBar, nullptr);
    EXPECT_TRUE(waitUntil([&] { return gtk_widget_get_mapped(menuBar); }));
    EXPECT_GT(gtk_widget_get_allocated_height(menuBar), 0);

    std::vector<std::string> titles;
    GList* children = gtk_container_get_children(GTK_CONTAINER(menuBar));
    for (GList* each = children; each != nullptr; each = each->next) {
        if (GTK_IS_MENU_ITEM(each->data)) titles.emplace_back(gtk_menu_item_get_label(GTK_MENU_ITEM(each->data)));
    }
    g_list_free(children);
    EXPECT_EQ(titles, (std::vector<std::string>{"Taviro", "Edit", "View"}));
}

TEST(MenuBar, HasOneSubmenuPerMenuWithSeparatorsMakingSections) {
    std::vector<MenuModel> expected = {
        {"Taviro", {{{"Quit Taviro", "app.terminate"}}}},
        {"Edit",
         {{{"Undo", "app.undo"}, {"Redo", "app.redo"}},
          {{"Cut", "app.cut"},
           {"Copy", "app.copy"},
           {"Paste", "app.paste"},
           {"Delete", "app.deleteSelection"},
           {"Select All", "app.selectAll"}}}},
        {"View",
         {{{"Home", "app.loadHome"}, {"Reload", "app.reloadPage"}}, {{"Open in Browser", "app.openInBrowser"}}}},
    };
    EXPECT_EQ(installedMenuBar(), expected);
}

TEST(MenuBar, EveryItemHasItsActionAndAccelerator) {
    struct Expectation {
        const char* action;
        const char* accelerator;
    };
    const Expectation expectations[] = {
        {"terminate", "<Primary>q"}, {"undo", "<Primary>z"},      {"redo", "<Primary><Shift>z"},
        {"cut", "<Primary>x"},       {"copy", "<Primary>c"},      {"paste", "<Primary>v"},
        {"deleteSelection", ""},     {"selectAll", "<Primary>a"}, {"loadHome", "<Primary><Shift>h"},
        {"reloadPage", "<Primary>r"}, {"openInBrowser", ""},
    };
    for (const auto& expectation : expectations) {
        SCOPED_TRACE(expectation.action);
        EXPECT_TRUE(g_action_group_has_action(G_ACTION_GROUP(application()), expectation.action));
        auto accels = acceleratorsFor(std::string("app.") + expectation.action);
        if (*expectation.accelerator == '\0') {
            EXPECT_TRUE(accels.empty());
            continue;
        }
        ASSERT_EQ(accels.size(), 1u);
        EXPECT_EQ(parsedAccelerator(accels[0]), parsedAccelerator(expectation.accelerator)) << accels[0];
    }
}

TEST(MenuBar, ViewActionsGoToTheOwner) {
    harness().menuActions.clear();
    for (const char* action : {"loadHome", "reloadPage", "openInBrowser"}) {
        g_action_group_activate_action(G_ACTION_GROUP(application()), action, nullptr);
    }
    EXPECT_EQ(harness().menuActions,
              (std::vector<MenuAction>{MenuAction::loadHome, MenuAction::reloadPage, MenuAction::openInBrowser}));
}

TEST(MenuBar, AcceleratorKeysTriggerTheirActions) {
    harness().menuActions.clear();
    pressKey(GDK_KEY_r, GDK_CONTROL_MASK);
    pressKey(GDK_KEY_H, GdkModifierType(GDK_CONTROL_MASK | GDK_SHIFT_MASK));
    EXPECT_TRUE(waitUntil([] { return harness().menuActions.size() >= 2; }, 5));
    EXPECT_EQ(harness().menuActions, (std::vector<MenuAction>{MenuAction::reloadPage, MenuAction::loadHome}));
}

TEST(MenuBar, EditingActionsActOnThePage) {
    loadHTMLAndWait("<!doctype html><input id=field value='hello world'>");
    auto value = [] { return evaluate("document.getElementById('field').value"); };
    auto activate = [](const char* action) {
        g_action_group_activate_action(G_ACTION_GROUP(application()), action, nullptr);
    };
    ASSERT_EQ(evaluate("document.getElementById('field').focus(); document.activeElement.id"), "field");

    activate("selectAll");
    activate("deleteSelection");
    EXPECT_TRUE(waitUntil([&] { return value().empty(); }, 10)) << value();
    activate("undo");
    EXPECT_TRUE(waitUntil([&] { return value() == "hello world"; }, 10)) << value();
    activate("redo");
    EXPECT_TRUE(waitUntil([&] { return value().empty(); }, 10)) << value();
    activate("undo");
    EXPECT_TRUE(waitUntil([&] { return value() == "hello world"; }, 10)) << value();

    activate("selectAll");
    activate("cut");
    EXPECT_TRUE(waitUntil([&] { return value().empty(); }, 10)) << value();
    activate("paste");
    EXPECT_TRUE(waitUntil([&] { return value() == "hello world"; }, 10)) << value();
    activate("selectAll");
    activate("copy");
    EXPECT_EQ(evaluate("(() => { const f = document.getElementById('field'); "
                       "f.setSelectionRange(f.value.length, f.value.length); return f.selectionStart; })()"),
              "11");
    activate("paste");
    EXPECT_TRUE(waitUntil([&] { return value() == "hello worldhello world"; }, 10)) << value();
}

}  // namespace
}  // namespace taviro::test::window
