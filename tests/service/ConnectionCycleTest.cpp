#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <set>

#include "featurepack/FeaturePackUpdater.h"
#include "tests/support/PackBuilder.h"
#include "tests/support/ShellHarness.h"

using namespace taviro;

namespace {

constexpr const char* kTimeoutMessage = "本地服务启动超时，正在继续自动重试。";

bool showsErrorPage(const test::RecordingWebView& view) {
    return !view.loads.empty() && view.loads.back().isHTML && view.loads.back().content.find(kTimeoutMessage) != std::string::npos;
}

bool showsHome(const test::RecordingWebView& view, const AppDelegate& delegate) {
    return !view.loads.empty() && !view.loads.back().isHTML && view.loads.back().content == delegate.homeURL();
}

long countLines(const std::vector<std::string>& log, const std::string& prefix) {
    return std::count_if(log.begin(), log.end(), [&](const std::string& line) { return line.starts_with(prefix); });
}

// Lines starting with each prefix appear in this order (other lines may lie between).
::testing::AssertionResult inOrder(const std::vector<std::string>& log, const std::vector<std::string>& prefixes) {
    auto position = log.begin();
    for (const auto& prefix : prefixes) {
        position = std::find_if(position, log.end(), [&](const std::string& line) { return line.starts_with(prefix); });
        if (position == log.end()) return ::testing::AssertionFailure() << "missing or out of order: " << prefix;
        ++position;
    }
    return ::testing::AssertionSuccess();
}

void stop(const std::shared_ptr<AppDelegate>& delegate) { delegate->applicationWillTerminate(); }

}  // namespace

TEST(ConnectionCycle, StartsTheReferenceServiceThenReusesIt) {
    test::ShellFixture shell;
    shell.installService(TAVIRO_REFERENCE_SERVICE);
    shell.timing = test::quickTiming();
    shell.timing.startAttemptWait = 10;  // the real service gets the time it needs
    auto delegate = shell.makeDelegate();
    const std::string port = std::to_string(delegate->localPort.load());

    delegate->connectAndLoad();
    ASSERT_FALSE(shell.webView->loads.empty());
    EXPECT_TRUE(shell.webView->loads.front().isHTML);
    EXPECT_NE(shell.webView->loads.front().content.find("正在连接本地服务"), std::string::npos);
    EXPECT_NE(shell.webView->loads.front().content.find("<code>http://127.0.0.1:" + port + "/</code>"), std::string::npos);
    ASSERT_TRUE(test::runMainLoopUntil([&] { return showsHome(*shell.webView, *delegate); }, 20));
    EXPECT_FALSE(delegate->isConnectionWorkerRunning());
    EXPECT_TRUE(inOrder(shell.desktopLog(), {"connectAndLoad scheduled", "local service worker started",
                                             "ensuring local service on port " + port,
                                             "bundled service launched on port " + port}));

    // "刷新": a new cycle with the connecting page, which finds the running service.
    delegate->reloadPage();
    EXPECT_TRUE(shell.webView->loads.back().isHTML);
    ASSERT_TRUE(test::runMainLoopUntil([&] { return showsHome(*shell.webView, *delegate); }, 10));
    auto log = shell.desktopLog();
    EXPECT_EQ(countLines(log, "existing local service is ready"), 1);
    EXPECT_EQ(countLines(log, "bundled service launched on port "), 1);

    // Quitting asks the service to stop.
    auto child = delegate->currentBackendProcess();
    ASSERT_TRUE(child);
    stop(delegate);
    EXPECT_TRUE(test::runMainLoopUntil([&] { return !child->isRunning(); }, 5));
    EXPECT_TRUE(test::runMainLoopUntil([&] { return countLines(shell.desktopLog(), "bundled service exited with status 0") == 1; }, 5));
}

struct RejectedService {
    const char* mode;
    bool exitsByItself;
};

void PrintTo(const RejectedService& service, std::ostream* out) { *out << service.mode; }

class RejectedServices : public ::testing::TestWithParam<RejectedService> {};

