#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/MainQueue.h"
#include "platform/WebView.h"
#include "selfupdate/UpdateFlowState.h"

namespace taviro {

// The application's self-update: the flow's state, its one entry point and the reports the page
// gets through `window.__receiveUpdateStatus`. The release check, the preparation and the
// installation are its steps.
//
// Threads: main thread, except `coreUpdateInProgress`, which reads a copy of the state that
// every change writes and may be called from any thread.
class SelfUpdater : public std::enable_shared_from_this<SelfUpdater> {
public:
    struct Steps {
        // A prepared update is complete on disk.
        std::function<bool()> pendingUpdateIsReady;
        // Asks the local service and, when it allows, quits into the swap script.
        std::function<void()> installPreparedUpdateIfSafe;
        // Starts the release check and applies its outcome.
        std::function<void(UpdateSource)> checkForUpdateAndDownload;
    };

    static constexpr const char* updateDownloadingMessage = "发现新版，正在下载安装包，请不要立即退出软件";
    static constexpr const char* updateReadyMessage = "新版已下载，退出软件后会自动安装";

    static std::shared_ptr<SelfUpdater> create(std::shared_ptr<platform::MainQueue> mainQueue, Steps steps);

    void setWebView(std::shared_ptr<platform::WebView> webView) { webView_ = std::move(webView); }

    // The only way to start or resume the flow; its work runs later, as one main-queue task.
    void startUpdateFlow(UpdateSource source);
    // One report to the page, delivered after the code that made it has finished.
    void reportUpdateStatus(std::string_view state, const std::string& message, const std::optional<std::string>& version,
                            const std::optional<std::string>& downloadURL = std::nullopt);

    UpdateFlowState updateState() const { return updateState_; }
    void setUpdateState(UpdateFlowState state);
    const std::optional<std::string>& pendingUpdateVersion() const { return pendingUpdateVersion_; }
    void setPendingUpdateVersion(std::optional<std::string> version) { pendingUpdateVersion_ = std::move(version); }
    bool updateShouldRestartWhenReady() const { return updateShouldRestartWhenReady_; }
    void setUpdateShouldRestartWhenReady(bool restart) { updateShouldRestartWhenReady_ = restart; }

    // Any thread.
    bool coreUpdateInProgress() const { return isCoreUpdateInProgress(stateView_.load()); }

    // Launch: picks up an update prepared by an earlier run. Quit: hands a prepared update to the
    // swap script. Neither has anything to do until updates can be prepared.
    void restorePreparedUpdateIfAvailable() {}
    void runPendingUpdateIfNeeded() {}

private:
    SelfUpdater(std::shared_ptr<platform::MainQueue> mainQueue, Steps steps)
        : mainQueue_(std::move(mainQueue)), steps_(std::move(steps)) {}
    void runUpdateFlow(UpdateSource source);
    void reportPending(UpdateFlowState state, const char* message);

    std::shared_ptr<platform::MainQueue> mainQueue_;
    Steps steps_;
    std::shared_ptr<platform::WebView> webView_;
    UpdateFlowState updateState_ = UpdateFlowState::idle;
    std::atomic<UpdateFlowState> stateView_{UpdateFlowState::idle};
    bool updateShouldRestartWhenReady_ = false;
    std::optional<std::string> pendingUpdateVersion_;
};

}  // namespace taviro
