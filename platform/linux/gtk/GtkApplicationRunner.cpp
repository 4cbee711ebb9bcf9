#include "platform/ApplicationRunner.h"

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include <glib-unix.h>
#include <gtk/gtk.h>

#include "platform/linux/SessionBus.h"
#include "platform/linux/gtk/GtkApplicationHost.h"

namespace taviro::platform {
namespace {

// Uniqueness needs the session bus. Without an address or the standard socket there is none, and
// asking GIO would only try to start one; when it does not answer, the application runs on its own.
bool sessionBusAvailable() {
    if (!sessionBusMayExist()) return false;
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    g_clear_error(&error);
    if (bus == nullptr) return false;
    g_object_unref(bus);
    return true;
}

// One run of the application: the GApplication's signals and every way of quitting meet here.
class ApplicationRun {
public:
    ApplicationRun(GtkApplication* application, ApplicationCallbacks callbacks)
        : application_(application), callbacks_(std::move(callbacks)) {
        g_signal_connect(application_, "startup", G_CALLBACK(onStartup), this);
        g_signal_connect(application_, "activate", G_CALLBACK(onActivate), this);
        g_signal_connect(application_, "shutdown", G_CALLBACK(onShutdown), this);
    }

    ~ApplicationRun() {
        for (guint source : signalSources_) g_source_remove(source);
        g_signal_handlers_disconnect_by_data(application_, this);
        if (host_) host_->destroyWindow();
        host_.reset();
        // The window goes now, not when the process ends: what remains of the quit may wait.
        if (GdkDisplay* display = gdk_display_get_default()) gdk_display_flush(display);
    }

    ApplicationRun(const ApplicationRun&) = delete;
    ApplicationRun& operator=(const ApplicationRun&) = delete;

    int run(const char* programName) {
        // GApplication would parse and reject the shell's own options; it gets none.
        char* arguments[] = {const_cast<char*>(programName), nullptr};
        return g_application_run(G_APPLICATION(application_), 1, arguments);
    }

private:
    static void onStartup(GApplication*, gpointer data) {
        auto* self = static_cast<ApplicationRun*>(data);
        // Alive from launch until quitting, whether or not a window exists yet.
        g_application_hold(G_APPLICATION(self->application_));
        self->holding_ = true;
        self->host_ = std::make_unique<gtk::GtkApplicationHost>(self->application_, [self] { self->quit(); });
        for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
            self->signalSources_.push_back(g_unix_signal_add(signal, onSignal, self));
        }
    }

    static void onActivate(GApplication*, gpointer data) {
        auto* self = static_cast<ApplicationRun*>(data);
        if (self->launched_) {
            self->host_->presentWindow();
            return;
        }
        self->launched_ = true;
        if (self->callbacks_.didFinishLaunching) self->callbacks_.didFinishLaunching(*self->host_);
    }

    static void onShutdown(GApplication*, gpointer data) { static_cast<ApplicationRun*>(data)->terminateOnce(); }

    static gboolean onSignal(gpointer data) {
        static_cast<ApplicationRun*>(data)->quit();
        return G_SOURCE_CONTINUE;
    }

    // A start right after this quit must open a window of its own, not be handed to this ending
    // process.
    void releaseName() {
        GDBusConnection* bus = g_application_get_dbus_connection(G_APPLICATION(application_));
        const char* name = g_application_get_application_id(G_APPLICATION(application_));
        if (bus == nullptr || name == nullptr) return;
        g_dbus_connection_call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ReleaseName",
                               g_variant_new("(s)", name), nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
        g_dbus_connection_flush_sync(bus, nullptr, nullptr);
    }

    void terminateOnce() {
        if (terminated_) return;
        terminated_ = true;
        if (callbacks_.willTerminate) callbacks_.willTerminate();
    }

    void quit() {
        releaseName();
        terminateOnce();
        if (holding_) {
            holding_ = false;
            g_application_release(G_APPLICATION(application_));
        }
        g_application_quit(G_APPLICATION(application_));
    }

    GtkApplication* application_;
    ApplicationCallbacks callbacks_;
    std::unique_ptr<gtk::GtkApplicationHost> host_;
    std::vector<guint> signalSources_;
    bool launched_ = false;
    bool terminated_ = false;
    bool holding_ = false;
};

}  // namespace

int runApplication(const std::string& applicationID, int argc, char** argv, ApplicationCallbacks callbacks, bool unique) {
    GApplicationFlags flags = G_APPLICATION_DEFAULT_FLAGS;
    if (!unique || !sessionBusAvailable()) flags = GApplicationFlags(flags | G_APPLICATION_NON_UNIQUE);
    GtkApplication* application = gtk_application_new(applicationID.c_str(), flags);
    int status;
    {
        ApplicationRun run(application, std::move(callbacks));
        status = run.run(argc > 0 && argv != nullptr && argv[0] != nullptr ? argv[0] : "taviro");
    }
    g_object_unref(application);
    return status;
}

}  // namespace taviro::platform
