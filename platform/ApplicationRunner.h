#pragma once

#include <functional>
#include <string>

#include "platform/ApplicationHost.h"

namespace taviro::platform {

struct ApplicationCallbacks {
    // The launch sequence, once the event loop is up. The host lives until `run` returns.
    std::function<void(ApplicationHost& host)> didFinishLaunching;
    // The quit sequence: runs exactly once, on the main thread, whatever asked to quit (the
    // menu, closing the window, SIGTERM/SIGINT/SIGHUP).
    std::function<void()> willTerminate;
};

// Runs the windowed application until it quits and returns the exit status. A second start
// while one runs brings the running window forward and returns; unless `unique` is false, when
// it always runs on its own.
int runApplication(const std::string& applicationID, int argc, char** argv, ApplicationCallbacks callbacks,
                   bool unique = true);

}  // namespace taviro::platform
