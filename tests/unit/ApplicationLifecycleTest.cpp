#include <gtest/gtest.h>

#include <algorithm>

#include "platform/InfoPlist.h"
#include "tests/support/ShellHarness.h"

using namespace taviro;

namespace {

// Records what the launch sequence asks of the window system, in order.
class RecordingHost final : public platform::ApplicationHost {
public:
    explicit RecordingHost(std::shared_ptr<test::RecordingWebView> view) : view_(std::move(view)) {}
    void setRegularActivationPolicy() override { calls.push_back("activation policy"); }
    void installMainMenu(const std::vector<platform::Menu>& installed, std::function<void(platform::MenuAction)> onAction) override {
        calls.push_back("menu");
        menus = installed;
        menuAction = std::move(onAction);
    }
    std::shared_ptr<platform::WebView> createWebView(const std::vector<std::string>& registered,
                                                     std::weak_ptr<platform::WebViewDelegate> delegate) override {
        calls.push_back("web view");
        channels = registered;
        webViewDelegate = delegate;
        return view_;
    }
    void createAndShowWindow(const platform::WindowSpec& spec) override {
        calls.push_back("window");
        window = spec;
    }
    void requestQuit() override { calls.push_back("quit"); }

    std::vector<std::string> calls;
    std::vector<platform::Menu> menus;
    std::function<void(platform::MenuAction)> menuAction;
    std::vector<std::string> channels;
    std::weak_ptr<platform::WebViewDelegate> webViewDelegate;
    platform::WindowSpec window;

private:
    std::shared_ptr<test::RecordingWebView> view_;
};

}  // namespace

TEST(ApplicationLifecycle, LaunchSequenceInOrder) {
    test::ShellFixture shell;
    shell.timing = test::quickTiming();
    std::vector<std::vector<std::string>> toolRuns;
    auto unitFile = shell.home / ".config" / "systemd" / "user" / "com.ostrelin.video-web.service";
    test::writeFile(unitFile, "[Unit]\n");
    // The tool's failure (no user service manager here) must not matter.
    shell.runProcess = [&](const std::string& tool, const std::vector<std::string>& arguments) {
        std::vector<std::string> run{tool};
        run.insert(run.end(), arguments.begin(), arguments.end());
        toolRuns.push_back(run);
        return 1;
    };
    auto delegate = shell.makeDelegate();
    delegate->webView.reset();
    RecordingHost host(shell.webView);

    delegate->applicationDidFinishLaunching(host);

    EXPECT_EQ(host.calls, (std::vector<std::string>{"activation policy", "menu", "web view", "window"}));
    EXPECT_EQ(host.channels, (std::vector<std::string>{"pathPicker", "updateChecker", "featurePackRollback"}));
    EXPECT_EQ(host.webViewDelegate.lock().get(), delegate.get());
    EXPECT_EQ(host.window.title, "Taviro");
    EXPECT_EQ(std::make_pair(host.window.width, host.window.height), std::make_pair(1280, 820));
    EXPECT_EQ(std::make_pair(host.window.minimumWidth, host.window.minimumHeight), std::make_pair(980, 680));
    EXPECT_EQ(delegate->webView, shell.webView);
    EXPECT_EQ(toolRuns, (std::vector<std::vector<std::string>>{
                            {"/usr/bin/systemctl", "--user", "stop", "com.ostrelin.video-web.service"},
                            {"/usr/bin/systemctl", "--user", "disable", "com.ostrelin.video-web.service"}}));
    EXPECT_FALSE(std::filesystem::exists(unitFile));

    auto log = shell.desktopLog();
    std::vector<std::string> launchLines;
    for (const auto& line : log) {
        if (!line.starts_with("feature pack") || line.starts_with("feature pack prepared")) launchLines.push_back(line);
        if (line == "connectAndLoad scheduled") break;
    }
    EXPECT_EQ(launchLines, (std::vector<std::string>{"desktop application launched", "activation policy configured", "menu built",
                                                     "window built", "legacy launch agent disabled",
                                                     "feature pack prepared revision=0", "prepared update state restored",
                                                     "connectAndLoad scheduled"}));
    // The first content is the connecting page.
    ASSERT_FALSE(shell.webView->loads.empty());
    EXPECT_NE(shell.webView->loads.front().content.find("正在连接本地服务"), std::string::npos);

    // Menu: "退出Taviro" asks the host to quit; the view actions reach the delegate.
    host.menuAction(platform::MenuAction::terminate);
    EXPECT_EQ(host.calls.back(), "quit");
    host.menuAction(platform::MenuAction::openInBrowser);
    EXPECT_EQ(shell.browser->opened, std::vector<std::string>{delegate->homeURL()});
    host.menuAction(platform::MenuAction::loadHome);
    EXPECT_EQ(shell.webView->loads.back().content, delegate->homeURL());
    delegate->applicationWillTerminate();
}

