// The window tests run inside one real application: the host is set up the way the shell sets
// it up, then every test runs from the application's event loop. Quitting ends an application,
// so each way of quitting runs in a child process of this executable.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>

#include "platform/ApplicationRunner.h"
#include "platform/Paths.h"
#include "tests/support/TestSupport.h"
#include "tests/window/WindowHarness.h"

using namespace taviro;
using namespace taviro::test::window;

namespace {

// A child application quits this way; the shell's own ways are followed by all the others,
// which must change nothing.
std::string quitRoute;

gboolean quit(gpointer) {
    GApplication* application = g_application_get_default();
    if (quitRoute.starts_with("SIG")) {
        std::raise(quitRoute == "SIGTERM" ? SIGTERM : quitRoute == "SIGINT" ? SIGINT : SIGHUP);
    } else if (quitRoute == "shutdown") {
        g_application_quit(application);  // the application ends without the shell asking
    } else {
        if (quitRoute == "close") gtk_window_close(harness.window);
        if (quitRoute == "request") harness.host->requestQuit();
        g_action_group_activate_action(G_ACTION_GROUP(application), "terminate", nullptr);
        harness.host->requestQuit();
        gtk_window_close(harness.window);
    }
    return G_SOURCE_REMOVE;
}

// Each way of quitting, in a child application beside this one and with its application ID.
class Quit : public testing::TestWithParam<const char*> {};

TEST_P(Quit, RunsTheQuitSequenceOnceAndReturnsZero) {
    auto run = test::runCaptured({"/usr/bin/timeout", "60", platform::executablePath()},
                                 {{"TAVIRO_WINDOW_TEST_QUIT", GetParam()}});
    EXPECT_EQ(run.out, "returned 0 after 1 quit sequence\n") << run.err;
    EXPECT_EQ(run.status, 0) << run.err;
}

INSTANTIATE_TEST_SUITE_P(Routes, Quit,
                         testing::Values("SIGTERM", "SIGINT", "SIGHUP", "menu", "close", "request", "shutdown"),
                         [](const auto& info) { return std::string(info.param); });

gboolean runTests(gpointer status) {
    *static_cast<int*>(status) = RUN_ALL_TESTS();
    harness.host->requestQuit();
    return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
    const char* route = std::getenv("TAVIRO_WINDOW_TEST_QUIT");
    quitRoute = route != nullptr ? route : "";
    testing::InitGoogleTest(&argc, argv);
    int testStatus = 1;
    int terminations = 0;
    platform::ApplicationCallbacks callbacks;
    callbacks.didFinishLaunching = [&](platform::ApplicationHost& host) {
        harness.host = &host;
        harness.delegate = std::make_shared<RecordingDelegate>();
        harness.view = host.createWebView({"pathPicker", "updateChecker", "featurePackRollback"}, harness.delegate);
        host.installMainMenu({{"Taviro", {{"Quit", platform::MenuAction::terminate, "<Primary>q"}}}}, [](auto) {});
        host.createAndShowWindow({"Taviro", 1100, 760, 900, 600});
        harness.window = gtk_application_get_active_window(GTK_APPLICATION(g_application_get_default()));
        auto started = +[](WebKitWebView*, WebKitLoadEvent event, gpointer) {
            harness.loadStarts += event == WEBKIT_LOAD_STARTED;
        };
        g_signal_connect(gtk_bin_get_child(GTK_BIN(harness.window)), "load-changed", G_CALLBACK(started), nullptr);
        g_idle_add(quitRoute.empty() ? runTests : quit, &testStatus);
    };
    callbacks.willTerminate = [&] { ++terminations; };
    // The children use this application's ID: without a session bus each must run on its own.
    int status = platform::runApplication("dev.taviro.WindowTests", argc, argv, std::move(callbacks));
    harness.view.reset();
    // A child that did not launch on its own (its start forwarded elsewhere) quits no sequence.
    if (!quitRoute.empty()) std::printf("returned %d after %d quit sequence\n", status, terminations);
    return status == 0 && terminations == 1 ? (quitRoute.empty() ? testStatus : 0) : 1;
}
