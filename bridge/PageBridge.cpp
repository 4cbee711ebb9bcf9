#include "bridge/PageBridge.h"

#include <nlohmann/json.hpp>

#include "lib/JavaScriptLiteral.h"
#include "lib/Text.h"

namespace taviro {
namespace {

using Paths = std::vector<std::filesystem::path>;

constexpr const char* kConfirmLabel = "选择";
const platform::FileFilter kSpreadsheets{
    "Excel 表格", {"*.xlsx"}, {"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"}};
const platform::FileFilter kPlainText{"纯文本", {"*.txt"}, {"text/plain"}};

// A body key's text; absent when the key is missing or its value is not text.
std::optional<std::string> textOf(const nlohmann::json& body, const char* key) {
    auto found = body.find(key);
    if (found == body.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

}  // namespace

std::shared_ptr<PageBridge> PageBridge::create(Machine machine, Hooks hooks) {
    return std::shared_ptr<PageBridge>(new PageBridge(std::move(machine), std::move(hooks)));
}

const std::vector<std::string>& PageBridge::scriptMessageChannels() {
    static const std::vector<std::string> channels{"pathPicker", "updateChecker", "featurePackRollback"};
    return channels;
}

void PageBridge::attach(std::shared_ptr<platform::WebView> webView, std::shared_ptr<platform::Dialogs> dialogs) {
    webView_ = std::move(webView);
    dialogs_ = std::move(dialogs);
}

void PageBridge::didReceiveScriptMessage(const std::string& channel, const std::string& bodyJSON) {
    // Only an object counts: a string, number, array or null is no request at all.
    auto body = nlohmann::json::parse(bodyJSON, nullptr, /*allow_exceptions=*/false);
    if (!body.is_object()) return;
    if (channel == "pathPicker") {
        auto kind = textOf(body, "kind"), target = textOf(body, "target");
        if (kind && target) {
            openPathPicker(*kind, textOf(body, "purpose").value_or(""), *target, textOf(body, "currentValue").value_or(""));
        }
    } else if (channel == "updateChecker" && textOf(body, "action") == "checkAndInstallUpdate") {
        if (hooks_.startUpdateFlow) hooks_.startUpdateFlow(textOf(body, "source") == "auto");
    } else if (channel == "featurePackRollback" && textOf(body, "action") == "rollback") {
        requestRollback();
    }
}

void PageBridge::requestRollback() {
    const bool scheduled = hooks_.requestManualRollback && hooks_.requestManualRollback();
    if (!dialogs_) return;
    platform::AlertOptions alert;
    alert.attachedToWindow = false;  // it concerns the application, not the page in the window
    if (scheduled) {
        alert.style = platform::AlertStyle::informational;
        alert.message = "已准备恢复上一功能包";
        alert.informativeText = "退出并重新打开软件后生效。";
    } else {
        alert.style = platform::AlertStyle::warning;
        alert.message = "没有可恢复的上一功能包";
        alert.informativeText = "当前正在使用内置功能包，或上一功能包已损坏。";
    }
    dialogs_->runAlert(alert, [](int) {});
}

std::optional<std::filesystem::path> PageBridge::initialDirectory(const std::string& currentValue, bool directoryMode) {
    std::string trimmed = trimWhitespaceAndNewlines(currentValue);
    if (trimmed.empty()) return std::nullopt;
    std::filesystem::path path = trimmed;
    if (!directoryMode) path = path.parent_path();
    if (path.empty()) return std::nullopt;  // a bare file name names no folder
    return path;
}

platform::OpenPanelOptions PageBridge::pathPickerOptions(const std::string& kind, const std::string& purpose,
                                                         const std::string& currentValue) {
    platform::OpenPanelOptions options;
    options.confirmLabel = kConfirmLabel;
    options.chooseFolders = kind == "directory";
    options.canCreateFolders = options.chooseFolders && purpose != "material";
    if (options.chooseFolders) {
        options.title = purpose == "material" ? "选择产品素材文件夹" : "选择导出成功文件夹";
    } else {
        options.title = "选择文案表格";
        options.filters = {kSpreadsheets};
    }
    options.startFolder = initialDirectory(currentValue, options.chooseFolders);
    return options;
}

void PageBridge::openPathPicker(const std::string& kind, const std::string& purpose, const std::string& target,
                                const std::string& currentValue) {
    if (!dialogs_) return;
    std::weak_ptr<PageBridge> weakSelf = weak_from_this();
    dialogs_->runOpenPanel(pathPickerOptions(kind, purpose, currentValue), [weakSelf, target](std::optional<Paths> chosen) {
        auto self = weakSelf.lock();
        if (!self || !chosen || chosen->empty() || !self->webView_) return;
        self->webView_->evaluateJavaScript("window.__receivePickedPath(" + javaScriptLiteral(target) + ", " +
                                           javaScriptLiteral(chosen->front().string()) + ");");
    });
}

bool PageBridge::runOpenPanel(bool allowsMultipleSelection, std::function<void(std::optional<Paths>)> completion) {
    if (!dialogs_) return false;
    platform::OpenPanelOptions options;
    options.title = "选择文件";
    options.confirmLabel = kConfirmLabel;
    options.allowsMultipleSelection = allowsMultipleSelection;
    dialogs_->runOpenPanel(options, std::move(completion));
    return true;
}

void PageBridge::saveDiagnostics(const std::string& url) {
    if (!dialogs_) return;
    platform::SavePanelOptions options;
    options.title = "保存诊断日志";
    options.confirmLabel = "保存";
    options.suggestedName = "诊断日志.txt";
    options.filters = {kPlainText};
    std::weak_ptr<PageBridge> weakSelf = weak_from_this();
    dialogs_->runSavePanel(options, [weakSelf, url](std::optional<std::filesystem::path> destination) {
        auto self = weakSelf.lock();
        if (!self || !destination) return;
        auto background = self->machine_.background.lock();
        if (!background) return;
        // The worker holds no reference to this object: its last one must go on the main thread,
        // where the web view it holds lives.
        background->post([weakSelf, url, to = *destination, http = self->machine_.http,
                          mainQueue = self->machine_.mainQueue] {
            Alert alert = downloadDiagnostics(*http, url, to);
            mainQueue->post([weakSelf, alert] {
                if (auto self = weakSelf.lock()) self->showAlert(alert);
            });
        });
    });
}

void PageBridge::chooseDownloadDestination(const std::string& suggestedName,
                                           std::function<void(std::optional<std::filesystem::path>)> completion) {
    if (!dialogs_) return completion(std::nullopt);
    platform::SavePanelOptions options;
    options.title = "保存文件";
    options.confirmLabel = "保存";
    // A name, never a path: whatever the page suggests cannot pick the folder.
    options.suggestedName = std::filesystem::path(suggestedName).filename().string();
    if (options.suggestedName.empty() || options.suggestedName == "." || options.suggestedName == "..") {
        options.suggestedName = "未命名文件";
    }
    dialogs_->runSavePanel(options, std::move(completion));
}

void PageBridge::downloadEnded(const std::filesystem::path& destination, const std::optional<Error>& failure) {
    if (failure) return showAlert({"文件保存失败", failure->description, platform::AlertStyle::warning});
    showAlert({"文件已保存", destination.string(), platform::AlertStyle::informational});
}

PageBridge::Alert PageBridge::downloadDiagnostics(platform::HttpClient& http, const std::string& from,
                                                  const std::filesystem::path& to) {
    // The body replaces the destination only once all of it has arrived with a 2xx status; on
    // any failure the old file stays as it was.
    platform::DownloadOptions options;
    options.timeoutSeconds = diagnosticsTimeoutSeconds;
    auto status = http.download(from, to, options);
    constexpr const char* kFailed = "诊断日志保存失败";
    if (!status) return {kFailed, status.error().description, platform::AlertStyle::warning};
    if (*status >= 200 && *status < 300) return {"诊断日志已保存", to.string(), platform::AlertStyle::informational};
    return {kFailed, "本地服务没有返回可保存的诊断日志。", platform::AlertStyle::warning};
}

void PageBridge::showAlert(const Alert& alert) {
    if (!dialogs_) return;
    platform::AlertOptions options;
    options.style = alert.style;
    options.message = alert.title;
    options.informativeText = alert.message;
    dialogs_->runAlert(options, [](int) {});
}

}  // namespace taviro