TEST(ApplicationLifecycle, MenuTable) {
    using platform::MenuAction;
    auto menus = AppDelegate::mainMenu();
    ASSERT_EQ(menus.size(), 3u);
    EXPECT_EQ(menus[0].title, "Taviro");
    EXPECT_EQ(menus[1].title, "编辑");
    EXPECT_EQ(menus[2].title, "查看");
    auto describe = [](const platform::Menu& menu) {
        std::vector<std::string> rows;
        for (const auto& item : menu.items) rows.push_back(item.isSeparator() ? "---" : item.title + " " + item.accelerator);
        return rows;
    };
    EXPECT_EQ(describe(menus[0]), (std::vector<std::string>{"退出Taviro <Primary>q"}));
    EXPECT_EQ(describe(menus[1]), (std::vector<std::string>{"撤销 <Primary>z", "重做 <Primary><Shift>z", "---", "剪切 <Primary>x",
                                                            "复制 <Primary>c", "粘贴 <Primary>v", "删除 ", "---", "全选 <Primary>a"}));
    EXPECT_EQ(describe(menus[2]), (std::vector<std::string>{"回到首页 <Primary>1", "刷新 <Primary>r", "在浏览器打开 <Primary>o"}));
    EXPECT_EQ(menus[1].items[6].action, MenuAction::deleteSelection);
    EXPECT_EQ(menus[2].items[1].action, MenuAction::reloadPage);
}

TEST(ApplicationLifecycle, UpdaterVersionComesFromThePackage) {
    test::TempDir dir;
    struct Case {
        std::optional<std::string> plist;
        std::string version;
    };
    const Case cases[] = {
        {R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict><key>CFBundleName</key><string>Taviro</string>
<key>CFBundleShortVersionString</key><string>1.0.73</string></dict></plist>)", "1.0.73"},
        {R"(<plist><dict><key>CFBundleShortVersionString</key><integer>2</integer></dict></plist>)", "0"},
        {R"(<plist><dict><key>Other</key><dict><key>CFBundleShortVersionString</key><string>9</string></dict></dict></plist>)", "0"},
        {R"(<plist><dict><key>CFBundleShortVersionString</key><string>1 &amp; 2</string></dict></plist>)", "1 & 2"},
        {R"(<plist><dict><key>CFBundleShortVersionString</key><string>1.0)", "0"},  // cut short
        {R"(<plist><dict></dict></plist>)", "0"},
        {std::nullopt, "0"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(dir / "Info.plist");
        if (c.plist) test::writeFile(dir / "Info.plist", *c.plist);
        test::ShellFixture shell;
        auto plist = dir / "Info.plist";
        shell.bundleVersion = platform::infoPlistString(plist, "CFBundleShortVersionString");
        auto delegate = shell.makeDelegate();
        EXPECT_EQ(delegate->featurePackUpdater().appVersion(), c.version) << c.plist.value_or("(none)");
        EXPECT_EQ(&delegate->featurePackUpdater(), &delegate->featurePackUpdater());
    }
}
