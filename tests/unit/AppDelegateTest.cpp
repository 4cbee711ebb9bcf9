#include <gtest/gtest.h>

#include "tests/support/ShellHarness.h"

using namespace taviro;

namespace {

// Records what the launch sequence asks of the window system, in order.
class RecordingHost final : public platform::ApplicationHost {
public:
    explicit RecordingHost(std::shared_ptr<test::RecordingWebView> view) : view_(std::move(view)) {}
    void setRegularActivationPolicy() override { calls.push_back("activation policy"); }
    void installMainMenu(const std::vector<platform::Menu>&, std::function<void(platform::MenuAction)> onAction) override {
        calls.push_back("menu");
        menuAction = std::move(onAction);
    }
    std::shared_ptr<platform::WebView> createWebView(const std::vector<std::string>& registered,
                                                     std::weak_ptr<platform::WebViewDelegate> delegate) override {
        calls.push_back("web view");
        channels = registered;
        webViewDelegate = delegate;
        return view_;
    }
    void createAndShowWindow(const platform::WindowSpec&) override { calls.push_back("window"); }
    void requestQuit() override { calls.push_back("quit"); }
    std::shared_ptr<platform::Dialogs> dialogs() override { return nullptr; }

    std::vector<std::string> calls;
    std::function<void(platform::MenuAction)> menuAction;
    std::vector<std::string> channels;
    std::weak_ptr<platform::WebViewDelegate> webViewDelegate;

private:
    std::shared_ptr<test::RecordingWebView> view_;
};

}  // namespace

TEST(AppDelegate, LaunchesInOrderWiresTheWebViewAndTheMenuAndQuits) {
    test::ShellFixture shell;
    std::vector<std::vector<std::string>> toolRuns;
    auto unitFile = shell.home / ".config" / "systemd" / "user" / "com.ostrelin.video-web.service";
    test::writeFile(unitFile, "[Unit]\n");
    // The tool's failure (no user service manager here) must not matter.
    shell.runProcess = [&](const std::string& tool, const std::vector<std::string>& arguments) {
        toolRuns.push_back({tool});
        toolRuns.back().insert(toolRuns.back().end(), arguments.begin(), arguments.end());
        return 1;
    };
    auto delegate = shell.makeDelegate();
    RecordingHost host(shell.webView);
    delegate->applicationDidFinishLaunching(host);

    EXPECT_EQ(host.calls, (std::vector<std::string>{"activation policy", "menu", "web view", "window"}));
    EXPECT_EQ(host.channels, (std::vector<std::string>{"pathPicker", "updateChecker", "featurePackRollback"}));
    EXPECT_EQ(host.webViewDelegate.lock().get(), delegate.get());
    EXPECT_EQ(toolRuns, (std::vector<std::vector<std::string>>{
                            {"/usr/bin/systemctl", "--user", "stop", "com.ostrelin.video-web.service"},
                            {"/usr/bin/systemctl", "--user", "disable", "com.ostrelin.video-web.service"}}));
    EXPECT_FALSE(std::filesystem::exists(unitFile));
    std::vector<std::string> launchLines;
    for (const auto& line : shell.desktopLog()) {
        if (!line.starts_with("feature pack") || line.starts_with("feature pack prepared")) launchLines.push_back(line);
        if (line == "connectAndLoad scheduled") break;
    }
    EXPECT_EQ(launchLines, (std::vector<std::string>{"desktop application launched", "activation policy configured", "menu built",
                                                     "window built", "legacy launch agent disabled",
                                                     "feature pack prepared revision=0", "prepared update state restored",
                                                     "connectAndLoad scheduled"}));
    EXPECT_TRUE(shell.webView->shows("正在连接本地服务"));

    // The view menu reaches the service supervision; quitting is the host's own.
    const std::string home = delegate->serviceSupervisor().homeURL();
    host.menuAction(platform::MenuAction::openInBrowser);
    EXPECT_EQ(shell.browser->opened, std::vector<std::string>{home});
    host.menuAction(platform::MenuAction::loadHome);
    EXPECT_EQ(shell.webView->loads.back().content, home);
    host.menuAction(platform::MenuAction::terminate);
    EXPECT_EQ(host.calls.back(), "window");

    // A crashed web process brings the connecting page back through a new cycle.
    delegate->webProcessTerminated();
    EXPECT_EQ(shell.logCount("web content process terminated"), 1);
    EXPECT_TRUE(shell.webView->shows("正在连接本地服务"));
    delegate->applicationWillTerminate();
}

TEST(AppDelegate, TheUpdaterVersionComesFromThePackage) {
    const struct {
        std::optional<std::string> plist;
        std::string version;
    } cases[] = {
        {R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict><key>CFBundleName</key><string>Taviro</string>
<key>CFBundleShortVersionString</key><string>1.0.73</string></dict></plist>)", "1.0.73"},
        {R"(<plist><dict><key>CFBundleShortVersionString</key><integer>2</integer></dict></plist>)", "0"},
        {R"(<plist><dict><key>CFBundleShortVersionString</key><string>1.0)", "0"},  // cut short
        {std::nullopt, "0"},
    };
    for (const auto& c : cases) {
        test::ShellFixture shell;
        std::filesystem::remove(shell.package.infoPlist());
        if (c.plist) test::writeFile(shell.package.infoPlist(), *c.plist);
        auto delegate = shell.makeDelegate();
        EXPECT_EQ(delegate->featurePackUpdater().appVersion(), c.version) << c.plist.value_or("(none)");
        EXPECT_EQ(&delegate->featurePackUpdater(), &delegate->featurePackUpdater());
    }
}
