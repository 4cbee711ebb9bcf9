// One connection cycle: the connecting page, a worker that finds or starts a service that
// answers with the right identity and pack, then the service's page or the error page.
#include <algorithm>
#include <chrono>

#include "app/AppDelegate.h"
#include "app/DesktopLog.h"
#include "service/ConnectionPages.h"
#include "service/HealthAnswer.h"

namespace taviro {
namespace {

constexpr const char* kTimeoutMessage = "本地服务启动超时，正在继续自动重试。";

}  // namespace

std::string AppDelegate::homeURL() const { return "http://127.0.0.1:" + std::to_string(localPort.load()) + "/"; }

std::string AppDelegate::healthURL() const {
    return "http://127.0.0.1:" + std::to_string(localPort.load()) + "/api/local/health";
}

void AppDelegate::connectAndLoad() {
    appendDesktopLog("connectAndLoad scheduled");
    if (reconnectWorkItem) reconnectWorkItem->cancel();
    showConnecting();
    // One worker at a time: the fields it writes have no other protection. A cycle asked for
    // while one runs is folded into it; its outcome replaces the connecting page shown now.
    if (connectionWorkerRunning_ || quitting_) return;
    connectionWorkerRunning_ = true;
    if (connectionWorker_.joinable()) connectionWorker_.join();  // already past its last step
    std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
    connectionWorker_ = std::jthread([weakSelf](std::stop_token stop) {
        if (auto self = weakSelf.lock()) self->runConnectionWorker(stop);
    });
}

void AppDelegate::runConnectionWorker(std::stop_token stop) {
    appendDesktopLog("local service worker started");
    appendDesktopLog("ensuring local service on port " + std::to_string(localPort.load()));

    bool started = isLocalServiceReady();
    if (started) {
        appendDesktopLog("existing local service is ready");
    } else {
        started = startAttempts(platform_.timing.startAttempts, stop);
    }
    if (!started && !stop.stop_requested() && featurePackUpdater().activeRevision() >= 1 &&
        featurePackUpdater().rollbackAfterStartupFailure()) {
        appendDesktopLog("retrying local service after feature pack rollback");
        startAttempts(platform_.timing.startAttemptsAfterRollback, stop);
    }
    bool ready = waitForLocalService(platform_.timing.finalWait, stop);
    if (stop.stop_requested()) return;

    platform_.mainQueue->post([self = shared_from_this(), ready] { self->handleConnectionOutcome(ready); });
}

bool AppDelegate::startAttempts(int count, std::stop_token stop) {
    for (int attempt = 0; attempt < count && !stop.stop_requested(); ++attempt) {
        if (attempt > 0) localPort = findAvailablePort();
        if (startBundledService() && waitForLocalService(platform_.timing.startAttemptWait, stop)) return true;
        abandonBackendProcess();
    }
    return false;
}

void AppDelegate::handleConnectionOutcome(bool ready) {
    connectionWorkerRunning_ = false;
    if (quitting_) return;
    if (ready) {
        loadHome();
        startImportedDraftPolling();
    } else {
        showServiceError(kTimeoutMessage);
        scheduleReconnect();
    }
}

bool AppDelegate::isLocalServiceReady() {
    // The request gives up on its own before the wait for its answer would end, so a late answer
    // can never be mistaken for a current one.
    const double timeout = std::min(platform_.timing.healthRequestTimeout, platform_.timing.healthAnswerWait);
    auto answer = platform_.http->get(healthURL(), timeout);
    // The pack is read when the answer is in, so a rollback during the request is respected.
    return answer && isReadyHealthAnswer(*answer, featurePackUpdater().activeRevision());
}

bool AppDelegate::waitForLocalService(double timeoutSeconds, std::stop_token stop) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeoutSeconds));
    while (Clock::now() < deadline && !stop.stop_requested()) {
        if (isLocalServiceReady()) return true;
        if (!pause(platform_.timing.healthCheckPause, stop)) return false;
    }
    return false;
}

bool AppDelegate::pause(double seconds, std::stop_token stop) {
    std::unique_lock lock(pauseMutex_);
    pauseCondition_.wait_for(lock, stop, std::chrono::duration<double>(seconds), [] { return false; });
    return !stop.stop_requested();
}

void AppDelegate::showConnecting() {
    if (webView) webView->loadHTMLString(connectingPage(homeURL()));
}

void AppDelegate::showServiceError(const std::string& message) {
    if (webView) webView->loadHTMLString(serviceErrorPage(message, homeURL()));
}

void AppDelegate::scheduleReconnect() {
    if (reconnectWorkItem) reconnectWorkItem->cancel();
    std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
    reconnectWorkItem = platform_.mainQueue->postAfter(platform_.timing.reconnectDelay, [weakSelf] {
        if (auto self = weakSelf.lock()) self->connectAndLoad();
    });
}

void AppDelegate::loadHome() {
    if (reconnectWorkItem) reconnectWorkItem->cancel();
    if (webView) webView->loadRequest(homeURL(), platform_.timing.homeRequestTimeout);
}

}  // namespace taviro
