#include <gtest/gtest.h>

#include <chrono>
#include <set>

#include "platform/PortProbe.h"
#include "tests/support/ShellHarness.h"

using namespace taviro;

constexpr const char* kTimeoutMessage = "本地服务启动超时，正在继续自动重试。";

class RejectedServices : public ::testing::TestWithParam<const char*> {};

TEST_P(RejectedServices, FiveStartsOnFreshPortsThenTheErrorPageThenAnotherCycle) {
    const std::string mode = GetParam();
    test::ShellFixture shell;
    shell.installScriptedService(mode);
    auto supervisor = shell.makeSupervisor();
    const int firstPort = supervisor->localPort();
    // Looked up at launch for the first start and again for each later one (the service may have
    // written its identity meanwhile): here a fresh one each time, with no machine id or keychain.
    supervisor->resolveIdentityInBackground();

    supervisor->connectAndLoad();
    ASSERT_TRUE(test::runMainLoopUntil([&] { return shell.webView->shows(kTimeoutMessage); }, 30));
    EXPECT_TRUE(shell.webView->shows("location.href=\"" + supervisor->homeURL() + "\""));

    auto starts = shell.serviceStarts();
    ASSERT_EQ(starts.size(), 5u);
    std::set<int> ports, pids, terminated;
    std::set<std::string> identities;
    for (const auto& s : starts) ports.insert(int(s["port"])), pids.insert(int(s["pid"])), identities.insert(s["env"]["VORDA_DEVICE_ID"]);
    EXPECT_EQ(identities.size(), 5u);
    // Each retry asks the system again; it may rarely hand back a port a stopped copy has freed.
    EXPECT_GE(ports.size(), 4u) << "each retry gets a fresh port";
    EXPECT_EQ(starts.front()["port"].get<int>(), firstPort);
    EXPECT_EQ(supervisor->localPort(), starts.back()["port"].get<int>());
    EXPECT_FALSE(supervisor->currentBackendProcess()) << "an abandoned child is forgotten";

    // Every rejected copy is asked to stop (or ended by itself) and none is left running, not even
    // one that ignores the request.
    EXPECT_TRUE(shell.allStartsEnded(5, 5));
    for (const auto& entry : shell.records("terminated")) terminated.insert(entry["terminated"].get<int>());
    if (mode != "exit") { EXPECT_TRUE(std::ranges::includes(terminated, pids)); }

    // The next cycle begins by itself with the connecting page.
    ASSERT_TRUE(test::runMainLoopUntil([&] { return shell.logCount("connectAndLoad scheduled") == 2; }, 5));
    EXPECT_TRUE(shell.webView->shows("正在连接本地服务"));
    supervisor->stop();
}

INSTANTIATE_TEST_SUITE_P(Modes, RejectedServices, ::testing::Values("silent", "exit", "stubborn"));

TEST(ServiceSupervisor, AFailingDownloadedPackIsRolledBackAndTheServiceStartedAgain) {
    test::ShellFixture shell;
    ASSERT_TRUE(shell.activatePack(2));
    shell.installScriptedService("builtin-only");
    auto supervisor = shell.makeSupervisor();

    supervisor->connectAndLoad();
    ASSERT_TRUE(test::runMainLoopUntil([&] { return shell.webView->loads.back() == supervisor->homeURL(); }, 30));
    auto starts = shell.serviceStarts();
    ASSERT_EQ(starts.size(), 6u);
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(starts[i]["env"]["VORDA_FEATURE_PACK_REVISION"], "2");
    EXPECT_EQ(starts[5]["env"]["VORDA_FEATURE_PACK_REVISION"], "0");
    EXPECT_EQ(starts[5]["port"].get<int>(), starts[4]["port"].get<int>()) << "the first retry keeps the current port";
    EXPECT_EQ(shell.packs().activeRevision(), 0) << "what a rollback does to the slots is the lifecycle tests' business";
    EXPECT_EQ(shell.logCount("retrying local service after feature pack rollback"), 1);
    supervisor->stop();
}

