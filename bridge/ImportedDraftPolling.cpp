#include "bridge/ImportedDraftPolling.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <utility>

#include "lib/JsonNumbers.h"
#include "lib/UrlParts.h"

namespace taviro {
namespace {

bool showsManualInput(const std::optional<std::string>& url) {
    auto parts = url ? parseUrl(*url) : std::nullopt;
    return parts && parts->path == "/" && parts->query && parts->query->find("input=manual") != std::string::npos;
}

}  // namespace

std::optional<ImportedDraftsAnswer> readImportedDraftsAnswer(const Result<platform::HttpResponse>& response) {
    if (!response || response->status < 200 || response->status >= 300 || !response->body) return std::nullopt;
    auto body = nlohmann::json::parse(*response->body, nullptr, /*allow_exceptions=*/false);
    if (!body.is_object()) return std::nullopt;
    ImportedDraftsAnswer answer{0, ""};
    if (auto pending = body.find("pending"); pending != body.end()) answer.pending = exactInt64(*pending).value_or(0);
    if (auto id = body.find("latestImportDraftId"); id != body.end() && id->is_string()) answer.latestDraftID = *id;
    return answer;
}

std::shared_ptr<ImportedDraftPolling> ImportedDraftPolling::create(Machine machine) {
    return std::shared_ptr<ImportedDraftPolling>(new ImportedDraftPolling(std::move(machine)));
}

ImportedDraftPolling::~ImportedDraftPolling() { stop(); }

void ImportedDraftPolling::start() {
    stop();
    pollImportedDrafts();
    std::weak_ptr<ImportedDraftPolling> weakSelf = weak_from_this();
    importPollTimer_ = machine_.mainQueue->repeatEvery(pollIntervalSeconds, [weakSelf] {
        if (auto self = weakSelf.lock()) self->pollImportedDrafts();
    });
}

void ImportedDraftPolling::stop() {
    if (importPollTimer_) importPollTimer_->cancel();
    importPollTimer_.reset();
}

void ImportedDraftPolling::pollImportedDrafts() {
    auto background = machine_.background.lock();
    if (pollInFlight_ || !background) return;
    pollInFlight_ = true;
    const std::string url = "http://127.0.0.1:" + std::to_string(machine_.localPort()) + "/api/imported-drafts/meta";
    std::weak_ptr<ImportedDraftPolling> weakSelf = weak_from_this();
    background->post([weakSelf, url, http = machine_.http, mainQueue = machine_.mainQueue] {
        auto answer = readImportedDraftsAnswer(http->get(url, pollTimeoutSeconds));
        mainQueue->post([weakSelf, answer] {
            auto self = weakSelf.lock();
            if (!self) return;
            self->pollInFlight_ = false;
            if (answer) self->handleAnswer(answer->pending, answer->latestDraftID);
        });
    });
}

void ImportedDraftPolling::handleAnswer(std::int64_t pending, const std::string& latestDraftID) {
    // The first answer of the process shows a waiting draft however old; later ones only a new one.
    const bool changed = pending >= 1 && (!didCompleteFirstImportPoll_ || latestDraftID != lastImportedDraftID_);
    didCompleteFirstImportPoll_ = true;
    lastImportedDraftID_ = latestDraftID;
    if (!changed || !webView_ || showsManualInput(webView_->currentURL())) return;
    webView_->loadRequest("http://127.0.0.1:" + std::to_string(machine_.localPort()) + "/?input=manual",
                          pageTimeoutSeconds);
}

}  // namespace taviro
