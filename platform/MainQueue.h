#pragma once

#include <functional>
#include <memory>

namespace taviro::platform {

// A task handed to the main queue for later; cancelling it before it runs means it never runs.
// Cancel on the main thread.
class CancellableTask {
public:
    virtual ~CancellableTask() = default;
    virtual void cancel() = 0;
};

// The main thread's event loop. Everything that touches the window, the web view or the
// delegate's fields runs here. `post` and `postAfter` may be called from any thread.
class MainQueue {
public:
    virtual ~MainQueue() = default;
    virtual void post(std::function<void()> task) = 0;
    virtual std::shared_ptr<CancellableTask> postAfter(double seconds, std::function<void()> task) = 0;
    // Runs `task` every `seconds` until cancelled.
    virtual std::shared_ptr<CancellableTask> repeatEvery(double seconds, std::function<void()> task) = 0;
};

// The default GLib main context of the process.
std::shared_ptr<MainQueue> glibMainQueue();

}  // namespace taviro::platform