TEST(ServiceSupervisor, OverlappingRequestsNeverRunTwoWorkersAndQuittingStopsTheWorkerAndItsChild) {
    test::ShellFixture shell;
    shell.installScriptedService("silent");
    auto supervisor = shell.makeSupervisor();
    supervisor->connectAndLoad();
    for (int i = 0; i < 5; ++i) test::runMainLoopFor(0.2), supervisor->connectAndLoad();
    ASSERT_TRUE(test::runMainLoopUntil([&] { return shell.webView->shows(kTimeoutMessage); }, 30));
    EXPECT_EQ(shell.logCount("connectAndLoad scheduled"), 6);
    EXPECT_EQ(shell.logCount("local service worker started"), 1);

    // Once the outcome is in, the next request runs a worker of its own. Quitting while it starts
    // the service (a slow identity look-up here) returns at once, and nothing starts after it.
    shell.identityDelaySeconds = 2.0;
    const long launched = shell.logCount("bundled service launched on port ");
    supervisor->connectAndLoad();
    test::runMainLoopFor(0.8);
    auto before = std::chrono::steady_clock::now();
    supervisor->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500)) << "quitting must not wait";
    supervisor->connectAndLoad();
    supervisor->waitUntilWorkerEnded();
    EXPECT_TRUE(shell.allStartsEnded(5));
    EXPECT_EQ(shell.logCount("bundled service launched on port "), launched) << "nothing starts after quitting";
    EXPECT_EQ(shell.logCount("local service worker started"), 2);
}

TEST(ServiceSupervisor, ALostConnectionShowsTheEscapedErrorAndOneReconnectThatHomeCancels) {
    test::ShellFixture shell;
    auto supervisor = shell.makeSupervisor();
    // Markup in the message shows as text, an entity in it included.
    supervisor->connectionLost("Could not connect: <b class='x'>\"&lt;\"</b>");
    EXPECT_TRUE(
        shell.webView->shows("错误信息：Could not connect: &lt;b class=&#39;x&#39;&gt;&quot;&amp;lt;&quot;&lt;/b&gt;</p>"));
    supervisor->loadHome();  // cancels the pending reconnect
    EXPECT_EQ(shell.webView->loads.back(), supervisor->homeURL());
    test::runMainLoopFor(0.8);
    EXPECT_EQ(shell.logCount("connectAndLoad scheduled"), 0);

    supervisor->connectionLost("a");
    supervisor->connectionLost("b");  // replaces the first: one cycle only
    ASSERT_TRUE(test::runMainLoopUntil([&] { return shell.logCount("connectAndLoad scheduled") == 1; }, 3));
    test::runMainLoopFor(0.5);
    EXPECT_EQ(shell.logCount("connectAndLoad scheduled"), 1);
    supervisor->stop();
}

// A rollback the user asks for waits for the next launch: a reconnect keeps the healthy service
// started with the pack left behind, which the background check never fetches again.
TEST(ServiceSupervisor, AManualRollbackKeepsTheRunningServiceAndDeclinesItsPack) {
    test::ShellFixture shell;
    ASSERT_TRUE(shell.activatePack(1) && shell.activatePack(2));
    shell.installScriptedService("healthy");
    auto supervisor = shell.makeSupervisor();
    supervisor->connectAndLoad();
    ASSERT_TRUE(test::runMainLoopUntil([&] { return shell.webView->loads.back() == supervisor->homeURL(); }, 20));
    ASSERT_TRUE(shell.packs().requestManualRollback());
    supervisor->connectAndLoad();
    ASSERT_TRUE(test::runMainLoopUntil([&] { return shell.logCount("existing local service is ready") == 1; }, 20));
    EXPECT_EQ(std::pair(shell.serviceStarts().size(), shell.packs().snapshot().declinedRevisions), std::pair(1ul, std::vector<std::int64_t>{2}));
    supervisor->stop();
}

// Another account's server on the port answers as the service would: it is not trusted, and the
// service starts on a port of its own. It is slower than an attempt's
// wait and connects in the cycle's final wait: the last attempt's copy is kept for it, the earlier
// one stopped with its reason.
TEST(ServiceSupervisor, AStrangersListenerIsNotTrustedAndASlowServiceConnectsInItsFirstCycle) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root can run a server as another account";
    test::ShellFixture shell;
    shell.timing.startAttempts = 2, shell.timing.finalWait = 4;
    shell.installScriptedService("slow");
    shell.env.set("SCRIPTED_SERVICE_DELAY", "1.5");
    auto supervisor = shell.makeSupervisor();
    const int port = supervisor->localPort();
    auto stranger = platform::ChildProcess::launch(
        {"/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/python3",
                              TAVIRO_TEST_SUPPORT_DIR "/scripted-service.py"},
         {{"VORDA_PORT", std::to_string(port)}, {"SCRIPTED_SERVICE_RECORD", "/dev/null"}}, {}, {}, {}}).value();
    ASSERT_TRUE(platform::waitUntilListening(port, 10));
    supervisor->connectAndLoad();
    ASSERT_TRUE(test::runMainLoopUntil([&] { return shell.webView->loads.back().starts_with("http://"); }, 20));
    EXPECT_NE(supervisor->localPort(), port);
    EXPECT_EQ(std::pair(shell.serviceStarts().size(), shell.logCount("bundled service on port ")), std::pair(2ul, 1l));
    supervisor->stop();
    stranger->terminate();
}
