#include "platform/Executor.h"

#include <pthread.h>
#include <vector>

namespace taviro::platform {
namespace {

void nameThisThread(const std::string& name) {
    // The kernel keeps 15 characters; a longer name would be refused altogether.
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

}  // namespace

SerialQueue::SerialQueue(std::string threadName) : threadName_(std::move(threadName)), thread_([this] { run(); }) {}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void SerialQueue::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void SerialQueue::run() {
    nameThisThread(threadName_);
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) {
            // Stopping and drained: whatever comes now is dropped.
            closed_ = true;
            return;
        }
        auto task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        task();
        // Destroyed outside the lock: what it captured may post again.
        task = nullptr;
        lock.lock();
    }
}

ConcurrentQueue::ConcurrentQueue(std::string threadName) : threadName_(std::move(threadName)) {}

ConcurrentQueue::~ConcurrentQueue() {
    // Running tasks may post more; those are joined in the next round.
    for (;;) {
        std::list<Worker> running;
        {
            std::lock_guard lock(mutex_);
            if (workers_.empty()) {
                closed_ = true;
                return;
            }
            // Splicing keeps the nodes where they are; the threads still point at theirs.
            running.splice(running.end(), workers_);
        }
        for (auto& worker : running) worker.thread.join();
    }
}

void ConcurrentQueue::post(std::function<void()> task) {
    std::list<Worker> finished;
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        for (auto each = workers_.begin(); each != workers_.end();) {
            auto next = std::next(each);
            if (each->finished) finished.splice(finished.end(), workers_, each);
            each = next;
        }
        Worker& worker = workers_.emplace_back();
        // Started under the lock: the thread marks its node finished under the same lock, so it
        // cannot do so before `thread` holds it.
        worker.thread = std::thread([this, &worker, task = std::move(task)]() mutable {
            nameThisThread(threadName_);
            task();
            task = nullptr;
            std::lock_guard lock(mutex_);
            worker.finished = true;
        });
    }
    for (auto& each : finished) each.thread.join();
}

}  // namespace taviro::platform
