// One connection cycle: the connecting page, a worker that finds or starts a service that
// answers with the right identity and pack, then the service's page or the error page.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "service/ServiceSupervisor.h"

#include "service/ConnectionPages.h"
#include "service/HealthAnswer.h"
#include "platform/ListenerOwner.h"
#include "platform/PortProbe.h"

namespace taviro {
namespace {

constexpr const char* kTimeoutMessage = "本地服务启动超时，正在继续自动重试。";

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", value);
    return text;
}

}  // namespace

std::shared_ptr<ServiceSupervisor> ServiceSupervisor::create(Machine machine, Hooks hooks) {
    return std::shared_ptr<ServiceSupervisor>(new ServiceSupervisor(std::move(machine), std::move(hooks)));
}

ServiceSupervisor::ServiceSupervisor(Machine machine, Hooks hooks) : machine_(std::move(machine)), hooks_(std::move(hooks)) {
    localPort_ = findAvailablePort();
}

// Never waits: the last reference may be the worker's own, released on its thread.
ServiceSupervisor::~ServiceSupervisor() {
    quitting_ = true;
    workerStop_.request_stop();
}

std::string ServiceSupervisor::homeURL() const { return "http://127.0.0.1:" + std::to_string(localPort()) + "/"; }

std::string ServiceSupervisor::healthURL() const {
    return "http://127.0.0.1:" + std::to_string(localPort()) + "/api/local/health";
}

void ServiceSupervisor::stop() {
    quitting_ = true;
    if (reconnectWorkItem_) reconnectWorkItem_->cancel();
    {
        std::lock_guard lock(backendMutex_);
        if (backendProcess_ && backendProcess_->isRunning()) backendProcess_->terminate();
    }
    // A worker still waiting for the service stops at its next check; none starts another one.
    workerStop_.request_stop();
    // Released here, on the main thread: a worker may hold this object's last reference.
    webView_.reset();
}

void ServiceSupervisor::waitUntilWorkerEnded() {
    std::unique_lock lock(workerMutex_);
    workerEnded_.wait(lock, [this] { return !workerActive_; });
}

void ServiceSupervisor::connectionLost(const std::string& message) {
    showServiceError(message);
    scheduleReconnect();
}

void ServiceSupervisor::connectAndLoad() {
    machine_.log("connectAndLoad scheduled");
    if (reconnectWorkItem_) reconnectWorkItem_->cancel();
    showConnecting();
    // One worker at a time: the fields it writes have no other protection. A cycle asked for
    // while one runs is folded into it; its outcome replaces the connecting page shown now.
    auto background = machine_.background.lock();
    if (connectionWorkerRunning_ || quitting_ || !background) return;
    connectionWorkerRunning_ = true;
    {
        std::lock_guard lock(workerMutex_);
        workerActive_ = true;
    }
    std::weak_ptr<ServiceSupervisor> weakSelf = weak_from_this();
    background->post([weakSelf, stop = workerStop_.get_token()] {
        if (auto self = weakSelf.lock()) {
            self->runConnectionWorker(stop);
            self->connectionWorkerEnded();
        }
    });
}

void ServiceSupervisor::connectionWorkerEnded() {
    std::lock_guard lock(workerMutex_);
    workerActive_ = false;
    workerEnded_.notify_all();
}

void ServiceSupervisor::runConnectionWorker(std::stop_token stop) {
    machine_.log("local service worker started");
    machine_.log("ensuring local service on port " + std::to_string(localPort()));

    bool started = isLocalServiceReady();
    if (started) {
        machine_.log("existing local service is ready");
    } else {
        // Whatever else holds the port is not ours to use: start on a port of our own.
        auto child = currentBackendProcess();
        if (!(child && child->isRunning()) && platform::isListening(localPort())) localPort_ = findAvailablePort();
        started = startAttempts(machine_.timing.startAttempts, stop);
    }
    if (!started && !stop.stop_requested() && hooks_.featurePacks().activeRevision() >= 1 &&
        hooks_.featurePacks().rollbackAfterStartupFailure()) {
        // The last attempt's service runs the pack just rolled back.
        abandonBackendProcess("feature pack rolled back");
        machine_.log("retrying local service after feature pack rollback");
        startAttempts(machine_.timing.startAttemptsAfterRollback, stop);
    }
    // The last attempt's service is still running: a slow one gets this wait too.
    bool ready = waitForLocalService(machine_.timing.finalWait, stop);
    if (stop.stop_requested()) return;
    if (!ready) abandonBackendProcess("not ready after " + seconds(machine_.timing.finalWait));

    machine_.mainQueue->post([self = shared_from_this(), ready] { self->handleConnectionOutcome(ready); });
}

