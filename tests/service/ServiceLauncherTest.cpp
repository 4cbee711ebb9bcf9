#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/ShellHarness.h"

using namespace taviro;

namespace {

bool waitForStarts(const test::ShellFixture& shell, std::size_t count, double seconds = 10) {
    return test::runMainLoopUntil([&] { return shell.serviceStarts().size() >= count; }, seconds);
}

bool logContains(const test::ShellFixture& shell, const std::string& line) {
    auto log = shell.desktopLog();
    return std::find(log.begin(), log.end(), line) != log.end();
}

}  // namespace

TEST(ServiceLauncher, TheChildGetsItsWholeEnvironment) {
    test::ShellFixture shell;
    shell.installScriptedService("healthy");
    shell.platformUUID = " Machine-UUID-1\n";
    shell.keychain->setItem("device_from_keychain");
    shell.env.set("PATH", std::nullopt)
        .set("GENERATION_GATEWAY_URL", "https://inherited.example")
        .set("VORDA_PORT", "1")
        .set("VORDA_DEVICE_ID", "inherited-device")
        .set("VORDA_LEGACY_DEVICE_ID", "inherited-legacy")
        .set("VORDA_FEATURE_PACK_ROOT", "/inherited/pack/root")
        .set("VORDA_FEATURE_PACK_REVISION", "77")
        .set("TAVIRO_UNRELATED", "kept");
    auto delegate = shell.makeDelegate();
    const int port = delegate->localPort;

    ASSERT_TRUE(delegate->startBundledService());
    ASSERT_TRUE(waitForStarts(shell, 1));
    auto start = shell.serviceStarts().front();
    auto env = start["env"];
    const std::string resources = shell.resources.string();
    const std::string dataRoot = (shell.home / ".ostrelin-video-web").string();

    EXPECT_EQ(start["cwd"], resources);
    EXPECT_EQ(start["port"], port);
    EXPECT_EQ(env["PATH"], resources + "/bin:/usr/bin:/bin:/usr/sbin:/sbin");
    EXPECT_EQ(env["VORDA_BIN_DIR"], resources + "/bin");
    EXPECT_EQ(env["VORDA_DATA_ROOT"], dataRoot);
    EXPECT_EQ(env["OSTRELIN_WORKFLOW_DIR"], resources + "/workflows");
    EXPECT_EQ(env["VORDA_FONTS_DIR"], resources + "/fonts");
    EXPECT_EQ(env["VORDA_BUILTIN_BGM_DIR"], resources + "/bgm");
    EXPECT_EQ(env["VORDA_DEFAULT_BGM"], resources + "/default_bgm.m4a");
    EXPECT_EQ(env["VORDA_PROJECT_ROOT"], dataRoot + "/projects");
    EXPECT_EQ(env["GENERATION_GATEWAY_URL"], "https://api.example.test");
    EXPECT_EQ(env["VORDA_DEVICE_ID"], InstallationIdentity::hardwareDeviceID(
                                          IdentitySources{[] { return std::optional<std::string>("machine-uuid-1"); }, nullptr}));
    EXPECT_EQ(env["VORDA_LEGACY_DEVICE_ID"], "device_from_keychain");
    EXPECT_EQ(env["VORDA_PORT"], std::to_string(port));
    EXPECT_EQ(env["VORDA_INTEGRATION_ENABLED"], "1");
    EXPECT_EQ(env["PYTHONUNBUFFERED"], "1");
    EXPECT_EQ(env["VORDA_FEATURE_PACK_REVISION"], "0");
    EXPECT_EQ(env["VORDA_FEATURE_PACK_VERSION"], "builtin-1.0.70");
    EXPECT_EQ(env["VORDA_FEATURE_PACK_STATE"], (shell.dir / "store" / "state.json").string());
    EXPECT_EQ(env["VORDA_FEATURE_PACK_ROOT"], "/inherited/pack/root") << "no pack active: the inherited root stays";
    EXPECT_EQ(env["TAVIRO_UNRELATED"], "kept");
    EXPECT_EQ(shell.keychain->saves(), 0) << "a hardware identity is never saved";

    // A running child is kept as it is, whatever the port says now.
    auto child = delegate->currentBackendProcess();
    delegate->localPort = AppDelegate::findAvailablePort();
    EXPECT_TRUE(delegate->startBundledService());
    EXPECT_EQ(delegate->currentBackendProcess(), child);
    test::runMainLoopFor(0.3);
    EXPECT_EQ(shell.serviceStarts().size(), 1u);

    // The child's output and the shell's lines share the desktop log, in order.
    ASSERT_TRUE(test::runMainLoopUntil([&] { return logContains(shell, "scripted service healthy on port " + std::to_string(port)); }, 5));
    child->terminate();
    ASSERT_TRUE(test::runMainLoopUntil([&] { return logContains(shell, "bundled service exited with status 0"); }, 5));
    auto log = shell.desktopLog();
    auto launched = std::find(log.begin(), log.end(), "bundled service launched on port " + std::to_string(port));
    auto exited = std::find(log.begin(), log.end(), "bundled service exited with status 0");
    EXPECT_LT(launched, exited);
    EXPECT_EQ(shell.terminatedPids(), std::vector<int>{child->pid()});
}

