// What the test binary does when started as a child by the quitting and uniqueness tests. Each
// scenario reports on standard output, one line per event, so the parent can follow it.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/ApplicationRunner.h"
#include "tests/window/WindowHarness.h"

namespace taviro::test::window {
namespace {

void report(const std::string& line) {
    std::string text = line + "\n";
    (void)!::write(STDOUT_FILENO, text.data(), text.size());
}

void showWindow(platform::ApplicationHost& host, const std::string& title) {
    host.installMainMenu(testMenus(), [](platform::MenuAction) {});
    host.createAndShowWindow(platform::WindowSpec{title, 480, 320, 240, 160});
}

// Runs `step` once the event loop is running.
void later(std::function<void()> step) {
    auto* held = new std::function<void()>(std::move(step));
    g_idle_add_full(
        G_PRIORITY_DEFAULT_IDLE,
        [](gpointer data) -> gboolean {
            (*static_cast<std::function<void()>*>(data))();
            return G_SOURCE_REMOVE;
        },
        held, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

// What the window manager's close button amounts to: a delete event for the window.
void closeWindow(GtkWindow* window) {
    GdkEvent* event = gdk_event_new(GDK_DELETE);
    event->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(GTK_WIDGET(window))));
    event->any.send_event = TRUE;
    gtk_main_do_event(event);
    gdk_event_free(event);
}

int runAndReport(const std::string& applicationID, int argc, char** argv, platform::ApplicationCallbacks callbacks) {
    int status = platform::runApplication(applicationID, argc, argv, std::move(callbacks));
    report("returned " + std::to_string(status));
    return status;
}

// Waits for a signal from the parent.
int signalScenario(int argc, char** argv) {
    platform::ApplicationCallbacks callbacks;
    callbacks.didFinishLaunching = [](platform::ApplicationHost& host) {
        showWindow(host, "Taviro signal");
        later([] { report("launched"); });
    };
    callbacks.willTerminate = [] { report("willTerminate"); };
    return runAndReport("dev.taviro.WindowTests.Signal", argc, argv, std::move(callbacks));
}

// Quits one way, then asks every other way as well: the quit sequence runs once.
int quitScenario(const std::string& how, int argc, char** argv) {
    platform::ApplicationCallbacks callbacks;
    callbacks.didFinishLaunching = [how](platform::ApplicationHost& host) {
        showWindow(host, "Taviro quit");
        later([how, &host] {
            report("launched");
            GApplication* app = g_application_get_default();
            if (how == "menu") {
                g_action_group_activate_action(G_ACTION_GROUP(app), "terminate", nullptr);
            } else if (how == "close") {
                closeWindow(gtk_application_get_active_window(GTK_APPLICATION(app)));
            } else if (how == "request") {
                host.requestQuit();
            } else if (how == "shutdown") {
                // Not one of the shell's own ways: the application just ends.
                g_application_quit(app);
                return;
            }
            g_action_group_activate_action(G_ACTION_GROUP(app), "terminate", nullptr);
            host.requestQuit();
            if (GtkWindow* window = gtk_application_get_active_window(GTK_APPLICATION(app))) closeWindow(window);
        });
    };
    callbacks.willTerminate = [] { report("willTerminate"); };
    return runAndReport("dev.taviro.WindowTests.Quit", argc, argv, std::move(callbacks));
}

constexpr const char* kUniqueID = "dev.taviro.WindowTests.Unique";

// The first instance on a session bus starts the second one and watches what happens.
int uniquePrimaryScenario(int argc, char** argv) {
    struct Watch {
        int activations = 0;
        bool secondExited = false;
        platform::ApplicationHost* host = nullptr;
        void maybeQuit() {
            if (activations > 0 && secondExited) host->requestQuit();
        }
    };
    static Watch watch;
    platform::ApplicationCallbacks callbacks;
    callbacks.didFinishLaunching = [](platform::ApplicationHost& host) {
        watch.host = &host;
        report("primary launched");
        showWindow(host, "Taviro primary");
        g_signal_connect(g_application_get_default(), "activate", G_CALLBACK(+[](GApplication*, gpointer) {
                             report("primary activated again");
                             ++watch.activations;
                             watch.maybeQuit();
                         }),
                         nullptr);
        char executable[4096];
        ssize_t length = ::readlink("/proc/self/exe", executable, sizeof executable - 1);
        executable[length > 0 ? length : 0] = '\0';
        char* argv[] = {executable, nullptr};
        gchar** environment = g_environ_setenv(g_get_environ(), kScenarioVariable, "unique-second", TRUE);
        GPid pid = 0;
        GError* error = nullptr;
        if (!g_spawn_async(nullptr, argv, environment, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid, &error)) {
            report(std::string("spawn failed: ") + error->message);
            g_clear_error(&error);
            host.requestQuit();
        } else {
            g_child_watch_add(
                pid,
                [](GPid child, gint status, gpointer) {
                    g_spawn_close_pid(child);
                    report("second exited " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1));
                    watch.secondExited = true;
                    watch.maybeQuit();
                },
                nullptr);
        }
        g_strfreev(environment);
        g_timeout_add_seconds(
            30,
            [](gpointer) -> gboolean {
                report("gave up waiting");
                watch.host->requestQuit();
                return G_SOURCE_REMOVE;
            },
            nullptr);
    };
    callbacks.willTerminate = [] { report("primary willTerminate"); };
    int status = platform::runApplication(kUniqueID, argc, argv, std::move(callbacks));
    report("primary returned " + std::to_string(status));
    return status;
}

int uniqueSecondScenario(int argc, char** argv) {
    platform::ApplicationCallbacks callbacks;
    callbacks.didFinishLaunching = [](platform::ApplicationHost& host) {
        report("second launched");
        host.requestQuit();
    };
    callbacks.willTerminate = [] { report("second willTerminate"); };
    int status = platform::runApplication(kUniqueID, argc, argv, std::move(callbacks));
    report("second returned " + std::to_string(status));
    return status;
}

}  // namespace

int runScenario(const std::string& scenario, int argc, char** argv) {
    if (scenario == "signal") return signalScenario(argc, argv);
    if (scenario.starts_with("quit-")) return quitScenario(scenario.substr(5), argc, argv);
    if (scenario == "unique-primary") return uniquePrimaryScenario(argc, argv);
    if (scenario == "unique-second") return uniqueSecondScenario(argc, argv);
    std::fprintf(stderr, "unknown scenario %s\n", scenario.c_str());
    return 2;
}

}  // namespace taviro::test::window
