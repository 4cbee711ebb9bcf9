#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <webkit2/webkit2.h>

#include "platform/ApplicationHost.h"
#include "platform/WebView.h"

namespace taviro::test::window {

// Everything the web view told its owner, and how the owner answers.
class RecordingDelegate final : public platform::WebViewDelegate {
public:
    using OpenPanelCompletion = std::function<void(std::optional<std::vector<std::filesystem::path>>)>;

    // Answers for navigations: allow everything unless told otherwise.
    std::function<bool(const std::optional<std::string>&)> navigationPolicy;
    // Answers for file inputs: unhandled unless told otherwise.
    std::function<bool(bool, OpenPanelCompletion)> openPanel;

    std::vector<std::optional<std::string>> navigations;
    int finishes = 0;
    std::vector<Error> failures;
    std::vector<std::pair<std::string, std::string>> messages;

    // Forgets what was recorded and restores the default answers.
    void reset();
    int navigationsTo(const std::string& url) const;

    bool decidePolicyForNavigation(const std::optional<std::string>& url) override;
    void didFinishNavigation() override;
    void didFailNavigation(const Error& error) override;
    void didReceiveScriptMessage(const std::string& channel, const std::string& bodyJSON) override;
    bool runOpenPanel(bool allowsMultipleSelection, OpenPanelCompletion completion) override;
};

// The running application the in-process tests share: the host set up as the shell sets it up.
struct Harness {
    platform::ApplicationHost* host = nullptr;
    std::shared_ptr<platform::WebView> webView;
    std::shared_ptr<RecordingDelegate> delegate;
    std::vector<platform::MenuAction> menuActions;
    std::filesystem::path tracePath;
    platform::WindowSpec spec;
};
Harness& harness();

inline const std::vector<std::string> kChannels = {"pathPicker", "updateChecker", "featurePackRollback"};

// The menu bar the tests install: three menus, separators in two of them.
std::vector<platform::Menu> testMenus();

GtkApplication* application();
GtkWindow* mainWindow();
WebKitWebView* webKitView();

// Runs the main loop until `condition` holds or `seconds` have passed; true when it holds.
bool waitUntil(const std::function<bool()>& condition, double seconds = 20);
// Runs the main loop for `seconds`: only where a test checks that something does not happen.
void spin(double seconds);
// Evaluates `script` in the page and returns its value as text ("exception: ..." on failure).
std::string evaluate(const std::string& script);
// Loads `html` with the host and waits for its finish; the delegate starts afresh.
void loadHTMLAndWait(const std::string& html);

// The loads WebKit itself reports as started while the watch lives, by the view's address at
// that moment (for a navigation the page starts, that is still the page's own address).
class LoadStartWatch {
public:
    LoadStartWatch();
    ~LoadStartWatch();
    LoadStartWatch(const LoadStartWatch&) = delete;
    LoadStartWatch& operator=(const LoadStartWatch&) = delete;
    bool started(const std::string& url) const;
    size_t count() const { return started_.size(); }

private:
    gulong handler_ = 0;
    std::vector<std::string> started_;
};

// A child process of the test binary running one scenario (see ChildScenarios.cpp), or any
// other program, with its standard output read line by line.
class ChildRun {
public:
    // `scenario` selects what the test binary does in the child; `prefix` runs it through
    // another program first (dbus-run-session).
    explicit ChildRun(const std::string& scenario, const std::vector<std::string>& prefix = {});
    ~ChildRun();
    ChildRun(const ChildRun&) = delete;
    ChildRun& operator=(const ChildRun&) = delete;

    int pid() const { return pid_; }
    bool waitForLine(const std::string& line, double seconds = 30);
    // Waits for the exit and returns the raw wait status (-1 when it did not exit in time).
    int waitForExit(double seconds = 30);
    const std::vector<std::string>& lines() const { return lines_; }
    int count(const std::string& line) const;

private:
    void readAvailable(int timeoutMilliseconds);

    int pid_ = -1;
    int output_ = -1;
    bool exited_ = false;
    int status_ = -1;
    std::string pending_;
    std::vector<std::string> lines_;
};

// The environment variable that makes the test binary run a child scenario.
inline constexpr const char* kScenarioVariable = "TAVIRO_WINDOW_TEST_SCENARIO";
int runScenario(const std::string& scenario, int argc, char** argv);

}  // namespace taviro::test::window
