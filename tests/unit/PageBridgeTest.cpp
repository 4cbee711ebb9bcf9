// The page's requests: script messages, pickers, file inputs, diagnostics links and imported
// drafts, against answering dialogs and the real reference service.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bridge/ImportedDraftPolling.h"
#include "bridge/PageBridge.h"
#include "platform/ChildProcess.h"
#include "tests/support/ShellHarness.h"

using namespace taviro;
namespace fs = std::filesystem;
using Paths = std::vector<fs::path>;

namespace {

// Answers every dialog at once as the test says, writing what was shown into `log`.
struct AnsweringDialogs final : platform::Dialogs {
    explicit AnsweringDialogs(std::vector<std::string>& log) : log(log) {}
    void runOpenPanel(const platform::OpenPanelOptions& options, std::function<void(std::optional<Paths>)> done) override {
        log.push_back("open " + options.title), lastOpen = options, done(openAnswer);
    }
    void runSavePanel(const platform::SavePanelOptions& options, std::function<void(std::optional<fs::path>)> done) override {
        log.push_back("save " + options.title + " " + options.suggestedName + " " + options.confirmLabel), done(saveAnswer);
    }
    void runAlert(const platform::AlertOptions& options, std::function<void(int)> done) override {
        log.push_back(std::string(options.style == platform::AlertStyle::warning ? "warning" : "info") +
                      (options.attachedToWindow ? "" : " (application)")), done(0);
    }
    std::vector<std::string>& log;
    platform::OpenPanelOptions lastOpen;
    std::optional<Paths> openAnswer;
    std::optional<fs::path> saveAnswer;
};

struct Bridge {
    std::vector<std::string> log;
    bool rollbackResult = true;
    std::shared_ptr<AnsweringDialogs> dialogs = std::make_shared<AnsweringDialogs>(log);
    std::shared_ptr<test::RecordingWebView> view = std::make_shared<test::RecordingWebView>();
    std::shared_ptr<platform::ConcurrentQueue> background = std::make_shared<platform::ConcurrentQueue>();
    std::shared_ptr<PageBridge> bridge = PageBridge::create(
        {platform::glibMainQueue(), background, platform::curlHttpClient()},
        {[this](bool automatic) { log.push_back(automatic ? "update automatic" : "update manual"); },
         [this] { return log.push_back("rollback"), rollbackResult; }});
    Bridge() { bridge->attach(view, dialogs); }
};

// The reference service on a free port of its own.
struct ReferenceService {
    ReferenceService() {
        platform::ChildProcessOptions options;
        options.executable = TAVIRO_REFERENCE_SERVICE;
        options.environment = {{"VORDA_PORT", std::to_string(port)}, {"VORDA_DATA_ROOT", dir / "data"}, {"PATH", "/usr/bin:/bin"}};
        process = platform::ChildProcess::launch(options).value();
        for (int i = 0; i < 100 && !platform::curlHttpClient()->get(url("/api/local/health"), 1.0); ++i) usleep(100000);
    }
    ~ReferenceService() { process->terminate(); }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }
    test::TempDir dir;
    int port = ServiceSupervisor::findAvailablePort();
    std::shared_ptr<platform::ChildProcess> process;
};

}  // namespace

// Malformed bodies are the fuzz target's; here one representative of each refusal rule. The e2e run's
// click on the update button, whose body names no source, proves that one a person's request.
TEST(PageBridge, OnlyObjectsWithTextValuesOnTheirOwnChannelAct) {
    const std::tuple<const char*, std::string, bool, std::vector<std::string>> cases[] = {
        {"pathPicker", "[1]", true, {}}, {"pathPicker", R"({"kind":"directory","target":5})", true, {}},
        {"pathPicker", R"({"kind":"file","target":"t","purpose":7})", true, {"open 选择文案表格"}},
        {"updateChecker", R"({"action":"checkAndInstallUpdate","source":"auto"})", true, {"update automatic"}},
        {"updateChecker", R"({"action":"checkAndInstallUpdate","source":"Auto"})", true, {"update manual"}},
        {"updateChecker", R"({"action":"check"})", true, {}}, {"featurePackRollback", R"({"action":["rollback"]})", true, {}},
        {"featurePackRollback", R"({"action":"rollback"})", true, {"rollback", "info (application)"}},
        {"featurePackRollback", R"({"action":"rollback"})", false, {"rollback", "warning (application)"}},
        {"somethingElse", R"({"action":"rollback","kind":"file","target":"t"})", true, {}},
    };
    for (const auto& [channel, body, rollbackResult, effects] : cases) {
        Bridge b;
        b.rollbackResult = rollbackResult;
        b.bridge->didReceiveScriptMessage(channel, body);
        EXPECT_EQ(b.log, effects) << channel << " " << body;
        EXPECT_TRUE(b.view->scripts.empty());
    }
}

