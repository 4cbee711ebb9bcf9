#pragma once

#include <memory>

#include "platform/MainQueue.h"

namespace taviro {

// Brings newly imported drafts to the user's attention while the service's page is shown.
// Main thread only. Each successful connection restarts it; quitting stops it.
class ImportedDraftPolling {
public:
    void start();
    void stop();

private:
    std::shared_ptr<platform::CancellableTask> importPollTimer_;
};

}  // namespace taviro