TEST(ServiceLauncher, InheritedLegacyIdentityStaysWhenNoneIsFound) {
    test::ShellFixture shell;
    shell.installScriptedService("healthy");
    shell.platformUUID = "machine-uuid-2";
    shell.env.set("VORDA_LEGACY_DEVICE_ID", "inherited-legacy");
    auto delegate = shell.makeDelegate();
    ASSERT_TRUE(delegate->startBundledService());
    ASSERT_TRUE(waitForStarts(shell, 1));
    EXPECT_EQ(shell.serviceStarts().front()["env"]["VORDA_LEGACY_DEVICE_ID"], "inherited-legacy");
    delegate->currentBackendProcess()->terminate();
}

TEST(ServiceLauncher, ExecutablesThatCannotRun) {
    test::ShellFixture shell;
    auto delegate = shell.makeDelegate();
    const std::string executable = (shell.resources / "server" / "vorda-web-server" / "vorda-web-server").string();

    EXPECT_FALSE(delegate->startBundledService());
    EXPECT_TRUE(logContains(shell, "bundled service is not executable: " + executable));

    // Present but not executable.
    test::writeFile(executable, "#!/bin/sh\nexit 0\n");
    std::filesystem::permissions(executable, std::filesystem::perms(0644));
    EXPECT_FALSE(delegate->startBundledService());

    // Executable, but its interpreter does not exist: the launch itself fails.
    test::writeFile(executable, "#!/nonexistent/interpreter\n");
    std::filesystem::permissions(executable, std::filesystem::perms(0755));
    EXPECT_FALSE(delegate->startBundledService());
    auto log = shell.desktopLog();
    EXPECT_EQ(std::count(log.begin(), log.end(), "bundled service is not executable: " + executable), 2);
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& line) {
        return line.starts_with("failed to launch bundled service: ") && line.size() > 34;
    }));
    EXPECT_FALSE(delegate->currentBackendProcess());
}

TEST(ServiceLauncher, NoResourcesFolderMeansNoLaunchAndNoLogLine) {
    test::ShellFixture shell;
    AppDelegate::Platform platform;
    platform.mainQueue = platform::glibMainQueue();
    platform.http = platform::curlHttpClient();
    platform.resourcesFolder = [] { return std::optional<std::filesystem::path>(); };
    auto delegate = AppDelegate::create(std::move(platform));
    EXPECT_FALSE(delegate->startBundledService());
    EXPECT_TRUE(shell.desktopLog().empty());
}

TEST(ServiceLauncher, PortsAreFreeAndAboveTheSystemRange) {
    for (int i = 0; i < 20; ++i) {
        int port = AppDelegate::findAvailablePort();
        EXPECT_GT(port, 1023);
        EXPECT_LE(port, 65535);
    }
}
