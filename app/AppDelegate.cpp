#include "app/AppDelegate.h"

#include <filesystem>

#include "app/DesktopLog.h"
#include "platform/LegacyLaunchAgent.h"

namespace taviro {
namespace {

const std::vector<std::string> kScriptMessageChannels{"pathPicker", "updateChecker", "featurePackRollback"};

}  // namespace

std::shared_ptr<AppDelegate> AppDelegate::create(Platform platform) {
    return std::shared_ptr<AppDelegate>(new AppDelegate(std::move(platform)));
}

AppDelegate::AppDelegate(Platform platform) : platform_(std::move(platform)) { localPort = findAvailablePort(); }

AppDelegate::~AppDelegate() {
    quitting_ = true;
    connectionWorker_.request_stop();
    // The worker itself may hold the last reference; it cannot wait for itself.
    if (connectionWorker_.joinable() && connectionWorker_.get_id() == std::this_thread::get_id()) {
        connectionWorker_.detach();
    }
}

FeaturePackUpdater& AppDelegate::featurePackUpdater() {
    std::call_once(updaterOnce_, [this] {
        std::string version = "0";
        if (platform_.bundleShortVersion) version = platform_.bundleShortVersion().value_or("0");
        std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
        featurePackUpdater_ = std::make_unique<FeaturePackUpdater>(version, [weakSelf](const std::string& line) {
            if (!weakSelf.expired()) appendDesktopLog(line);
        });
    });
    return *featurePackUpdater_;
}

void AppDelegate::applicationDidFinishLaunching(platform::ApplicationHost& host) {
    host_ = &host;
    appendDesktopLog("desktop application launched");
    host.setRegularActivationPolicy();
    appendDesktopLog("activation policy configured");
    std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
    host.installMainMenu(mainMenu(), [weakSelf](platform::MenuAction action) {
        if (auto self = weakSelf.lock()) self->performMenuAction(action);
    });
    appendDesktopLog("menu built");
    webView = host.createWebView(kScriptMessageChannels, std::static_pointer_cast<platform::WebViewDelegate>(shared_from_this()));
    host.createAndShowWindow(platform::WindowSpec{"Taviro", 1280, 820, 980, 680});
    appendDesktopLog("window built");
    disableLegacyLaunchAgent();
    appendDesktopLog("legacy launch agent disabled");
    featurePackUpdater().prepareForLaunch();
    appendDesktopLog("feature pack prepared revision=" + std::to_string(featurePackUpdater().activeRevision()));
    restorePreparedUpdateIfAvailable();
    appendDesktopLog("prepared update state restored");
    connectAndLoad();
}

void AppDelegate::applicationWillTerminate() {
    if (importPollTimer) importPollTimer->cancel();
    quitting_ = true;
    if (reconnectWorkItem) reconnectWorkItem->cancel();
    {
        std::lock_guard lock(backendMutex_);
        if (backendProcess && backendProcess->isRunning()) backendProcess->terminate();
        if (backendLogHandle) backendLogHandle->close();
        backendLogHandle.reset();
    }
    // A worker still waiting for the service stops at its next check; none starts another one.
    connectionWorker_.request_stop();
    if (connectionWorker_.joinable() && connectionWorker_.get_id() != std::this_thread::get_id()) {
        connectionWorker_.join();
    }
    runPendingUpdateIfNeeded();
}

void AppDelegate::performMenuAction(platform::MenuAction action) {
    switch (action) {
        case platform::MenuAction::loadHome: loadHome(); break;
        case platform::MenuAction::reloadPage: reloadPage(); break;
        case platform::MenuAction::openInBrowser: openInBrowser(); break;
        case platform::MenuAction::terminate:
            if (host_) host_->requestQuit();
            break;
        default:
            // The editing actions belong to the focused web content; the host performs them.
            break;
    }
}

void AppDelegate::reloadPage() { connectAndLoad(); }

void AppDelegate::openInBrowser() {
    if (platform_.browser) platform_.browser->open(homeURL());
}

void AppDelegate::disableLegacyLaunchAgent() {
    if (platform_.runProcess) {
        platform_.runProcess(platform::kServiceManagerPath, platform::legacyAgentStopArguments());
        platform_.runProcess(platform::kServiceManagerPath, platform::legacyAgentDisableArguments());
    }
    std::error_code ignored;
    std::filesystem::remove(platform::legacyAgentUnitFile(), ignored);
}

}  // namespace taviro
