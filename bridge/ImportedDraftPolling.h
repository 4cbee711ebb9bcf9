#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Executor.h"
#include "platform/HttpClient.h"
#include "platform/MainQueue.h"
#include "platform/WebView.h"

namespace taviro {

struct ImportedDraftsAnswer {
    std::int64_t pending;
    std::string latestDraftID;
};

// A 2xx answer whose body is a JSON object; its two members read as the service means them.
std::optional<ImportedDraftsAnswer> readImportedDraftsAnswer(const Result<platform::HttpResponse>& response);

// Brings newly imported drafts to the user's attention: after each connection it asks the
// service every 1.5 s how many imported drafts wait and which is newest, and shows the manual-
// input page when a new one is pending.
//
// Threads: main thread; each request runs on the background queue and its answer is decided
// on the main thread. At most one request is in flight: a slow service gets no pile of them.
class ImportedDraftPolling : public std::enable_shared_from_this<ImportedDraftPolling> {
public:
    struct Machine {
        std::shared_ptr<platform::MainQueue> mainQueue;
        std::weak_ptr<platform::ConcurrentQueue> background;
        std::shared_ptr<platform::HttpClient> http;
        // The service's port now.
        std::function<int()> localPort;
    };

    static constexpr double pollIntervalSeconds = 1.5;
    static constexpr double pollTimeoutSeconds = 1.0;
    static constexpr double pageTimeoutSeconds = 20.0;

    static std::shared_ptr<ImportedDraftPolling> create(Machine machine);
    ~ImportedDraftPolling();

    void setWebView(std::shared_ptr<platform::WebView> webView) { webView_ = std::move(webView); }
    // Polls now and then every interval, replacing an earlier timer.
    void start();
    void stop();
    void pollImportedDrafts();
    // One answer: the waiting count and the newest draft's identifier.
    void handleAnswer(std::int64_t pending, const std::string& latestDraftID);

private:
    explicit ImportedDraftPolling(Machine machine) : machine_(std::move(machine)) {}

    Machine machine_;
    std::shared_ptr<platform::WebView> webView_;
    std::shared_ptr<platform::CancellableTask> importPollTimer_;
    std::string lastImportedDraftID_;
    bool didCompleteFirstImportPoll_ = false;
    bool pollInFlight_ = false;
};

}  // namespace taviro
