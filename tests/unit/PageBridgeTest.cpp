// The page's requests: script messages, pickers, file inputs, diagnostics links and imported
// drafts, against answering dialogs and the real reference service.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
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
        log.push_back(std::string(options.style == platform::AlertStyle::warning ? "warning " : "info ") + options.message +
                      " | " + options.informativeText + (options.attachedToWindow ? "" : " (application)"));
        done(0);
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
        auto http = platform::curlHttpClient();
        for (int i = 0; i < 100 && !http->get(url("/api/local/health"), 1.0); ++i) usleep(100000);
    }
    ~ReferenceService() { process->terminate(); }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }

    test::TempDir dir;
    int port = ServiceSupervisor::findAvailablePort();
    std::shared_ptr<platform::ChildProcess> process;
};

}  // namespace

TEST(PageBridge, OnlyObjectsWithTextValuesOnTheirOwnChannelAct) {
    const std::string restored = "info 已准备恢复上一功能包 | 退出并重新打开软件后生效。 (application)";
    const std::string none = "warning 没有可恢复的上一功能包 | 当前正在使用内置功能包，或上一功能包已损坏。 (application)";
    const std::tuple<const char*, std::string, bool, std::vector<std::string>> cases[] = {
        {"pathPicker", "[1]", true, {}}, {"pathPicker", "{", true, {}}, {"pathPicker", R"({"kind":"directory"})", true, {}},
        {"pathPicker", R"({"kind":"directory","target":5})", true, {}},
        {"pathPicker", R"({"kind":"file","target":"t","purpose":7})", true, {"open 选择文案表格"}},
        {"updateChecker", R"({"action":"checkAndInstallUpdate","source":"auto"})", true, {"update automatic"}},
        {"updateChecker", R"({"action":"checkAndInstallUpdate","source":"Auto"})", true, {"update manual"}},
        {"updateChecker", R"({"action":"checkAndInstallUpdate"})", true, {"update manual"}},
        {"updateChecker", R"({"action":"check"})", true, {}},
        {"featurePackRollback", "{}", true, {}}, {"featurePackRollback", R"({"action":["rollback"]})", true, {}},
        {"featurePackRollback", R"({"action":"rollback"})", true, {"rollback", restored}},
        {"featurePackRollback", R"({"action":"rollback"})", false, {"rollback", none}},
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

TEST(PageBridge, PickersFollowKindPurposeAndCurrentValueAndSendThePathBackAsLiterals) {
    struct Case { const char *kind, *purpose, *current, *title; bool folders, create, spreadsheets; std::optional<fs::path> start; };
    const Case cases[] = {
        {"directory", "material", " /素材/a \n", "选择产品素材文件夹", true, false, false, "/素材/a"},
        {"directory", "export", "", "选择导出成功文件夹", true, true, false, std::nullopt},
        {"directory", "", " \t\u3000\n", "选择导出成功文件夹", true, true, false, std::nullopt},
        {"file", "material", "/x/y/表格.xlsx", "选择文案表格", false, false, true, "/x/y"},
        {"xlsx", "", "表格.xlsx", "选择文案表格", false, false, true, std::nullopt},
    };
    for (const auto& c : cases) {
        auto options = PageBridge::pathPickerOptions(c.kind, c.purpose, c.current);
        EXPECT_EQ(std::tie(options.title, options.chooseFolders, options.canCreateFolders, options.startFolder),
                  std::tie(c.title, c.folders, c.create, c.start)) << c.kind << " " << c.purpose;
        EXPECT_EQ(options.filters.size(), c.spreadsheets ? 1u : 0u);
        EXPECT_TRUE(options.confirmLabel == "选择" && !options.allowsMultipleSelection);
    }
    EXPECT_EQ(PageBridge::pathPickerOptions("file", "", "").filters[0].patterns, std::vector<std::string>{"*.xlsx"});

    // A picked path reaching the page is the window tests' business; a cancelled picker leaves the page's value.
    Bridge b;
    b.bridge->didReceiveScriptMessage("pathPicker", R"({"kind":"directory","target":"x"})");
    EXPECT_TRUE(b.view->scripts.empty());

    // A file input: several files exactly when the page's input allows them.
    for (bool multiple : {true, false}) {
        std::optional<Paths> answered;
        b.dialogs->openAnswer = Paths{"/a.mp4", "/b.mp4"};
        EXPECT_TRUE(b.bridge->runOpenPanel(multiple, [&](std::optional<Paths> files) { answered = files; }));
        EXPECT_EQ(std::tie(b.dialogs->lastOpen.title, b.dialogs->lastOpen.allowsMultipleSelection, b.dialogs->lastOpen.chooseFolders),
                  std::make_tuple(std::string("选择文件"), multiple, false));
        EXPECT_EQ(answered, b.dialogs->openAnswer);
    }
}

// Every confirmed save ends in one alert; the destination holds either the whole new log or
// what it held before, and no temporary file stays beside it.
TEST(PageBridge, DiagnosticsAreSavedWholeOrNotAtAllWithOneAlert) {
    ReferenceService service;
    test::TempDir dir;
    const std::string saved = "info 诊断日志已保存 | ", failed = "warning 诊断日志保存失败 | ";
    const std::string notServed = failed + "本地服务没有返回可保存的诊断日志。";
    struct Case { std::string url; std::optional<fs::path> to; std::string alert; bool replaced; };
    const Case cases[] = {
        {service.url("/jobs/demo-1/diagnostics.txt"), dir / "new.txt", saved + (dir / "new.txt").string(), true},
        {service.url("/jobs/none/diagnostics.txt"), dir / "old.txt", notServed, false},
        {"http://127.0.0.1:1/jobs/demo-1/diagnostics.txt", dir / "old.txt", failed, false},  // nothing listens
        {service.url("/jobs/demo-1/diagnostics.txt"), dir / "missing/x.txt", failed, false},
        {service.url("/jobs/demo-1/diagnostics.txt"), std::nullopt, "", false},  // cancelled
    };
    for (const auto& c : cases) {
        Bridge b;
        b.dialogs->saveAnswer = c.to;
        b.bridge->saveDiagnostics(c.url);
        const std::size_t shown = c.alert.empty() ? 1 : 2;
        ASSERT_TRUE(test::runMainLoopUntil([&] { return b.log.size() >= shown; }, 40)) << c.url;
        test::runMainLoopFor(0.1);
        ASSERT_EQ(b.log.size(), shown) << c.url;
        EXPECT_EQ(b.log[0], "save 保存诊断日志 诊断日志.txt 保存");
        EXPECT_TRUE(shown == 1 || (b.log[1].starts_with(c.alert) && (c.alert != failed || b.log[1] != notServed))) << b.log.back();
        EXPECT_TRUE(!c.replaced || test::readFile(*c.to).starts_with("job: demo-1\n"));
        // A saved log is the user's file like any other, not private to the download that made it.
        EXPECT_TRUE(!c.replaced || (fs::status(*c.to).permissions() & fs::perms::others_read) != fs::perms::none);
    }
}

TEST(ImportedDraftPolling, ShowsTheManualInputPageForANewPendingDraftOnly) {
    struct Answer { std::int64_t pending; const char* id; const char* shown; bool navigates; };
    const std::string home = "http://127.0.0.1:43117/";
    const std::vector<std::vector<Answer>> runs = {
        {{0, "d1", "/", false}, {0, "d1", "/", false}},  // nothing pending: recorded, nothing shown
        {{2, "d1", "/", true}, {2, "d1", "/", false}},   // the first pending draft, then the same one again
        {{2, "d1", "?input=manual", false}},             // already shown
        {{0, "d1", "/", false}, {1, "d2", "jobs/7", true}, {1, "d2", "jobs/7", false}, {1, "d3", "?x=1", true}},
        {{0, "d1", "/", false}, {1, "d2", "?a=1&input=manual&b=2", false}},
    };
    for (const auto& answers : runs) {
        auto view = std::make_shared<test::RecordingWebView>();
        auto polling = ImportedDraftPolling::create({platform::glibMainQueue(), {}, nullptr, [] { return 43117; }});
        polling->setWebView(view);
        for (const auto& answer : answers) {
            view->current = home + (answer.shown[0] == '/' ? "" : answer.shown), view->loads.clear();
            polling->handleAnswer(answer.pending, answer.id);
            EXPECT_EQ(view->loads.size(), answer.navigates ? 1u : 0u) << answer.id << " on " << answer.shown;
            EXPECT_TRUE(!answer.navigates || view->loads[0] == home + "?input=manual");
        }
    }
}

// A service that does not answer gets one request at a time, however often the timer fires. (The
// end-to-end run shows an imported draft opening the manual-input page.)
TEST(ImportedDraftPolling, ASlowServiceGetsOneRequestAtATime) {
    auto background = std::make_shared<platform::ConcurrentQueue>();
    int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), length) | ::listen(silent, 16), 0);
    ::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
    auto slow = ImportedDraftPolling::create(
        {platform::glibMainQueue(), background, platform::curlHttpClient(), [&] { return ntohs(address.sin_port); }});
    for (int i = 0; i < 3; ++i) slow->pollImportedDrafts(), test::runMainLoopFor(0.2);
    ::fcntl(silent, F_SETFL, O_NONBLOCK);
    int connections = 0;
    for (int accepted; (accepted = ::accept(silent, nullptr, nullptr)) >= 0; ++connections) ::close(accepted);
    EXPECT_EQ(connections, 1);
    ::close(silent);
}
