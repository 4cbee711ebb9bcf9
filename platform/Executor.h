#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>

namespace taviro::platform {

// Background work off the main thread. Tasks must not throw: an exception leaving a task ends
// the process, as with any thread. Both queues accept `post` from any thread, tasks included.
//
// Destruction finishes every task already posted, then joins the queue's threads. A task
// posted while the destructor waits (by a running task, or another thread) still runs when
// it arrives before the queue has drained; one that arrives later is destroyed without
// running. Posting after the destructor has returned is a use of a dead object, as for any
// other.

// One worker thread of its own: tasks run one at a time, in the order they were posted.
class SerialQueue {
public:
    // `threadName` names the worker thread for debuggers and `top -H` (at most 15 characters).
    explicit SerialQueue(std::string threadName = "taviro-serial");
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void post(std::function<void()> task);

private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    bool closed_ = false;
    std::string threadName_;
    std::thread thread_;
};

// A thread per task: every task starts at once and runs alongside the others, so tasks may
// block on one another. Threads of finished tasks are joined at the next post.
class ConcurrentQueue {
public:
    explicit ConcurrentQueue(std::string threadName = "taviro-worker");
    ~ConcurrentQueue();
    ConcurrentQueue(const ConcurrentQueue&) = delete;
    ConcurrentQueue& operator=(const ConcurrentQueue&) = delete;

    void post(std::function<void()> task);

private:
    struct Worker {
        std::thread thread;
        bool finished = false;
    };

    std::mutex mutex_;
    std::list<Worker> workers_;
    bool closed_ = false;
    std::string threadName_;
};

}  // namespace taviro::platform