// The e2e run opens the material picker and a one-file input by their titles through the real dialogs.
TEST(PageBridge, PickersFollowKindPurposeAndCurrentValueAndFileInputsTheirMultipleFlag) {
    // Titles are the end-to-end run's (it finds the choosers by them); here the folder each starts in.
    const std::tuple<const char*, const char*, bool, std::optional<fs::path>> cases[] = {
        {"directory", " /素材/a \n", true, "/素材/a"}, {"directory", " \t\u3000\n", true, std::nullopt},
        // A bare name names no folder.
        {"file", "/x/y/表格.xlsx", false, "/x/y"}, {"xlsx", "表格.xlsx", false, std::nullopt},
    };
    for (const auto& [kind, current, folders, start] : cases) {
        auto o = PageBridge::pathPickerOptions(kind, "material", current);
        EXPECT_EQ(std::tie(o.chooseFolders, o.startFolder), std::tie(folders, start)) << kind << " " << current;
    }
    // A picked path reaching the page is the window tests' business; a cancelled picker leaves the page's value.
    Bridge b;
    b.bridge->didReceiveScriptMessage("pathPicker", R"({"kind":"directory","target":"x"})");
    EXPECT_TRUE(b.view->scripts.empty());
    b.dialogs->openAnswer = Paths{"/a.mp4", "/b.mp4"};
    for (bool multiple : {true, false}) {
        std::optional<Paths> answered;
        EXPECT_TRUE(b.bridge->runOpenPanel(multiple, [&](std::optional<Paths> files) { answered = files; }));
        EXPECT_EQ(std::tuple(b.dialogs->lastOpen.allowsMultipleSelection, b.dialogs->lastOpen.chooseFolders, answered),
                  std::tuple(multiple, false, b.dialogs->openAnswer));
    }
}

// Every confirmed save ends in one alert. A refused connection fails like the missing folder, and
// whole-or-nothing downloads are the HTTP client's tests' business. A 404 is tested here only.
TEST(PageBridge, DiagnosticsAreSavedWholeOrNotAtAllWithOneAlert) {
    ReferenceService service;
    test::TempDir dir;
    const std::string demo = service.url("/jobs/demo-1/diagnostics.txt");
    const std::tuple<std::string, std::optional<fs::path>, std::string> cases[] = {
        {demo, dir / "new.txt", "info"}, {service.url("/jobs/none/diagnostics.txt"), dir / "none.txt", "warning"},
        {demo, dir / "missing/x.txt", "warning"}, {demo, std::nullopt, ""},  // cancelled
    };
    for (const auto& [url, to, alert] : cases) {
        Bridge b;
        b.dialogs->saveAnswer = to;
        b.bridge->saveDiagnostics(url);
        const std::size_t shown = alert.empty() ? 1 : 2;
        ASSERT_TRUE(test::runMainLoopUntil([&] { return b.log.size() >= shown; }, 40)) << url;
        test::runMainLoopFor(0.1);
        ASSERT_EQ(b.log.size(), shown) << url;
        EXPECT_TRUE(shown == 1 || b.log[1] == alert) << b.log.back();
    }
    EXPECT_FALSE(fs::exists(dir / "none.txt"));
    EXPECT_TRUE(test::readFile(dir / "new.txt").starts_with("job: demo-1\n"));
    // A saved log is the user's file like any other, not private to the download that made it.
    EXPECT_NE(fs::status(dir / "new.txt").permissions() & fs::perms::others_read, fs::perms::none);
}

// The first answer shows a waiting draft however old, later ones a new one, never over the manual page.
TEST(ImportedDraftPolling, ShowsTheManualInputPageForANewPendingDraftOnly) {
    struct Answer { std::int64_t pending; const char* id; const char* shown; bool navigates; };
    const std::string home = "http://127.0.0.1:43117/";
    const std::vector<std::vector<Answer>> runs = {
        {{2, "d1", "/", true}, {2, "d1", "/", false}},
        {{0, "d1", "/", false}, {1, "d2", "jobs/7", true}, {1, "d2", "jobs/7", false}, {1, "d3", "?x=1", true},
         {1, "d4", "?a=1&input=manual&b=2", false}},
    };
    for (const auto& answers : runs) {
        auto view = std::make_shared<test::RecordingWebView>();
        auto polling = ImportedDraftPolling::create({platform::glibMainQueue(), {}, nullptr, [] { return 43117; }});
        polling->setWebView(view);
        for (const auto& answer : answers) {
            view->current = home + (answer.shown[0] == '/' ? "" : answer.shown), view->loads.clear();
            polling->handleAnswer(answer.pending, answer.id);
            EXPECT_EQ(view->loads, answer.navigates ? std::vector{home + "?input=manual"} : std::vector<std::string>{})
                << answer.id << " on " << answer.shown;
        }
    }
}

// A service that does not answer gets one request at a time, however often the timer fires. (The
// end-to-end run shows an imported draft opening the manual-input page.)
TEST(ImportedDraftPolling, ASlowServiceGetsOneRequestAtATime) {
    auto background = std::make_shared<platform::ConcurrentQueue>();
    int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), length) | ::listen(silent, 16), 0);
    ::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
    auto slow = ImportedDraftPolling::create(
        {platform::glibMainQueue(), background, platform::curlHttpClient(), [&] { return ntohs(address.sin_port); }});
    for (int i = 0; i < 3; ++i) slow->pollImportedDrafts(), test::runMainLoopFor(0.2);
    int connections = 0;
    for (int accepted; (accepted = ::accept(silent, nullptr, nullptr)) >= 0; ++connections) ::close(accepted);
    EXPECT_EQ(connections, 1);
    ::close(silent);
}