TEST_P(RejectedServices, FiveStartsOnFreshPortsThenTheErrorPageThenAnotherCycle) {
    test::ShellFixture shell;
    shell.installScriptedService(GetParam().mode);
    shell.timing = test::quickTiming();
    auto delegate = shell.makeDelegate();
    const int firstPort = delegate->localPort;

    delegate->connectAndLoad();
    ASSERT_TRUE(test::runMainLoopUntil([&] { return showsErrorPage(*shell.webView); }, 30));
    EXPECT_NE(shell.webView->loads.back().content.find("location.href=\"" + delegate->homeURL() + "\""), std::string::npos);

    auto starts = shell.serviceStarts();
    ASSERT_EQ(starts.size(), 5u);
    std::set<int> ports;
    for (const auto& start : starts) ports.insert(start["port"].get<int>());
    EXPECT_EQ(ports.size(), 5u) << "each retry gets a fresh port";
    EXPECT_EQ(starts.front()["port"].get<int>(), firstPort);
    EXPECT_EQ(delegate->localPort.load(), starts.back()["port"].get<int>());
    EXPECT_FALSE(delegate->currentBackendProcess()) << "an abandoned child is forgotten";

    // Every rejected copy is asked to stop (or ended by itself) and none is left running.
    EXPECT_TRUE(shell.allStartsEnded(5));
    auto log = shell.desktopLog();
    if (GetParam().exitsByItself) {
        EXPECT_EQ(countLines(log, "bundled service exited with status 3"), 5);
    } else {
        std::set<int> pids, terminated;
        for (const auto& start : starts) pids.insert(start["pid"].get<int>());
        for (int pid : shell.terminatedPids()) terminated.insert(pid);
        EXPECT_EQ(terminated, pids);
    }
    EXPECT_EQ(countLines(log, "bundled service launched on port "), 5);
    EXPECT_EQ(countLines(log, "retrying local service after feature pack rollback"), 0);

    // Two seconds (here shortened) later the next cycle begins with the connecting page.
    ASSERT_TRUE(test::runMainLoopUntil([&] { return countLines(shell.desktopLog(), "connectAndLoad scheduled") == 2; }, 5));
    EXPECT_TRUE(shell.webView->loads.back().isHTML);
    EXPECT_NE(shell.webView->loads.back().content.find("正在连接本地服务"), std::string::npos);
    stop(delegate);
}

