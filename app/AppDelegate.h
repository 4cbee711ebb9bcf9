#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "featurepack/FeaturePackUpdater.h"
#include "platform/ApplicationHost.h"
#include "platform/Browser.h"
#include "platform/ChildProcess.h"
#include "platform/HttpClient.h"
#include "platform/Keychain.h"
#include "platform/MainQueue.h"
#include "platform/WebView.h"
#include "service/InstallationIdentity.h"
#include "service/ServiceTiming.h"

namespace taviro {

// The windowed application: owns the window's web view, the service child, the feature-pack
// updater and the state of every shell subsystem. Created once, owned by a shared_ptr so that
// delayed work can hold it weakly. The operations of each subsystem are defined in that
// subsystem's folder.
class AppDelegate : public std::enable_shared_from_this<AppDelegate>, public platform::WebViewDelegate {
public:
    // How the delegate reaches the machine.
    struct Platform {
        std::shared_ptr<platform::MainQueue> mainQueue;
        std::shared_ptr<platform::HttpClient> http;
        std::shared_ptr<platform::BrowserOpener> browser;
        IdentitySources identity;
        // Contents/Resources of the running package; absent when there is none.
        std::function<std::optional<std::filesystem::path>()> resourcesFolder;
        // The package's short version string; absent when the package declares none.
        std::function<std::optional<std::string>()> bundleShortVersion;
        // Runs a system tool and waits (the legacy launch-agent clean-up).
        std::function<int(const std::string&, const std::vector<std::string>&)> runProcess;
        // "https://host[:port]" of the remote API.
        std::string remoteApiOrigin;
        ServiceTiming timing;
    };

    static std::shared_ptr<AppDelegate> create(Platform platform);
    ~AppDelegate() override;

    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // Lifecycle and menu.
    void applicationDidFinishLaunching(platform::ApplicationHost& host);
    bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }
    void applicationWillTerminate();
    void loadHome();
    void reloadPage();
    void openInBrowser();
    void disableLegacyLaunchAgent();
    void performMenuAction(platform::MenuAction action);
    static std::vector<platform::Menu> mainMenu();
    FeaturePackUpdater& featurePackUpdater();

    // Service launcher.
    static int findAvailablePort();
    bool startBundledService();

    // Readiness and connection pages.
    void connectAndLoad();
    bool isLocalServiceReady();
    // Cut short by a stop request (the application is quitting).
    bool waitForLocalService(double timeoutSeconds, std::stop_token stop = {});
    void showConnecting();
    void showServiceError(const std::string& message);
    void scheduleReconnect();
    std::string homeURL() const;
    std::string healthURL() const;
    bool isConnectionWorkerRunning() const { return connectionWorkerRunning_; }

    // Navigation policy (web view reports).
    bool decidePolicyForNavigation(const std::optional<std::string>& url) override;
    void didFinishNavigation() override;
    void didFailNavigation(const Error& error) override;
    void didReceiveScriptMessage(const std::string& channel, const std::string& bodyJSON) override;
    bool runOpenPanel(bool allowsMultipleSelection,
                      std::function<void(std::optional<std::vector<std::filesystem::path>>)> completion) override;

    // Imported-draft polling (started after each successful connection).
    void startImportedDraftPolling();

    // Diagnostics export, self-update and the remote pack check, as the lifecycle and the
    // navigation handling call them.
    void saveDiagnostics(const std::string& url);
    void restorePreparedUpdateIfAvailable();
    void runPendingUpdateIfNeeded();
    void startAutomaticUpdateFlow();
    void startBackgroundFeaturePackCheck();
    static constexpr double featurePackCheckDelaySeconds = 15.0;

    // Fields. localPort is written by the connection worker and read on the main thread;
    // backendProcess and backendLogHandle are guarded by backendMutex.
    std::shared_ptr<platform::WebView> webView;
    std::atomic<int> localPort{0};
    std::shared_ptr<platform::CancellableTask> reconnectWorkItem;
    std::shared_ptr<platform::ChildProcess> backendProcess;
    std::shared_ptr<platform::FileHandle> backendLogHandle;
    std::shared_ptr<platform::CancellableTask> importPollTimer;
    std::string lastImportedDraftID;
    bool didCompleteFirstImportPoll = false;
    bool didStartAutomaticUpdateFlow = false;
    const std::string updateDownloadingMessage = "发现新版，正在下载安装包，请不要立即退出软件";
    const std::string updateReadyMessage = "新版已下载，退出软件后会自动安装";

    std::shared_ptr<platform::ChildProcess> currentBackendProcess();

private:
    explicit AppDelegate(Platform platform);

    // The service environment for the current port and pack, built from `inherited`.
    std::map<std::string, std::string> serviceEnvironment(std::map<std::string, std::string> inherited,
                                                          const std::filesystem::path& resources);

    // The connection worker's body, on its own thread.
    void runConnectionWorker(std::stop_token stop);
    // Up to `count` starts, each but the first on a fresh port; true once one became ready.
    bool startAttempts(int count, std::stop_token stop);
    void handleConnectionOutcome(bool ready);
    // Sleeps up to `seconds`; false when the wait was cut short by a stop request.
    bool pause(double seconds, std::stop_token stop);
    void abandonBackendProcess();

    Platform platform_;
    std::once_flag updaterOnce_;
    std::unique_ptr<FeaturePackUpdater> featurePackUpdater_;
    platform::ApplicationHost* host_ = nullptr;

    std::mutex backendMutex_;
    std::atomic<bool> quitting_{false};

    // One connection worker at a time; main thread only.
    bool connectionWorkerRunning_ = false;
    std::jthread connectionWorker_;
    std::mutex pauseMutex_;
    std::condition_variable_any pauseCondition_;
};

}  // namespace taviro
