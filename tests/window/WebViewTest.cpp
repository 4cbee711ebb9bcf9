#include <gtest/gtest.h>

#include "bridge/NavigationPolicy.h"
#include "platform/linux/gtk/WebKitLoadError.h"
#include "tests/support/TestSupport.h"
#include "tests/window/WindowHarness.h"

using namespace taviro;
using namespace taviro::test::window;

// Every test starts each of its cases on a loaded page with a fresh delegate, beside an HTTP
// server on 127.0.0.1 served from the main loop: an empty page for every path except those
// under /silent, which get no answer at all, /stalled, a page with an image under /silent, and
// /export.zip, a file the view cannot show.
class WebView : public testing::Test {
protected:
    void SetUp() override {
        auto handler = [](SoupServer*, SoupServerMessage* message, const char* path, GHashTable*, gpointer) {
            if (g_str_has_prefix(path, "/silent")) return soup_server_message_pause(message);
            std::string_view page = g_str_has_prefix(path, "/stalled") ? "<img src=/silent/image>" : "<!doctype html>";
            const char* type = g_str_has_suffix(path, ".zip") ? "application/zip" : "text/html";
            if (g_str_has_suffix(path, ".zip")) page = "PK\5\6 an empty archive";
            soup_server_message_set_status(message, 200, nullptr);
            soup_server_message_set_response(message, type, SOUP_MEMORY_STATIC, page.data(), page.size());
        };
        soup_server_add_handler(server, nullptr, handler, nullptr, nullptr);
        soup_server_listen_local(server, 0, SOUP_SERVER_LISTEN_IPV4_ONLY, nullptr);
        GSList* uris = soup_server_get_uris(server);
        origin = "http://127.0.0.1:" + std::to_string(g_uri_get_port(static_cast<GUri*>(uris->data)));
        g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
    }
    void TearDown() override { soup_server_disconnect(server), g_object_unref(server); }

    // Loads `html`, waits for its finish, and starts afresh.
    void startOn(const std::string& html) {
        *harness.delegate = RecordingDelegate();
        view.loadHTMLString(html);
        ASSERT_TRUE(test::runMainLoopUntil([&] { return !events.empty() && events.back() == "finish"; }));
        events.clear(), harness.loadStarts = 0;
    }

    std::vector<std::string>& events = harness.delegate->events;
    platform::WebView& view = *harness.view;
    SoupServer* server = soup_server_new(nullptr, nullptr);
    std::string origin;
};

// What the owner hears of a load with a time limit, and of what follows once it started: a page
// from a string, or another load. What it hears of the page's own new-window navigations, which
// load in this view or nowhere, and of its messages, which only registered channels carry.
// Each case is watched for longer than its time limits, so that a limit left running would show.
TEST_F(WebView, TellsTheOwnerWhatHappened) {
    struct Case { std::string path; double limit; std::string then; std::vector<std::string> heard; };
    Case cases[] = {
        {"/silent", 0.001, "", {"timeout"}},  // a limit shorter than the load's start
        {"/silent", 30, "html", {"cancelled", "finish"}},
        {"/silent", 0.6, "/page", {"finish"}},         // the new load ends the earlier limit
        {"/silent/1", 0.6, "/silent/2", {"timeout"}},  // and keeps its own
        {"/stalled", 0.6, "", {}},  // the limit is the page's own answer's, not its images
        {"", 0, "Object.assign(document.createElement('a'), {href: '" + origin + "/new-window', target: '_blank'})"
                ".click()",
         {"ask " + origin + "/new-window", "finish"}},
        {"", 0, "window.open('" + origin + "/refused-window')", {"ask " + origin + "/refused-window"}},
        {"", 0, "for (const name of ['pathPicker', 'somethingElse', 'updateChecker'])"
                "  try { webkit.messageHandlers[name].postMessage([name, 2.5, null, '选择']); } catch (e) {}",
         {R"(pathPicker ["pathPicker",2.5,null,"选择"])", R"(updateChecker ["updateChecker",2.5,null,"选择"])"}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.path + " " + c.then);
        startOn("<!doctype html>");
        if (!c.path.empty()) view.loadRequest(origin + c.path, c.limit);
        ASSERT_TRUE(c.path.empty() || c.then.empty() || test::runMainLoopUntil([] { return harness.loadStarts > 0; }));
        if (c.then == "html") view.loadHTMLString("<!doctype html>");
        if (c.then.starts_with("/")) view.loadRequest(origin + c.then, c.limit);
        if (c.path.empty()) view.evaluateJavaScript(c.then);
        test::runMainLoopFor(1.5);
        // The owner's answers to its own loads aside; a load replaced around its start may or may not
        // report a cancellation.
        std::erase_if(events, [&](auto& e) {
            return (!c.path.empty() && e.starts_with("ask ")) || (c.then[0] == '/' && e == "cancelled");
        });
        EXPECT_EQ(events, c.heard);
    }
    EXPECT_EQ(g_list_length(gtk_application_get_windows(GTK_APPLICATION(g_application_get_default()))), 1u);
}