INSTANTIATE_TEST_SUITE_P(Modes, RejectedServices,
                         ::testing::Values(RejectedService{"silent", false}, RejectedService{"other-app", false},
                                           RejectedService{"not-ok", false}, RejectedService{"wrong-revision", false},
                                           RejectedService{"exit", true}),
                         [](const auto& info) {
                             std::string name = info.param.mode;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

TEST(ConnectionCycle, ASlowServiceIsGivenItsWait) {
    test::ShellFixture shell;
    shell.installScriptedService("slow");
    shell.env.set("SCRIPTED_SERVICE_DELAY", "1.0");
    shell.timing = test::quickTiming();
    shell.timing.startAttemptWait = 4;
    auto delegate = shell.makeDelegate();
    delegate->connectAndLoad();
    ASSERT_TRUE(test::runMainLoopUntil([&] { return showsHome(*shell.webView, *delegate); }, 15));
    EXPECT_EQ(shell.serviceStarts().size(), 1u);
    stop(delegate);
}

TEST(ConnectionCycle, MissingServiceEndsInTheErrorPageAndCyclesAgain) {
    test::ShellFixture shell;
    shell.timing = test::quickTiming();
    auto delegate = shell.makeDelegate();
    delegate->connectAndLoad();
    ASSERT_TRUE(test::runMainLoopUntil([&] { return showsErrorPage(*shell.webView); }, 15));
    EXPECT_EQ(countLines(shell.desktopLog(), "bundled service is not executable: "), 5);
    ASSERT_TRUE(test::runMainLoopUntil([&] { return countLines(shell.desktopLog(), "connectAndLoad scheduled") == 2; }, 5));
    stop(delegate);
}

TEST(ConnectionCycle, AFailingDownloadedPackIsRolledBackAndTheServiceStartedAgain) {
    test::ShellFixture shell;
    {
        // Pack 2 becomes active the way a launch activates a staged pack.
        test::PackSpec spec;
        spec.revision = 2;
        spec.version = "2.0.0";
        test::writePack(shell.dir / "pack-src", spec, shell.key);
        auto archive = test::zipFolder(shell.dir / "pack-src", shell.dir / "pack.zip");
        FeaturePackUpdater staging("1.0.73", [](const std::string&) {});
        ASSERT_TRUE(staging.stageArchiveForTesting(archive, "2.0.0", 2, test::sha256Hex(test::readFile(archive))));
        staging.prepareForLaunch();
        ASSERT_EQ(staging.activeRevision(), 2);
    }
    shell.installScriptedService("builtin-only");
    shell.timing = test::quickTiming();
    auto delegate = shell.makeDelegate();

    delegate->connectAndLoad();
    ASSERT_TRUE(test::runMainLoopUntil([&] { return showsHome(*shell.webView, *delegate); }, 30));
    auto starts = shell.serviceStarts();
    ASSERT_EQ(starts.size(), 6u);
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(starts[i]["env"]["VORDA_FEATURE_PACK_REVISION"], "2");
    EXPECT_EQ(starts[5]["env"]["VORDA_FEATURE_PACK_REVISION"], "0");
    EXPECT_EQ(starts[5]["port"].get<int>(), starts[4]["port"].get<int>()) << "the first retry keeps the current port";
    EXPECT_EQ(delegate->featurePackUpdater().activeRevision(), 0);
    auto quarantined = delegate->featurePackUpdater().snapshot().quarantinedRevisions;
    EXPECT_NE(std::find(quarantined.begin(), quarantined.end(), 2), quarantined.end());
    EXPECT_TRUE(inOrder(shell.desktopLog(), {"bundled service launched on port ", "retrying local service after feature pack rollback",
                                             "bundled service launched on port "}));
    stop(delegate);
}

TEST(ConnectionCycle, OverlappingRequestsNeverRunTwoWorkers) {
    test::ShellFixture shell;
    shell.installScriptedService("silent");
    shell.timing = test::quickTiming();
    auto delegate = shell.makeDelegate();

    // Requests arrive from the main thread while the worker blocks on health checks.
    delegate->connectAndLoad();
    for (int i = 0; i < 5; ++i) {
        test::runMainLoopFor(0.2);
        delegate->reloadPage();
    }
    ASSERT_TRUE(test::runMainLoopUntil([&] { return showsErrorPage(*shell.webView); }, 30));
    auto log = shell.desktopLog();
    EXPECT_EQ(countLines(log, "connectAndLoad scheduled"), 6);
    EXPECT_EQ(countLines(log, "local service worker started"), 1);
    EXPECT_EQ(shell.serviceStarts().size(), 5u);

    // Once the outcome is in, the next request runs a worker of its own.
    delegate->reloadPage();
    ASSERT_TRUE(test::runMainLoopUntil([&] { return countLines(shell.desktopLog(), "local service worker started") == 2; }, 5));
    stop(delegate);
}

TEST(ConnectionCycle, QuittingDuringAWorkerStopsItAndItsChild) {
    test::ShellFixture shell;
    shell.installScriptedService("silent");
    shell.timing = test::quickTiming();
    shell.timing.startAttemptWait = 30;
    auto delegate = shell.makeDelegate();
    delegate->connectAndLoad();
    ASSERT_TRUE(test::runMainLoopUntil([&] { return shell.serviceStarts().size() == 1; }, 10));

    auto before = std::chrono::steady_clock::now();
    stop(delegate);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(3)) << "quitting must not wait out the worker";
    EXPECT_TRUE(shell.allStartsEnded(5));
    test::runMainLoopFor(0.5);
    EXPECT_EQ(shell.serviceStarts().size(), 1u) << "nothing starts after quitting";
    EXPECT_FALSE(showsErrorPage(*shell.webView));
    delegate->connectAndLoad();
    test::runMainLoopFor(0.3);
    EXPECT_EQ(countLines(shell.desktopLog(), "local service worker started"), 1);
}

TEST(ConnectionCycle, ReconnectAndHomeCancelEachOther) {
    test::ShellFixture shell;
    shell.timing = test::quickTiming();
    shell.timing.reconnectDelay = 0.3;
    auto delegate = shell.makeDelegate();
    delegate->scheduleReconnect();
    delegate->scheduleReconnect();
    delegate->loadHome();  // cancels the pending reconnect
    EXPECT_EQ(shell.webView->loads.back().content, delegate->homeURL());
    test::runMainLoopFor(0.8);
    EXPECT_EQ(countLines(shell.desktopLog(), "connectAndLoad scheduled"), 0);

    delegate->scheduleReconnect();
    delegate->scheduleReconnect();  // replaces the first: one cycle only
    ASSERT_TRUE(test::runMainLoopUntil([&] { return countLines(shell.desktopLog(), "connectAndLoad scheduled") == 1; }, 3));
    test::runMainLoopFor(0.5);
    EXPECT_EQ(countLines(shell.desktopLog(), "connectAndLoad scheduled"), 1);
    stop(delegate);
}
