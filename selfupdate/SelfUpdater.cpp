#include "selfupdate/SelfUpdater.h"

#include <nlohmann/json.hpp>

#include "platform/DetachedProcess.h"
#include "platform/Files.h"
#include "platform/ReleasePlatform.h"
#include "platform/UpdateSwapScript.h"
#include "selfupdate/InstallSafety.h"
#include "selfupdate/UpdatePreparation.h"

namespace taviro {
namespace {

constexpr const char* kCheckingMessage = "检查中...";
constexpr const char* kVerifyingMessage = "正在校验更新包...";
constexpr const char* kPreparingMessage = "正在准备安装...";
constexpr const char* kRestartingMessage = "即将重启完成更新";
constexpr const char* kNoUpdateMessage = "当前已是最新版";
constexpr const char* kFailedMessage = "更新失败，请重新点击或重新官网下载";
constexpr const char* kFallbackMessage = "当前安装位置无法自动替换，请重新官网下载新版覆盖安装";
constexpr const char* kWriteTestFolderPrefix = ".vorda-update-write-test-";
// Time for the "restarting" report to reach the page before the window goes.
constexpr double kQuitDelaySeconds = 0.8;

}  // namespace

std::shared_ptr<SelfUpdater> SelfUpdater::create(Machine machine) {
    return std::shared_ptr<SelfUpdater>(new SelfUpdater(std::move(machine)));
}

void SelfUpdater::attach(std::shared_ptr<platform::WebView> webView, std::function<void()> requestQuit) {
    webView_ = std::move(webView);
    requestQuit_ = std::move(requestQuit);
}

void SelfUpdater::setUpdateState(UpdateFlowState state) {
    updateState_ = state;
    stateView_ = state;
}

void SelfUpdater::startUpdateFlow(UpdateSource source) {
    // Deferred even on the main thread: two calls in a row run as two tasks, in call order.
    std::weak_ptr<SelfUpdater> weakSelf = weak_from_this();
    machine_.mainQueue->post([weakSelf, source] {
        if (auto self = weakSelf.lock()) self->runUpdateFlow(source);
    });
}

void SelfUpdater::runUpdateFlow(UpdateSource source) {
    const bool manual = source == UpdateSource::manual;
    // A person's click means: restart into the new version as soon as it is ready.
    if (manual) updateShouldRestartWhenReady_ = true;
    if (pendingUpdateIsReady()) {
        if (updateShouldRestartWhenReady_) {
            installPreparedUpdateIfSafe();
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
        if (manual) reportUpdateStatus(rawValue(UpdateFlowState::checking), kCheckingMessage, std::nullopt);
        checkForUpdateAndDownload(source);
        break;
    case UpdateFlowState::checking:
        // One check at a time; a click only hears where it stands.
        if (manual) reportUpdateStatus(rawValue(UpdateFlowState::checking), kCheckingMessage, std::nullopt);
        break;
    case UpdateFlowState::downloading: reportPending(updateState_, updateDownloadingMessage); break;
    case UpdateFlowState::verifying: reportPending(updateState_, kVerifyingMessage); break;
    case UpdateFlowState::preparing: reportPending(updateState_, kPreparingMessage); break;
    case UpdateFlowState::restarting: reportPending(updateState_, kRestartingMessage); break;
    case UpdateFlowState::ready:
        // Only reached when the prepared files are no longer complete.
        if (manual || updateShouldRestartWhenReady_) {
            installPreparedUpdateIfSafe();
        } else {
            reportPending(updateState_, updateReadyMessage);
        }
        break;
    }
}

void SelfUpdater::reportPending(UpdateFlowState state, const char* message) {
    reportUpdateStatus(rawValue(state), message, pendingUpdateVersion_);
}

void SelfUpdater::reportFallback(const std::string& downloadURL) {
    setUpdateState(UpdateFlowState::fallback);
    updateShouldRestartWhenReady_ = false;
    reportUpdateStatus(rawValue(UpdateFlowState::fallback), kFallbackMessage, pendingUpdateVersion_, downloadURL);
}

void SelfUpdater::fail(bool report, const std::string& why) {
    if (machine_.log) machine_.log(why);
    setUpdateState(UpdateFlowState::failed);
    updateShouldRestartWhenReady_ = false;
    if (report) reportUpdateStatus(rawValue(UpdateFlowState::failed), kFailedMessage, std::nullopt);
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
    machine_.mainQueue->post([weakSelf, text] {
        auto self = weakSelf.lock();
        if (!self || !self->webView_) return;
        self->webView_->evaluateJavaScript("window.__receiveUpdateStatus && window.__receiveUpdateStatus(" + text + ");");
    });
}

// ---- release check ----

void SelfUpdater::checkForUpdateAndDownload(UpdateSource source) {
    std::weak_ptr<SelfUpdater> weakSelf = weak_from_this();
    machine_.background->post([weakSelf, source, http = machine_.http, mainQueue = machine_.mainQueue,
                               url = releaseCheckURL(machine_.remoteApiOrigin, machine_.runningVersion),
                               version = machine_.runningVersion, updateRoot = machine_.updateRoot] {
        ReleaseCheckResult result = readReleaseCheck(http->get(url, kReleaseCheckTimeoutSeconds), version);
        // A version this machine rolled back is no update; a newer one is offered as usual.
        if (auto* release = std::get_if<ReleaseDescription>(&result); release && isRefusedVersion(updateRoot, release->version)) {
            result = NoNewerRelease{};
        }
        mainQueue->post([weakSelf, source, result = std::move(result)] {
            if (auto self = weakSelf.lock()) self->applyReleaseCheck(result, source);
        });
    });
}

void SelfUpdater::applyReleaseCheck(const ReleaseCheckResult& result, UpdateSource source) {
    const bool manual = source == UpdateSource::manual;
    if (const auto* error = std::get_if<Error>(&result)) {
        fail(manual, "update check failed: " + error->description);
        return;
    }
    if (std::holds_alternative<NoNewerRelease>(result)) {
        setUpdateState(UpdateFlowState::noUpdate);
        updateShouldRestartWhenReady_ = false;
        if (manual) reportUpdateStatus(rawValue(UpdateFlowState::noUpdate), kNoUpdateMessage, std::nullopt);
        return;
    }
    const auto& release = std::get<ReleaseDescription>(result);
    pendingUpdateVersion_ = release.version;
    if (!canReplaceCurrentAppBundle()) {
        reportFallback(release.downloadURL);
        return;
    }
    downloadAndPrepareUpdate(release);
}

// ---- preparation ----

void SelfUpdater::downloadAndPrepareUpdate(const ReleaseDescription& release) {
    const std::string failed = "update preparation failed version=" + release.version + ": ";
    // Nobody could tell this package from one swapped on the way: it never runs.
    if (auto reason = unverifiableReason(release, machine_.updatePublicKey.has_value())) {
        fail(true, failed + *reason);
        return;
    }
    const auto folder = UpdateFolder::of(machine_.updateRoot, release.version);
    std::error_code error;
    if (!platform::removeTree(folder.folder) || !std::filesystem::create_directories(folder.folder, error)) {
        fail(true, failed + "cannot make " + folder.folder.string());
        return;
    }
    setUpdateState(UpdateFlowState::downloading);
    reportUpdateStatus(rawValue(UpdateFlowState::downloading), updateDownloadingMessage, release.version);

    std::weak_ptr<SelfUpdater> weakSelf = weak_from_this();
    auto quitting = quitting_;
    PreparationTools tools{machine_.http, machine_.runProcess, [quitting] { return quitting->load(); },
                           machine_.updatePublicKey};
    // Only reached with a package to replace.
    machine_.background->post([weakSelf, tools, folder, release, failed, package = *machine_.appPackage,
                               mainQueue = machine_.mainQueue] {
        auto onStep = [&](PreparationStep step) {
            mainQueue->post([weakSelf, step, version = release.version] {
                auto self = weakSelf.lock();
                if (!self) return;
                const bool verifying = step == PreparationStep::verifying;
                auto state = verifying ? UpdateFlowState::verifying : UpdateFlowState::preparing;
                self->setUpdateState(state);
                self->reportUpdateStatus(rawValue(state), verifying ? kVerifyingMessage : kPreparingMessage, version);
            });
        };
        auto prepared = downloadAndPrepare(tools, folder, release, package, onStep);
        mainQueue->post([weakSelf, prepared = std::move(prepared), failed] {
            auto self = weakSelf.lock();
            if (!self) return;
            if (!prepared) {
                self->fail(true, failed + prepared.error().description);
                return;
            }
            self->pendingUpdateScript_ = prepared->script;
            self->pendingUpdateApp_ = prepared->newApp;
            self->pendingUpdateLog_ = prepared->log;
            self->pendingUpdateVersion_ = prepared->version;
            self->setUpdateState(UpdateFlowState::ready);
            self->reportUpdateStatus(rawValue(UpdateFlowState::ready), updateReadyMessage, prepared->version);
            if (self->updateShouldRestartWhenReady_) self->installPreparedUpdateIfSafe();
        });
    });
}

// ---- prepared update, install gate and swap ----

void SelfUpdater::restorePreparedUpdateIfAvailable() {
    // An update belongs to the package it was prepared for.
    if (!machine_.appPackage) return;
    retireFinishedUpdates(machine_.updateRoot, machine_.runningVersion, *machine_.appPackage);
    auto update = findPreparedUpdate(machine_.updateRoot, machine_.runningVersion, *machine_.appPackage);
    if (!update) return;
    pendingUpdateScript_ = update->script;
    pendingUpdateApp_ = update->newApp;
    pendingUpdateLog_ = update->log;
    pendingUpdateVersion_ = update->version;
    setUpdateState(UpdateFlowState::ready);
}

bool SelfUpdater::pendingUpdateIsReady() const {
    return pendingUpdateScript_ && pendingUpdateApp_ && isPreparedUpdateComplete(*pendingUpdateScript_, *pendingUpdateApp_);
}

bool SelfUpdater::canReplaceCurrentAppBundle() const {
    return machine_.appPackage && platform::canReplaceInPlace(*machine_.appPackage, kWriteTestFolderPrefix);
}

std::string SelfUpdater::fullPackageURL() const {
    return machine_.remoteApiOrigin + "/downloads/" + platform::kFullPackageFileName;
}

void SelfUpdater::installPreparedUpdateIfSafe() {
    if (!pendingUpdateIsReady()) {
        // The prepared files went away: look again, as after a click.
        setUpdateState(UpdateFlowState::idle);
        startUpdateFlow(UpdateSource::manual);
        return;
    }
    if (!canReplaceCurrentAppBundle()) {
        reportFallback(fullPackageURL());
        return;
    }
    std::weak_ptr<SelfUpdater> weakSelf = weak_from_this();
    machine_.background->post([weakSelf, http = machine_.http, mainQueue = machine_.mainQueue,
                               url = updateSafetyURL(machine_.localPort ? machine_.localPort() : 0)] {
        InstallSafety answer = readInstallSafety(http->get(url, kInstallSafetyTimeoutSeconds));
        mainQueue->post([weakSelf, mainQueue, answer] {
            auto self = weakSelf.lock();
            if (!self) return;
            if (!answer.safe) {
                self->setUpdateState(UpdateFlowState::blocked);
                self->reportUpdateStatus(rawValue(UpdateFlowState::blocked), answer.message, self->pendingUpdateVersion_);
                return;
            }
            self->setUpdateState(UpdateFlowState::restarting);
            self->reportPending(UpdateFlowState::restarting, kRestartingMessage);
            mainQueue->postAfter(kQuitDelaySeconds, [weakSelf] {
                auto self = weakSelf.lock();
                if (self && self->requestQuit_) self->requestQuit_();
            });
        });
    });
}

void SelfUpdater::runPendingUpdateIfNeeded() {
    if (!pendingUpdateScript_ || !pendingUpdateApp_ || !pendingUpdateLog_) return;
    if (!isPreparedUpdateComplete(*pendingUpdateScript_, *pendingUpdateApp_) || !canReplaceCurrentAppBundle()) return;
    // Not waited for: the script outlives us and waits for us to be gone.
    (void)platform::launchDetached(platform::kSwapScriptInterpreter,
                                   platform::updateSwapArguments(*pendingUpdateScript_, *machine_.appPackage,
                                                                 *pendingUpdateApp_, *pendingUpdateLog_, machine_.desktopLog),
                                   *pendingUpdateLog_);
}

void SelfUpdater::didShowFirstPage() {
    if (!machine_.launchProof) return;
    // Once: the script only looks for the file.
    (void)platform::writeFileAtomically(*std::exchange(machine_.launchProof, std::nullopt), "", 0644);
}

}  // namespace taviro
