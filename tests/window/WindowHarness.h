#pragma once

#include <functional>
#include <webkit2/webkit2.h>

#include "platform/ApplicationHost.h"
#include "platform/WebErrors.h"

namespace taviro::test::window {

// What the web view told its owner, in order: "ask URL", "finish", a failure as "cancelled" (an
// interrupted load counts as one), "timeout" or "failed", "CHANNEL BODY", "terminated N" (the
// reason's number), "download NAME" and "saved PATH" or "not saved". Addresses with "refused"
// in them are refused; file inputs go to `openPanel`; downloads go to `saveAs`, or nowhere.
struct RecordingDelegate final : platform::WebViewDelegate {
    using Files = std::optional<std::vector<std::filesystem::path>>;
    std::vector<std::string> events;
    std::function<bool(std::function<void(Files)>)> openPanel;
    std::optional<std::filesystem::path> saveAs;

    bool decidePolicyForNavigation(const std::optional<std::string>& url) override {
        events.push_back("ask " + url.value_or(""));
        return !events.back().contains("refused");
    }
    void didFinishNavigation() override { events.push_back("finish"); }
    void didFailNavigation(const Error& e) override {
        using namespace platform;
        bool url = e.domain == kUrlLoadingErrorDomain, webKit = e.domain == kWebKitErrorDomain;
        bool cancelled = (url && e.code == kUrlLoadingCancelledCode) || (webKit && e.code == kFrameLoadInterruptedCode);
        events.push_back(cancelled ? "cancelled" : url && e.code == -1001 ? "timeout" : "failed");
    }
    void webProcessTerminated(platform::WebProcessTermination reason) override {
        events.push_back("terminated " + std::to_string(int(reason)));
    }
    void chooseDownloadDestination(const std::string& name, std::function<void(std::optional<std::filesystem::path>)> answer) override {
        events.push_back("download " + name);
        answer(saveAs);
    }
    void downloadEnded(const std::filesystem::path& path, const std::optional<Error>& failure) override {
        events.push_back(failure ? "not saved" : "saved " + path.string());
    }
    void didReceiveScriptMessage(const std::string& channel, const std::string& body) override {
        events.push_back(channel + " " + body);
    }
    bool runOpenPanel(bool, std::function<void(Files)> answer) override {
        return openPanel && openPanel(std::move(answer));
    }
};

// The running application the tests share, set up as the shell sets it up.
inline struct Harness {
    platform::ApplicationHost* host = nullptr;
    std::shared_ptr<platform::WebView> view;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    GtkWindow* window = nullptr;
    int loadStarts = 0;  // as WebKit itself reports them
} harness;

}  // namespace taviro::test::window