// A file input's request is always answered: with the owner's files or with its cancellation. The
// page reports what it got.
TEST_F(WebView, FileInputsGetAnAnswer) {
    startOn("<!doctype html><input type=file id=many multiple><input type=file id=one><script>"
            "const tell = text => webkit.messageHandlers.pathPicker.postMessage(text);"
            "many.onchange = () => tell([...many.files].map(f => f.name).join());"
            "one.oncancel = () => tell('cancel');</script>");
    std::vector<std::function<void(RecordingDelegate::Files)>> asked;
    harness.delegate->openPanel = [&](auto answer) { return asked.push_back(std::move(answer)), true; };
    // Answered later, from the event loop, as a dialog would.
    auto click = [&](const std::string& input, const std::function<void()>& answer) {
        view.evaluateJavaScript(input + ".click()");
        ASSERT_TRUE(test::runMainLoopUntil([&] { return asked.size() > events.size(); }));
        test::runMainLoopFor(0.2), answer();
        ASSERT_TRUE(test::runMainLoopUntil([&] { return events.size() == asked.size(); }));
    };
    click("many", [&] { asked[0](std::vector<std::filesystem::path>{"/etc/hostname", "/etc/passwd"}); });
    click("one", [&] { asked[1](std::nullopt); });
    EXPECT_EQ(events, (std::vector<std::string>{R"(pathPicker "hostname,passwd")", R"(pathPicker "cancel")"}));
}

// A key as the display would send it, to the window.
static void pressKey(guint key, GdkModifierType modifiers) {
    GdkWindow* window = gtk_widget_get_window(GTK_WIDGET(harness.window));
    GdkDisplay* display = gdk_window_get_display(window);
    g_autofree GdkKeymapKey* keys = nullptr;
    gint count = 0;
    ASSERT_TRUE(gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(display), key, &keys, &count));
    for (GdkEventType type : {GDK_KEY_PRESS, GDK_KEY_RELEASE}) {
        GdkEvent* event = gdk_event_new(type);
        event->key = {type, GDK_WINDOW(g_object_ref(window)), FALSE, GDK_CURRENT_TIME, modifiers, key,
                      0, nullptr, static_cast<guint16>(keys[0].keycode), 0, 0};
        gdk_event_set_device(event, gdk_seat_get_keyboard(gdk_display_get_default_seat(display)));
        gtk_main_do_event(event), gdk_event_free(event);
    }
}

// The page sees an editing shortcut before the menu's accelerator does, so a page that handles
// Ctrl+Z itself gets it.
TEST_F(WebView, EditingShortcutsReachThePageFirst) {
    startOn("<!doctype html><script>addEventListener('keydown', e => { if (e.ctrlKey && e.key == 'z') {"
            "e.preventDefault(); webkit.messageHandlers.pathPicker.postMessage('page undo'); } });</script>");
    pressKey(GDK_KEY_z, GDK_CONTROL_MASK);
    ASSERT_TRUE(test::runMainLoopUntil([&] { return !events.empty(); }, 5));
    EXPECT_EQ(events, std::vector<std::string>{R"(pathPicker "page undo")"});
}

// What the owner hears when the web process is ended for not answering a person's key (a killed
// one is seen end to end), and of a file the view cannot show: asked where to save it, it is
// whole there or nowhere at all. (Its context keeping no site data is checked end to end.)
TEST_F(WebView, WebProcessEventsReachTheOwner) {
    test::TempDir folder;
    const std::string saved = (folder / "saved.zip").string();
    struct Case { std::string action; std::optional<std::filesystem::path> saveAs; std::vector<std::string> heard; };
    Case cases[] = {
        {"while (true) {}", {}, {"terminated 2"}},  // ended after the limit
        {"location = '/export.zip'", std::nullopt, {"ask /export.zip", "download export.zip"}},
        {"location = '/export.zip'", saved, {"ask /export.zip", "download export.zip", "saved " + saved}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.action + (c.saveAs ? " saved" : ""));
        startOn("<!doctype html>");
        harness.delegate->saveAs = c.saveAs;
        view.loadRequest(origin + "/page", 10);
        ASSERT_TRUE(test::runMainLoopUntil([&] { return !events.empty() && events.back() == "finish"; }));
        events.clear();
        view.evaluateJavaScript(c.action);
        test::runMainLoopFor(0.5), pressKey(GDK_KEY_a, GdkModifierType(0));
        // The load turned into a download is reported interrupted, before or after the download.
        auto heard = [&] { return events.size() - std::count(events.begin(), events.end(), "cancelled"); };
        test::runMainLoopUntil([&] { return heard() >= c.heard.size(); }, 8), test::runMainLoopFor(0.5);
        std::erase(events, "cancelled");
        for (auto& e : events) {
            if (e.starts_with("ask ")) e = "ask " + e.substr(4 + origin.size());
        }
        EXPECT_EQ(events, c.heard);
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1);
    EXPECT_EQ(test::readFile(saved), "PK\5\6 an empty archive");
    // A media file the view plays itself hands its load over: no failure of the service.
    g_autoptr(GError) media = g_error_new_literal(WEBKIT_PLUGIN_ERROR, WEBKIT_PLUGIN_ERROR_WILL_HANDLE_LOAD, "");
    EXPECT_TRUE(shouldIgnoreNavigationFailure(platform::gtk::loadErrorFromGError(media)));
}