bool ServiceSupervisor::startAttempts(int count, std::stop_token stop) {
    for (int attempt = 0; attempt < count && !stop.stop_requested(); ++attempt) {
        if (attempt > 0) {
            localPort_ = findAvailablePort();
            // The connecting page names the address tried now.
            machine_.mainQueue->post([weakSelf = weak_from_this()] {
                auto self = weakSelf.lock();
                if (self && self->connectionWorkerRunning_ && !self->quitting_) self->showConnecting();
            });
        }
        if (startBundledService() && waitForLocalService(machine_.timing.startAttemptWait, stop)) return true;
        // The last one keeps running through the cycle's final wait.
        if (attempt + 1 < count) abandonBackendProcess("not ready after " + seconds(machine_.timing.startAttemptWait));
    }
    return false;
}

void ServiceSupervisor::handleConnectionOutcome(bool ready) {
    connectionWorkerRunning_ = false;
    if (quitting_) return;
    if (ready) {
        loadHome();
        if (hooks_.didConnect) hooks_.didConnect();
    } else {
        showServiceError(kTimeoutMessage);
        scheduleReconnect();
    }
}

bool ServiceSupervisor::isLocalServiceReady(std::optional<std::stop_token> waitForPort) {
    // The request gives up on its own before the wait for its answer would end, so a late answer
    // can never be mistaken for a current one.
    double timeout = std::min(machine_.timing.healthRequestTimeout, machine_.timing.healthAnswerWait);
    if (waitForPort) {
        // A service that starts listening within the request's own time is asked at once, not
        // after the next pause.
        const auto begun = std::chrono::steady_clock::now();
        if (!platform::waitUntilListening(localPort(), timeout, *waitForPort)) return false;
        timeout -= std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
        if (timeout <= 0) return false;
    }
    auto answer = machine_.http->get(healthURL(), timeout);
    if (!answer) return false;
    // The service this shell started is judged by the pack it was given: a rollback the user asks
    // for takes effect at the next launch, never by restarting a healthy service. Any other is
    // judged by the active pack, read when the answer is in.
    auto child = currentBackendProcess();
    const bool ours = child && child->isRunning();
    if (!isReadyHealthAnswer(*answer, ours ? startedRevision_.load() : hooks_.featurePacks().activeRevision())) return false;
    // Another account could bind a port our service left and answer just as well: it is trusted
    // only when the listener is this user's and, once the shell has started one, that service's.
    if (platform::isOwnListener(localPort(), ours ? std::optional(child->pid()) : std::nullopt)) return true;
    machine_.log("the listener on port " + std::to_string(localPort()) + " is not our service");
    return false;
}

bool ServiceSupervisor::waitForLocalService(double timeoutSeconds, std::stop_token stop) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeoutSeconds));
    while (Clock::now() < deadline && !stop.stop_requested()) {
        if (isLocalServiceReady(stop)) return true;
        if (!pause(machine_.timing.healthCheckPause, stop)) return false;
    }
    return false;
}

bool ServiceSupervisor::pause(double seconds, std::stop_token stop) {
    std::unique_lock lock(pauseMutex_);
    pauseCondition_.wait_for(lock, stop, std::chrono::duration<double>(seconds), [] { return false; });
    return !stop.stop_requested();
}

void ServiceSupervisor::showConnecting() {
    if (webView_) webView_->loadHTMLString(connectingPage(homeURL()));
}

void ServiceSupervisor::showServiceError(const std::string& message) {
    // Called on its own, it ends any cycle still waiting to start.
    if (reconnectWorkItem_) reconnectWorkItem_->cancel();
    if (webView_) webView_->loadHTMLString(serviceErrorPage(message, homeURL()));
}

void ServiceSupervisor::scheduleReconnect() {
    if (reconnectWorkItem_) reconnectWorkItem_->cancel();
    std::weak_ptr<ServiceSupervisor> weakSelf = weak_from_this();
    reconnectWorkItem_ = machine_.mainQueue->postAfter(machine_.timing.reconnectDelay, [weakSelf] {
        if (auto self = weakSelf.lock()) self->connectAndLoad();
    });
}

void ServiceSupervisor::loadHome() {
    if (reconnectWorkItem_) reconnectWorkItem_->cancel();
    if (webView_) webView_->loadRequest(homeURL(), machine_.timing.homeRequestTimeout);
}

}  // namespace taviro
