#pragma once

namespace taviro {

// The application's self-update as the launch, the first page load and the quit sequence call
// it. This build prepares no updates, so there is nothing to restore, start or run yet.
class SelfUpdater {
public:
    // Launch: picks up an update prepared by an earlier run.
    void restorePreparedUpdateIfAvailable() {}
    // First finished load of the service's page.
    void startAutomaticUpdateFlow() {}
    // The page's update request: `automatic` when the page itself asked, else a person did.
    void startUpdateFlow(bool /*automatic*/) {}
    // Quit sequence: hands a complete prepared update to the swap script.
    void runPendingUpdateIfNeeded() {}
};

}  // namespace taviro
