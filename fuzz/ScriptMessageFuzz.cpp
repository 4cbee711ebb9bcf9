// Message bodies the page posts on the shell's three channels. The first byte picks the channel;
// the rest is the body. Dialogs answer at once with a fixed choice, and nothing reaches a screen.
#include "bridge/PageBridge.h"
#include "fuzz/FuzzInput.h"

namespace {

using namespace taviro;

struct SilentWebView : platform::WebView {
    void loadHTMLString(const std::string&) override {}
    void loadRequest(const std::string&, double) override {}
    std::optional<std::string> currentURL() const override { return "http://127.0.0.1:41234/"; }
    void evaluateJavaScript(const std::string&) override {}
};

struct AnsweringDialogs : platform::Dialogs {
    void runOpenPanel(const platform::OpenPanelOptions&,
                      std::function<void(std::optional<std::vector<std::filesystem::path>>)> completion) override {
        completion(std::vector<std::filesystem::path>{"/tmp/素材 folder"});
    }
    void runSavePanel(const platform::SavePanelOptions&,
                      std::function<void(std::optional<std::filesystem::path>)> completion) override {
        completion(std::nullopt);
    }
    void runAlert(const platform::AlertOptions&, std::function<void(int)> completion) override { completion(0); }
};

struct ImmediateQueue : platform::MainQueue {
    struct Task : platform::CancellableTask {
        void cancel() override {}
    };
    void post(std::function<void()> task) override { task(); }
    std::shared_ptr<platform::CancellableTask> postAfter(double, std::function<void()>) override {
        return std::make_shared<Task>();
    }
    std::shared_ptr<platform::CancellableTask> repeatEvery(double, std::function<void()>) override {
        return std::make_shared<Task>();
    }
};

PageBridge& bridge() {
    static std::shared_ptr<PageBridge> made = [] {
        PageBridge::Machine machine;
        machine.mainQueue = std::make_shared<ImmediateQueue>();
        PageBridge::Hooks hooks;
        hooks.startUpdateFlow = [](bool) {};
        hooks.requestManualRollback = [] { return false; };
        auto bridge = PageBridge::create(std::move(machine), std::move(hooks));
        bridge->attach(std::make_shared<SilentWebView>(), std::make_shared<AnsweringDialogs>());
        return bridge;
    }();
    return *made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const auto& channels = PageBridge::scriptMessageChannels();
    bridge().didReceiveScriptMessage(channels[data[0] % channels.size()], fuzz::text(data + 1, size - 1));
    return 0;
}
