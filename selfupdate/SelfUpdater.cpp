#include "selfupdate/SelfUpdater.h"

#include <nlohmann/json.hpp>

namespace taviro {

std::shared_ptr<SelfUpdater> SelfUpdater::create(std::shared_ptr<platform::MainQueue> mainQueue, Steps steps) {
    return std::shared_ptr<SelfUpdater>(new SelfUpdater(std::move(mainQueue), std::move(steps)));
}

void SelfUpdater::setUpdateState(UpdateFlowState state) {
    updateState_ = state;
    stateView_ = state;
}

void SelfUpdater::startUpdateFlow(UpdateSource source) {
    // Deferred even on the main thread: two calls in a row run as two tasks, in call order.
    std::weak_ptr<SelfUpdater> weakSelf = weak_from_this();
    mainQueue_->post([weakSelf, source] {
        if (auto self = weakSelf.lock()) self->runUpdateFlow(source);
    });
}

void SelfUpdater::runUpdateFlow(UpdateSource source) {
    const bool manual = source == UpdateSource::manual;
    const bool prepared = steps_.pendingUpdateIsReady && steps_.pendingUpdateIsReady();
    // A person's click means: restart into the new version as soon as it is ready.
    if (manual) updateShouldRestartWhenReady_ = true;
    if (prepared) {
        if (updateShouldRestartWhenReady_) {
            if (steps_.installPreparedUpdateIfSafe) steps_.installPreparedUpdateIfSafe();
        } else {
            setUpdateState(UpdateFlowState::ready);
            reportPending(UpdateFlowState::ready, updateReadyMessage);
        }
        return;
    }
    switch (updateState_) {
    case UpdateFlowState::idle:
    case UpdateFlowState::noUpdate:
    case UpdateFlowState::blocked:
    case UpdateFlowState::failed:
    case UpdateFlowState::fallback:
        setUpdateState(UpdateFlowState::checking);
        if (manual) reportUpdateStatus(rawValue(UpdateFlowState::checking), "检查中...", std::nullopt);
        if (steps_.checkForUpdateAndDownload) steps_.checkForUpdateAndDownload(source);
        break;
    case UpdateFlowState::checking:
        // One check at a time; a click only hears where it stands.
        if (manual) reportUpdateStatus(rawValue(UpdateFlowState::checking), "检查中...", std::nullopt);
        break;
    case UpdateFlowState::downloading: reportPending(updateState_, updateDownloadingMessage); break;
    case UpdateFlowState::verifying: reportPending(updateState_, "正在校验更新包..."); break;
    case UpdateFlowState::preparing: reportPending(updateState_, "正在准备安装..."); break;
    case UpdateFlowState::restarting: reportPending(updateState_, "即将重启完成更新"); break;
    case UpdateFlowState::ready:
        // Only reached when the prepared files are no longer complete.
        if (manual || updateShouldRestartWhenReady_) {
            if (steps_.installPreparedUpdateIfSafe) steps_.installPreparedUpdateIfSafe();
        } else {
            reportPending(updateState_, updateReadyMessage);
        }
        break;
    }
}

void SelfUpdater::reportPending(UpdateFlowState state, const char* message) {
    reportUpdateStatus(rawValue(state), message, pendingUpdateVersion_);
}

void SelfUpdater::reportUpdateStatus(std::string_view state, const std::string& message,
                                     const std::optional<std::string>& version,
                                     const std::optional<std::string>& downloadURL) {
    nlohmann::json report = {{"state", state}, {"message", message}};
    if (version) report["version"] = *version;
    if (downloadURL) report["download_url"] = *downloadURL;
    std::string text;
    try {
        text = report.dump();
    } catch (const nlohmann::json::exception&) {
        return;  // not valid UTF-8: the page gets nothing rather than a broken report
    }
    std::weak_ptr<SelfUpdater> weakSelf = weak_from_this();
    mainQueue_->post([weakSelf, text] {
        auto self = weakSelf.lock();
        if (!self || !self->webView_) return;
        self->webView_->evaluateJavaScript("window.__receiveUpdateStatus && window.__receiveUpdateStatus(" + text + ");");
    });
}

}  // namespace taviro
