// The window tests run inside one real application: the host is set up the way the shell sets
// it up, then every test runs from the application's event loop. Quitting ends that
// application, so everything about quitting runs in child processes (ChildScenarios.cpp).

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>

#include "platform/ApplicationRunner.h"
#include "tests/support/TestSupport.h"
#include "tests/window/WindowHarness.h"

using namespace taviro;
using namespace taviro::test::window;

int main(int argc, char** argv) {
    if (const char* scenario = std::getenv(kScenarioVariable)) return runScenario(scenario, argc, argv);

    testing::InitGoogleTest(&argc, argv);
    test::TempDir traceFolder;
    harness().tracePath = traceFolder / "webview-trace.log";
    ::setenv("TAVIRO_WEBVIEW_TRACE", harness().tracePath.c_str(), 1);

    int testStatus = 1;
    int terminations = 0;
    platform::ApplicationCallbacks callbacks;
    callbacks.didFinishLaunching = [&](platform::ApplicationHost& host) {
        auto& shared = harness();
        shared.host = &host;
        host.setRegularActivationPolicy();
        host.installMainMenu(testMenus(), [](platform::MenuAction action) { harness().menuActions.push_back(action); });
        shared.delegate = std::make_shared<RecordingDelegate>();
        shared.webView = host.createWebView(kChannels, shared.delegate);
        shared.spec = platform::WindowSpec{"Taviro", 1100, 760, 900, 600};
        host.createAndShowWindow(shared.spec);
        g_idle_add(
            [](gpointer data) -> gboolean {
                *static_cast<int*>(data) = RUN_ALL_TESTS();
                harness().host->requestQuit();
                return G_SOURCE_REMOVE;
            },
            &testStatus);
    };
    callbacks.willTerminate = [&] { ++terminations; };

    int status = platform::runApplication("dev.taviro.WindowTests", argc, argv, std::move(callbacks));
    harness().webView.reset();
    harness().delegate.reset();
    if (status != 0 || terminations != 1) {
        std::fprintf(stderr, "the test application ended with status %d after %d terminations\n", status,
                     terminations);
        return 1;
    }
    return testStatus;
}
