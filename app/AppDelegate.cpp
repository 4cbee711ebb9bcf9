#include "app/AppDelegate.h"

#include <filesystem>

#include "app/DesktopLog.h"
#include "app/MainMenu.h"
#include "platform/InfoPlist.h"
#include "platform/LegacyLaunchAgent.h"
#include "platform/Paths.h"
#include "platform/WebContentSandbox.h"

namespace taviro {
namespace {

const platform::WindowSpec kMainWindow{"Taviro", 1280, 820, 980, 680};

}  // namespace

std::shared_ptr<AppDelegate> AppDelegate::create(Platform platform) {
    auto delegate = std::shared_ptr<AppDelegate>(new AppDelegate(std::move(platform)));
    delegate->wireSubsystems();
    return delegate;
}

AppDelegate::AppDelegate(Platform platform) : platform_(std::move(platform)) {}

// The connection worker reaches the feature-pack store through this object: it has ended before
// the store goes away.
AppDelegate::~AppDelegate() {
    if (!supervisor_) return;
    supervisor_->stop();
    supervisor_->waitUntilWorkerEnded();
}

// Every hook holds the delegate weakly: delayed tasks and worker threads may outlive it.
void AppDelegate::wireSubsystems() {
    std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
    ServiceSupervisor::Machine machine{platform_.mainQueue,      platform_.background, platform_.http,
                                       platform_.identity,       platform_.package,    dataRootDirectory(),
                                       desktopLogPath(),         platform_.remoteApiOrigin, platform_.timing,
                                       appendDesktopLog};
    ServiceSupervisor::Hooks serviceHooks;
    // The supervisor lives inside the delegate, so the delegate outlives every call it makes.
    serviceHooks.featurePacks = [this]() -> FeaturePackUpdater& { return featurePackUpdater(); };
    serviceHooks.didConnect = [weakSelf] {
        if (auto self = weakSelf.lock()) self->draftPolling_->start();
    };
    supervisor_ = ServiceSupervisor::create(std::move(machine), std::move(serviceHooks));

    std::weak_ptr<ServiceSupervisor> weakSupervisor = supervisor_;
    NavigationHandler::Hooks navigationHooks;
    auto localPort = [weakSupervisor] {
        auto supervisor = weakSupervisor.lock();
        return supervisor ? supervisor->localPort() : 0;
    };
    navigationHooks.localPort = localPort;
    navigationHooks.saveDiagnostics = [weakSelf](const std::string& url) {
        if (auto self = weakSelf.lock()) self->bridge_->saveDiagnostics(url);
    };
    navigationHooks.connectionLost = [weakSupervisor](const std::string& message) {
        if (auto supervisor = weakSupervisor.lock()) supervisor->connectionLost(message);
    };
    navigationHooks.reconnect = [weakSupervisor] {
        if (auto supervisor = weakSupervisor.lock()) supervisor->connectAndLoad();
    };
    navigationHooks.showError = [weakSupervisor](const std::string& message) {
        if (auto supervisor = weakSupervisor.lock()) supervisor->showServiceError(message);
    };
    navigationHooks.log = appendDesktopLog;
    navigationHooks.startAutomaticUpdateFlow = [weakSelf] {
        if (auto self = weakSelf.lock()) self->selfUpdater_->startUpdateFlow(UpdateSource::automatic);
    };
    navigationHooks.startBackgroundFeaturePackCheck = [weakSelf] {
        auto self = weakSelf.lock();
        if (!self) return;
        std::weak_ptr<SelfUpdater> weakUpdater = self->selfUpdater_;
        self->featurePackUpdater().checkForUpdatesInBackground([weakUpdater] {
            auto updater = weakUpdater.lock();
            return updater && updater->coreUpdateInProgress();
        });
    };
    navigation_ = std::make_unique<NavigationHandler>(platform_.mainQueue, platform_.browser, std::move(navigationHooks));

    PageBridge::Hooks bridgeHooks;
    bridgeHooks.startUpdateFlow = [weakSelf](bool automatic) {
        auto self = weakSelf.lock();
        if (self) self->selfUpdater_->startUpdateFlow(automatic ? UpdateSource::automatic : UpdateSource::manual);
    };
    bridgeHooks.requestManualRollback = [weakSelf] {
        auto self = weakSelf.lock();
        return self && self->featurePackUpdater().requestManualRollback();
    };
    SelfUpdater::Machine updateMachine;
    updateMachine.mainQueue = platform_.mainQueue;
    updateMachine.background = platform_.background;
    updateMachine.http = platform_.http;
    updateMachine.runProcess = platform_.runProcess;
    if (platform_.package) updateMachine.appPackage = platform_.package->contents.parent_path();
    updateMachine.runningVersion = runningVersion();
    updateMachine.remoteApiOrigin = platform_.remoteApiOrigin;
    updateMachine.updateRoot = updateRootDirectory();
    updateMachine.localPort = localPort;
    updateMachine.desktopLog = desktopLogPath();
    updateMachine.log = appendDesktopLog;
    // Anything at the key's place but a plain absence (unreadable, say) counts as a key: releases
    // must then be signed, and an unusable key refuses them all rather than trusting them.
    std::error_code error;
    if (platform_.package &&
        std::filesystem::symlink_status(platform_.package->updatePublicKey(), error).type() != std::filesystem::file_type::not_found) {
        updateMachine.updatePublicKey = platform_.package->updatePublicKey();
    }
    updateMachine.launchProof = platform_.updateLaunchProof;
    selfUpdater_ = SelfUpdater::create(std::move(updateMachine));
    bridge_ = PageBridge::create({platform_.mainQueue, platform_.background, platform_.http}, std::move(bridgeHooks));
    draftPolling_ = ImportedDraftPolling::create({platform_.mainQueue, platform_.background, platform_.http, localPort});
}

std::string AppDelegate::runningVersion() const {
    if (!platform_.package) return "0";
    return platform::infoPlistString(platform_.package->infoPlist(), "CFBundleShortVersionString").value_or("0");
}

FeaturePackUpdater& AppDelegate::featurePackUpdater() {
    std::call_once(updaterOnce_, [this] {
        featurePackUpdater_ = std::make_unique<FeaturePackUpdater>(runningVersion(), appendDesktopLog);
        featurePackUpdater_->connectRemote(platform_.http, platform_.remoteApiOrigin);
    });
    return *featurePackUpdater_;
}

void AppDelegate::applicationDidFinishLaunching(platform::ApplicationHost& host) {
    appendDesktopLog("desktop application launched");
    if (platform_.refusedRemoteApiOrigin) {
        appendDesktopLog("VORDA_API_ORIGIN refused: " + *platform_.refusedRemoteApiOrigin + "; the build's origin is used");
    }
    appendDesktopLog("remote API origin " + platform_.remoteApiOrigin);
    supervisor_->resolveIdentityInBackground();
    host.setRegularActivationPolicy();
    appendDesktopLog("activation policy configured");
    std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
    host.installMainMenu(mainMenu(), [weakSelf](platform::MenuAction action) {
        if (auto self = weakSelf.lock()) self->performMenuAction(action);
    });
    appendDesktopLog("menu built");
    auto webView = host.createWebView(PageBridge::scriptMessageChannels(),
                                      std::static_pointer_cast<platform::WebViewDelegate>(shared_from_this()),
                                      webViewOptions());
    supervisor_->setWebView(webView);
    navigation_->setWebView(webView);
    bridge_->attach(webView, host.dialogs());
    platform::ApplicationHost* quitHost = &host;  // the host runs the loop every task runs in
    selfUpdater_->attach(webView, [quitHost] { quitHost->requestQuit(); });
    draftPolling_->setWebView(webView);
    host.createAndShowWindow(kMainWindow);
    appendDesktopLog("window built");
    disableLegacyLaunchAgent();
    appendDesktopLog("legacy launch agent disabled");
    featurePackUpdater().prepareForLaunch();
    appendDesktopLog("feature pack prepared revision=" + std::to_string(featurePackUpdater().activeRevision()));
    selfUpdater_->restorePreparedUpdateIfAvailable();
    appendDesktopLog("prepared update state restored");
    supervisor_->connectAndLoad();
}

void AppDelegate::applicationWillTerminate() {
    // First: no request in flight may hold the quit up, whatever the network does.
    if (platform_.http) platform_.http->stopAll();
    draftPolling_->stop();
    navigation_->cancel();
    selfUpdater_->stop();
    supervisor_->stop();
    selfUpdater_->runPendingUpdateIfNeeded();
}

void AppDelegate::performMenuAction(platform::MenuAction action) {
    switch (action) {
        case platform::MenuAction::loadHome: supervisor_->loadHome(); break;
        case platform::MenuAction::reloadPage: supervisor_->connectAndLoad(); break;
        case platform::MenuAction::openInBrowser:
            if (platform_.browser) platform_.browser->open(supervisor_->homeURL());
            break;
        default:
            // Quitting and the editing actions belong to the host.
            break;
    }
}

void AppDelegate::disableLegacyLaunchAgent() {
    // Without its unit file no such agent can run; asking the service manager anyway would only
    // hold up the first page.
    std::error_code missing;
    if (!std::filesystem::exists(platform::legacyAgentUnitFile(), missing)) return;
    if (platform_.runProcess) {
        platform_.runProcess(platform::kServiceManagerPath, platform::legacyAgentStopArguments());
        platform_.runProcess(platform::kServiceManagerPath, platform::legacyAgentDisableArguments());
    }
    std::error_code ignored;
    std::filesystem::remove(platform::legacyAgentUnitFile(), ignored);
}

platform::WebViewOptions AppDelegate::webViewOptions() {
    platform::WebViewOptions options;
    options.unresponsiveLimitSeconds = NavigationHandler::unresponsivePageLimitSeconds;
    if (!platform::environmentValue(platform::kWebSandboxOffVariable).value_or("").empty()) {
        appendDesktopLog(std::string("web content sandbox turned off by ") + platform::kWebSandboxOffVariable);
    } else if (auto why = platform::webContentSandboxUnavailable()) {
        appendDesktopLog("web content runs without its sandbox: " + *why);
    } else {
        options.sandboxed = true;
    }
    return options;
}

bool AppDelegate::decidePolicyForNavigation(const std::optional<std::string>& url) {
    return navigation_->decidePolicyForNavigation(url);
}

void AppDelegate::didFinishNavigation() {
    selfUpdater_->didShowFirstPage();
    navigation_->didFinishNavigation();
}

void AppDelegate::didFailNavigation(const Error& error) { navigation_->didFailNavigation(error); }

void AppDelegate::webProcessTerminated(platform::WebProcessTermination reason) {
    navigation_->webProcessTerminated(reason);
}

void AppDelegate::didReceiveScriptMessage(const std::string& channel, const std::string& bodyJSON) {
    bridge_->didReceiveScriptMessage(channel, bodyJSON);
}

bool AppDelegate::runOpenPanel(bool allowsMultipleSelection,
                               std::function<void(std::optional<std::vector<std::filesystem::path>>)> completion) {
    return bridge_->runOpenPanel(allowsMultipleSelection, std::move(completion));
}

void AppDelegate::chooseDownloadDestination(const std::string& suggestedName,
                                            std::function<void(std::optional<std::filesystem::path>)> completion) {
    bridge_->chooseDownloadDestination(suggestedName, std::move(completion));
}

void AppDelegate::downloadEnded(const std::filesystem::path& destination, const std::optional<Error>& failure) {
    bridge_->downloadEnded(destination, failure);
}

}  // namespace taviro
