#include "platform/MainQueue.h"

#include <atomic>
#include <glib.h>
#include <mutex>

namespace taviro::platform {
namespace {

// One scheduled task. The GLib source owns a shared_ptr to it; the caller holds another, so a
// cancel after the task ran, or a run after the caller let go, are both safe.
class GlibTask final : public CancellableTask, public std::enable_shared_from_this<GlibTask> {
public:
    GlibTask(std::function<void()> task, bool repeating) : task_(std::move(task)), repeating_(repeating) {}
    ~GlibTask() override = default;

    void schedule(guint intervalMilliseconds) {
        auto* holder = new std::shared_ptr<GlibTask>(shared_from_this());
        GSource* source = intervalMilliseconds == 0 ? g_idle_source_new() : g_timeout_source_new(intervalMilliseconds);
        g_source_set_priority(source, G_PRIORITY_DEFAULT);
        g_source_set_callback(source, &GlibTask::fire, holder, &GlibTask::release);
        {
            std::lock_guard lock(mutex_);
            source_ = source;  // keeps its own reference until the task is cancelled or done
        }
        g_source_attach(source, nullptr);
    }

    void cancel() override {
        cancelled_ = true;
        GSource* source = nullptr;
        {
            std::lock_guard lock(mutex_);
            std::swap(source, source_);
        }
        if (source) {
            g_source_destroy(source);
            g_source_unref(source);
        }
    }

private:
    static gboolean fire(gpointer data) {
        auto self = *static_cast<std::shared_ptr<GlibTask>*>(data);
        if (self->cancelled_) return G_SOURCE_REMOVE;
        if (!self->repeating_) self->cancelled_ = true;
        self->task_();
        if (self->repeating_ && !self->cancelled_) return G_SOURCE_CONTINUE;
        self->dropSource();
        return G_SOURCE_REMOVE;
    }

    static void release(gpointer data) { delete static_cast<std::shared_ptr<GlibTask>*>(data); }

    void dropSource() {
        GSource* source = nullptr;
        {
            std::lock_guard lock(mutex_);
            std::swap(source, source_);
        }
        if (source) g_source_unref(source);
    }

    std::function<void()> task_;
    const bool repeating_;
    std::atomic<bool> cancelled_{false};
    std::mutex mutex_;
    GSource* source_ = nullptr;
};

guint milliseconds(double seconds) {
    if (!(seconds > 0)) return 1;
    double value = seconds * 1000.0;
    return value > 4e9 ? 4000000000u : static_cast<guint>(value + 0.5);
}

class GlibMainQueue final : public MainQueue {
public:
    void post(std::function<void()> task) override {
        auto scheduled = std::make_shared<GlibTask>(std::move(task), false);
        scheduled->schedule(0);
    }
    std::shared_ptr<CancellableTask> postAfter(double seconds, std::function<void()> task) override {
        auto scheduled = std::make_shared<GlibTask>(std::move(task), false);
        scheduled->schedule(milliseconds(seconds));
        return scheduled;
    }
    std::shared_ptr<CancellableTask> repeatEvery(double seconds, std::function<void()> task) override {
        auto scheduled = std::make_shared<GlibTask>(std::move(task), true);
        scheduled->schedule(milliseconds(seconds));
        return scheduled;
    }
};

}  // namespace

std::shared_ptr<MainQueue> glibMainQueue() {
    static auto queue = std::make_shared<GlibMainQueue>();
    return queue;
}

}  // namespace taviro::platform
