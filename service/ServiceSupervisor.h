#pragma once

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

#include "featurepack/FeaturePackUpdater.h"
#include "lib/Logger.h"
#include "platform/ChildProcess.h"
#include "platform/Executor.h"
#include "platform/HttpClient.h"
#include "platform/MainQueue.h"
#include "platform/PackageLayout.h"
#include "platform/WebView.h"
#include "service/InstallationIdentity.h"
#include "service/ServiceTiming.h"

namespace taviro {

// Finds or starts the bundled local service on 127.0.0.1 and shows its page: the connecting
// page, a worker that reuses a service that answers with the right identity and pack or starts
// one, then the service's page or the error page with the next cycle two seconds later.
//
// Threads: the operations marked "main thread" touch the web view and the reconnect task; the
// connection worker runs on the background queue and only calls the "any thread" operations.
class ServiceSupervisor : public std::enable_shared_from_this<ServiceSupervisor> {
public:
    struct Machine {
        std::shared_ptr<platform::MainQueue> mainQueue;
        // Where the connection worker runs. Held weakly: the worker may drop the last reference
        // to this object on the queue's own thread, which must never end the queue.
        std::weak_ptr<platform::ConcurrentQueue> background;
        std::shared_ptr<platform::HttpClient> http;
        IdentitySources identity;
        // The running package; absent when there is none (nothing can be started then).
        std::optional<platform::PackageLayout> package;
        // The service's data root and the log file its output is appended to.
        std::filesystem::path dataRoot;
        std::filesystem::path logFile;
        // "https://host[:port]" of the remote API, handed on to the service.
        std::string remoteApiOrigin;
        ServiceTiming timing;
        Logger log;
    };
    struct Hooks {
        // The feature-pack store, created on first use; called from any thread.
        std::function<FeaturePackUpdater&()> featurePacks;
        // Main thread, after each connection whose service page is being loaded.
        std::function<void()> didConnect;
    };

    static std::shared_ptr<ServiceSupervisor> create(Machine machine, Hooks hooks);
    ~ServiceSupervisor();
    ServiceSupervisor(const ServiceSupervisor&) = delete;
    ServiceSupervisor& operator=(const ServiceSupervisor&) = delete;

    // Main thread.
    void setWebView(std::shared_ptr<platform::WebView> webView) { webView_ = std::move(webView); }
    // Looks the installation identity up on the background queue now, so that the first start
    // of the service does not wait for the keychain; every start then uses that answer. Call it
    // before the first `connectAndLoad`.
    void resolveIdentityInBackground();
    void connectAndLoad();
    void loadHome();
    // A failed page load: the error page with `message`, then a new cycle.
    void connectionLost(const std::string& message);
    // The error page with `message` and nothing after it: the next cycle is the person's retry.
    void showServiceError(const std::string& message);
    // The quit sequence's part: no further cycle, the service asked to stop.
    // Never waits: a worker inside a health request or a start ends on its own, and a child it
    // starts meanwhile is stopped as well.
    void stop();
    // Waits until no connection worker runs: for the owner of what the hooks reach, before it
    // goes away (after the event loop has ended, never on it).
    void waitUntilWorkerEnded();
    bool isConnectionWorkerRunning() const { return connectionWorkerRunning_; }

    // Any thread.
    int localPort() const { return localPort_.load(); }
    std::string homeURL() const;
    std::string healthURL() const;
    static int findAvailablePort();
    bool startBundledService();
    // With `waitForPort`, the check first waits (within its own time) for the port to accept
    // connections instead of failing on the first refusal.
    bool isLocalServiceReady(std::optional<std::stop_token> waitForPort = std::nullopt);
    // Cut short by a stop request (the application is quitting).
    bool waitForLocalService(double timeoutSeconds, std::stop_token stop = {});
    std::shared_ptr<platform::ChildProcess> currentBackendProcess();

private:
    ServiceSupervisor(Machine machine, Hooks hooks);

    // Main thread.
    void showConnecting();
    void scheduleReconnect();
    void handleConnectionOutcome(bool ready);

    // Connection worker.
    void runConnectionWorker(std::stop_token stop);
    void connectionWorkerEnded();
    // Up to `count` starts, each but the first on a fresh port; true once one became ready.
    bool startAttempts(int count, std::stop_token stop);
    // Sleeps up to `seconds`; false when the wait was cut short by a stop request.
    bool pause(double seconds, std::stop_token stop);
    // Stops the current child, saying why in the log.
    void abandonBackendProcess(const std::string& reason);
    // The service environment for the current port and pack, built from `inherited`.
    std::map<std::string, std::string> serviceEnvironment(std::map<std::string, std::string> inherited);

    Machine machine_;
    Hooks hooks_;
    std::shared_ptr<platform::WebView> webView_;
    // Set on the main thread before any worker runs; read by the starts.
    std::shared_future<ResolvedIdentity> identity_;
    std::atomic<bool> identityTaken_{false};

    // Written by the connection worker, read anywhere.
    std::atomic<int> localPort_{0};
    std::atomic<bool> quitting_{false};
    // Held by a start from the first check to the published child.
    std::mutex startMutex_;
    // Guarded by backendMutex_, held only briefly.
    std::mutex backendMutex_;
    std::shared_ptr<platform::ChildProcess> backendProcess_;
    // The pack revision the current child was given.
    std::atomic<std::int64_t> startedRevision_{0};

    // Main thread. One connection worker at a time.
    std::shared_ptr<platform::CancellableTask> reconnectWorkItem_;
    bool connectionWorkerRunning_ = false;
    std::stop_source workerStop_;
    // Whether a worker is still on the background queue; guarded by workerMutex_.
    std::mutex workerMutex_;
    std::condition_variable workerEnded_;
    bool workerActive_ = false;
    std::mutex pauseMutex_;
    std::condition_variable_any pauseCondition_;
};

}  // namespace taviro
