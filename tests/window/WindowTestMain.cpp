// The window tests run inside one real application: the host is set up the way the shell sets
// it up, then every test runs from the application's event loop. Quitting ends an application,
// so each way of quitting runs in a child process of this executable.

#include <csignal>
#include <gtest/gtest.h>

#include "platform/ApplicationRunner.h"
#include "platform/Paths.h"
#include "tests/support/TestSupport.h"
#include "tests/window/WindowHarness.h"

using namespace taviro;
using namespace taviro::test::window;

// Each child has this application's ID: without a session bus each must still run on its own.
class Quit : public testing::TestWithParam<const char*> {};
TEST_P(Quit, RunsTheQuitSequenceOnceAndReturnsZero) {
    auto run = test::runCaptured({"/usr/bin/timeout", "60", platform::executablePath()},
                                 {{"TAVIRO_WINDOW_TEST_QUIT", GetParam()}});
    EXPECT_EQ(run.out + std::to_string(run.status), "returned 0 after 1 quit sequence\n0") << run.err;
}
INSTANTIATE_TEST_SUITE_P(Routes, Quit, testing::Values("SIGTERM", "SIGINT", "SIGHUP", "menu", "close", "shutdown"),
                         [](const auto& info) { return std::string(info.param); });

static std::string route;  // in a child
static int testStatus = 1;

// From the event loop: every test, or the child's way of quitting. The menu and closing the
// window are followed by every other way, which must change nothing.
static void start(gpointer) {
    if (route.empty()) testStatus = RUN_ALL_TESTS(), harness.host->requestQuit();
    if (route.starts_with("SIG")) std::raise(route == "SIGTERM" ? SIGTERM : route == "SIGINT" ? SIGINT : SIGHUP);
    // The application ends without the shell asking.
    if (route == "shutdown") g_application_quit(g_application_get_default());
    if (route == "close") gtk_window_close(harness.window);
    if (route == "close" || route == "menu") {
        g_action_group_activate_action(G_ACTION_GROUP(g_application_get_default()), "terminate", nullptr);
        harness.host->requestQuit();
        gtk_window_close(harness.window);
    }
}

static void countStarts(WebKitWebView*, WebKitLoadEvent event) { harness.loadStarts += event == WEBKIT_LOAD_STARTED; }

int main(int argc, char** argv) {
    route = g_getenv("TAVIRO_WINDOW_TEST_QUIT") ?: "";
    testing::InitGoogleTest(&argc, argv);
    int terminations = 0;
    auto launch = [](platform::ApplicationHost& host) {
        harness.host = &host;
        // As the shell sets it up, but a hung page is ended after a second.
        harness.view = host.createWebView({"pathPicker", "updateChecker"}, harness.delegate, {!g_getenv("TAVIRO_DISABLE_WEB_SANDBOX"), 1});
        host.installMainMenu({{"Taviro", {{"Quit", platform::MenuAction::terminate, "<Primary>q"},
                                          {"Undo", platform::MenuAction::undo, "<Primary>z"}}}},
                             [](auto) {});
        host.createAndShowWindow({"Taviro", 1100, 760, 900, 600});
        harness.window = gtk_application_get_active_window(GTK_APPLICATION(g_application_get_default()));
        g_signal_connect(gtk_bin_get_child(GTK_BIN(harness.window)), "load-changed", G_CALLBACK(countStarts), nullptr);
        g_idle_add_once(start, nullptr);
    };
    int status = platform::runApplication("dev.taviro.WindowTests", argc, argv, {launch, [&] { ++terminations; }});
    harness.view.reset();
    // A child that did not launch on its own (its start forwarded elsewhere) quits no sequence.
    if (!route.empty()) std::printf("returned %d after %d quit sequence\n", status, terminations);
    return status == 0 && terminations == 1 ? (route.empty() ? testStatus : 0) : 1;
}
