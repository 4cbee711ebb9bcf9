#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bridge/ImportedDraftPolling.h"
#include "bridge/NavigationHandler.h"
#include "bridge/PageBridge.h"
#include "featurepack/FeaturePackUpdater.h"
#include "platform/ApplicationHost.h"
#include "platform/Browser.h"
#include "platform/Executor.h"
#include "platform/HttpClient.h"
#include "platform/MainQueue.h"
#include "platform/PackageLayout.h"
#include "platform/WebView.h"
#include "selfupdate/SelfUpdater.h"
#include "service/InstallationIdentity.h"
#include "service/ServiceSupervisor.h"
#include "service/ServiceTiming.h"

namespace taviro {

// The windowed application: owns one object per subsystem, wires them to one another and to the
// window host, and keeps the launch and quit sequences in their order. Main thread only, except
// featurePackUpdater(), which the connection worker calls too.
class AppDelegate : public std::enable_shared_from_this<AppDelegate>, public platform::WebViewDelegate {
public:
    // How the application reaches the machine.
    struct Platform {
        std::shared_ptr<platform::MainQueue> mainQueue;
        std::shared_ptr<platform::ConcurrentQueue> background;
        std::shared_ptr<platform::HttpClient> http;
        std::shared_ptr<platform::BrowserOpener> browser;
        IdentitySources identity;
        // The running package; absent when there is none.
        std::optional<platform::PackageLayout> package;
        // Runs a system tool and waits (the legacy launch-agent clean-up).
        std::function<int(const std::string&, const std::vector<std::string>&)> runProcess;
        // "https://host[:port]" of the remote API.
        std::string remoteApiOrigin;
        ServiceTiming timing;
        // Named by the swap script that started this version (see SelfUpdater::Machine).
        std::optional<std::filesystem::path> updateLaunchProof;
        // Why a configured remote API origin was refused, for the desktop log.
        std::optional<std::string> refusedRemoteApiOrigin;
    };

    static std::shared_ptr<AppDelegate> create(Platform platform);
    ~AppDelegate() override;
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    void applicationDidFinishLaunching(platform::ApplicationHost& host);
    void applicationWillTerminate();
    // The view menu's actions; the host itself quits and runs the editing actions.
    void performMenuAction(platform::MenuAction action);

    // Created on first use and kept for the process; any thread.
    FeaturePackUpdater& featurePackUpdater();
    const ServiceSupervisor& serviceSupervisor() const { return *supervisor_; }

    // The web view's reports, each handed to the subsystem that decides it.
    bool decidePolicyForNavigation(const std::optional<std::string>& url) override;
    void didFinishNavigation() override;
    void didFailNavigation(const Error& error) override;
    void webProcessTerminated(platform::WebProcessTermination reason) override;
    void didReceiveScriptMessage(const std::string& channel, const std::string& bodyJSON) override;
    bool runOpenPanel(bool allowsMultipleSelection,
                      std::function<void(std::optional<std::vector<std::filesystem::path>>)> completion) override;
    void chooseDownloadDestination(const std::string& suggestedName,
                                   std::function<void(std::optional<std::filesystem::path>)> completion) override;
    void downloadEnded(const std::filesystem::path& destination, const std::optional<Error>& failure) override;

private:
    explicit AppDelegate(Platform platform);
    void wireSubsystems();
    void disableLegacyLaunchAgent();
    // The page in WebKit's sandbox unless it is turned off or this machine cannot give it one
    // (then the desktop log says why).
    static platform::WebViewOptions webViewOptions();
    // "CFBundleShortVersionString" of the running package; "0" when there is none.
    std::string runningVersion() const;

    Platform platform_;
    std::shared_ptr<ServiceSupervisor> supervisor_;
    std::unique_ptr<NavigationHandler> navigation_;
    std::shared_ptr<PageBridge> bridge_;
    std::shared_ptr<ImportedDraftPolling> draftPolling_;
    std::shared_ptr<SelfUpdater> selfUpdater_;
    // Last, so destroyed first: its worker, which may briefly hold the self-updater, is joined
    // while the delegate still holds the self-updater too, which is then released on this thread.
    std::once_flag updaterOnce_;
    std::unique_ptr<FeaturePackUpdater> featurePackUpdater_;
};

}  // namespace taviro
