#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Executor.h"
#include "platform/HttpClient.h"
#include "platform/MainQueue.h"
#include "platform/WebView.h"
#include "selfupdate/PreparedUpdate.h"
#include "selfupdate/ReleaseCheck.h"
#include "selfupdate/UpdateFlowState.h"

namespace taviro {

// The application's self-update: the flow's state and its one entry point, the release check,
// the download and preparation of a newer package, the launch-time restore of a prepared one,
// the install gate, and the swap script started as the application quits. The page hears of
// every step through `window.__receiveUpdateStatus`.
//
// Threads: main thread, except `coreUpdateInProgress`, which reads a copy of the state that
// every change writes and may be called from any thread. Network and file work runs on the
// background queue and comes back to the main queue before it touches the state.
class SelfUpdater : public std::enable_shared_from_this<SelfUpdater> {
public:
    struct Machine {
        std::shared_ptr<platform::MainQueue> mainQueue;
        std::shared_ptr<platform::ConcurrentQueue> background;
        std::shared_ptr<platform::HttpClient> http;
        // Runs a tool and waits: its termination status.
        std::function<int(const std::string&, const std::vector<std::string>&)> runProcess;
        // The running Taviro.app; absent when the executable lies in no package.
        std::optional<std::filesystem::path> appPackage;
        std::string runningVersion;
        // "https://host[:port]" of the update server.
        std::string remoteApiOrigin;
        std::filesystem::path updateRoot;
        std::function<int()> localPort;
        // Where the swap script notes a rollback for the user to find.
        std::filesystem::path desktopLog;
        // The deployment's update key file, when the package holds one: releases must be signed.
        std::optional<std::filesystem::path> updatePublicKey;
        // Given by the swap script that started this version: created once a first page shows.
        std::optional<std::filesystem::path> launchProof;
        // One line of the desktop log, called on the main thread: why a check or preparation failed.
        std::function<void(const std::string&)> log;
    };

    static constexpr const char* updateDownloadingMessage = "发现新版，正在下载安装包，请不要立即退出软件";
    static constexpr const char* updateReadyMessage = "新版已下载，退出软件后会自动安装";

    static std::shared_ptr<SelfUpdater> create(Machine machine);

    // The page that hears the reports and the way to quit the application for an install.
    void attach(std::shared_ptr<platform::WebView> webView, std::function<void()> requestQuit);

    // The only way to start or resume the flow; its work runs later, as one main-queue task.
    void startUpdateFlow(UpdateSource source);
    // One report to the page, delivered after the code that made it has finished.
    void reportUpdateStatus(std::string_view state, const std::string& message, const std::optional<std::string>& version,
                            const std::optional<std::string>& downloadURL = std::nullopt);

    // Launch: takes up an update an earlier run prepared, without installing it.
    void restorePreparedUpdateIfAvailable();
    // Quit: hands a prepared update to the swap script, which runs once the application is gone.
    void runPendingUpdateIfNeeded();
    // The window shows a first finished page: a version the swap script started has proved that
    // it runs, so the script keeps it.
    void didShowFirstPage();
    // Quit: a download under way stops.
    void stop() { *quitting_ = true; }

    UpdateFlowState updateState() const { return updateState_; }
    const std::optional<std::string>& pendingUpdateVersion() const { return pendingUpdateVersion_; }
    bool updateShouldRestartWhenReady() const { return updateShouldRestartWhenReady_; }
    // Any thread.
    bool coreUpdateInProgress() const { return isCoreUpdateInProgress(stateView_.load()); }

    bool pendingUpdateIsReady() const;
    bool canReplaceCurrentAppBundle() const;
    // origin + "/downloads/<the full package for this platform>"
    std::string fullPackageURL() const;

private:
    explicit SelfUpdater(Machine machine) : machine_(std::move(machine)) {}
    void setUpdateState(UpdateFlowState state);
    void runUpdateFlow(UpdateSource source);
    void reportPending(UpdateFlowState state, const char* message);
    void reportFallback(const std::string& downloadURL);
    // Failure of a check (reported to manual flows) or of a preparation (always reported).
    // Logs why, then tells the page when `report`.
    void fail(bool report, const std::string& why);

    void checkForUpdateAndDownload(UpdateSource source);
    void applyReleaseCheck(const ReleaseCheckResult& result, UpdateSource source);
    void downloadAndPrepareUpdate(const ReleaseDescription& release);
    void installPreparedUpdateIfSafe();

    Machine machine_;
    std::shared_ptr<platform::WebView> webView_;
    std::function<void()> requestQuit_;
    std::shared_ptr<std::atomic<bool>> quitting_ = std::make_shared<std::atomic<bool>>(false);

    UpdateFlowState updateState_ = UpdateFlowState::idle;
    std::atomic<UpdateFlowState> stateView_{UpdateFlowState::idle};
    bool updateShouldRestartWhenReady_ = false;
    std::optional<std::filesystem::path> pendingUpdateScript_;
    std::optional<std::filesystem::path> pendingUpdateApp_;
    std::optional<std::filesystem::path> pendingUpdateLog_;
    std::optional<std::string> pendingUpdateVersion_;
};

}  // namespace taviro
