#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Dialogs.h"
#include "platform/Executor.h"
#include "platform/HttpClient.h"
#include "platform/MainQueue.h"
#include "platform/WebView.h"

namespace taviro {

// What the page asks of the shell: its script messages (folder and spreadsheet pickers, the
// self-update, a feature-pack rollback), its file inputs and its diagnostics links.
//
// Threads: every operation runs on the main thread; a diagnostics download runs on the
// background queue, holding no reference to this object, and reports through the main queue.
// Dialog completions hold this object weakly: an answer that comes after it has gone does
// nothing.
class PageBridge : public std::enable_shared_from_this<PageBridge> {
public:
    struct Machine {
        std::shared_ptr<platform::MainQueue> mainQueue;
        std::weak_ptr<platform::ConcurrentQueue> background;
        std::shared_ptr<platform::HttpClient> http;
    };
    struct Hooks {
        // The page's update button: true for the page's automatic request, false for a person's.
        std::function<void(bool automatic)> startUpdateFlow;
        // Schedules the previous feature pack for the next launch; true when there is one.
        std::function<bool()> requestManualRollback;
    };

    static constexpr double diagnosticsTimeoutSeconds = 30.0;

    static std::shared_ptr<PageBridge> create(Machine machine, Hooks hooks);
    static const std::vector<std::string>& scriptMessageChannels();

    // The window's web view and dialogs, once they exist.
    void attach(std::shared_ptr<platform::WebView> webView, std::shared_ptr<platform::Dialogs> dialogs);

    void didReceiveScriptMessage(const std::string& channel, const std::string& bodyJSON);
    void openPathPicker(const std::string& kind, const std::string& purpose, const std::string& target,
                        const std::string& currentValue);
    // A file input's request; always answered, with the chosen files or nothing.
    bool runOpenPanel(bool allowsMultipleSelection,
                      std::function<void(std::optional<std::vector<std::filesystem::path>>)> completion);
    // A job's diagnostics link: asks where to save the log, downloads it there, and says how it went.
    void saveDiagnostics(const std::string& url);
    // A download the page started: asks where to save it, proposing `suggestedName`.
    void chooseDownloadDestination(const std::string& suggestedName,
                                   std::function<void(std::optional<std::filesystem::path>)> completion);
    // Says how a download with a destination went.
    void downloadEnded(const std::filesystem::path& destination, const std::optional<Error>& failure);

    // The picker a "pathPicker" message asks for.
    static platform::OpenPanelOptions pathPickerOptions(const std::string& kind, const std::string& purpose,
                                                        const std::string& currentValue);
    // Where a picker starts: the folder named by `currentValue`, or the one holding the file it
    // names; absent when it names nothing.
    static std::optional<std::filesystem::path> initialDirectory(const std::string& currentValue, bool directoryMode);

private:
    PageBridge(Machine machine, Hooks hooks) : machine_(std::move(machine)), hooks_(std::move(hooks)) {}

    struct Alert {
        std::string title, message;
        platform::AlertStyle style;
    };

    void requestRollback();
    // Background queue: the download and the alert that tells how it went.
    static Alert downloadDiagnostics(platform::HttpClient& http, const std::string& from, const std::filesystem::path& to);
    void showAlert(const Alert& alert);

    Machine machine_;
    Hooks hooks_;
    std::shared_ptr<platform::WebView> webView_;
    std::shared_ptr<platform::Dialogs> dialogs_;
};

}  // namespace taviro
