#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/ShellHarness.h"

using namespace taviro;

TEST(ServiceLauncher, TheChildGetsItsWholeEnvironmentAndSharesTheLog) {
    test::ShellFixture shell;
    shell.installScriptedService("healthy");
    shell.platformUUID = " Machine-UUID-1\n";
    shell.keychain->setItem("device_from_keychain");
    shell.env.set("PATH", std::nullopt)
        .set("GENERATION_GATEWAY_URL", "https://inherited.example")
        .set("VORDA_PORT", "1")
        .set("VORDA_DEVICE_ID", "inherited-device")
        .set("VORDA_FEATURE_PACK_ROOT", "/inherited/pack/root")
        .set("VORDA_FEATURE_PACK_REVISION", "77")
        .set("TAVIRO_UNRELATED", "kept");
    auto supervisor = shell.makeSupervisor();
    const int port = supervisor->localPort();

    ASSERT_TRUE(supervisor->startBundledService());
    ASSERT_TRUE(test::runMainLoopUntil([&] { return shell.serviceStarts().size() == 1; }, 10));
    auto start = shell.serviceStarts().front();
    const std::string resources = shell.package.resources().string();
    const std::string dataRoot = (shell.home / ".ostrelin-video-web").string();
    EXPECT_EQ(start["cwd"], resources);
    const std::map<std::string, std::string> expected{
        {"PATH", resources + "/bin:/usr/bin:/bin:/usr/sbin:/sbin"},
        {"VORDA_BIN_DIR", resources + "/bin"},
        {"VORDA_DATA_ROOT", dataRoot},
        {"OSTRELIN_WORKFLOW_DIR", resources + "/workflows"},
        {"VORDA_FONTS_DIR", resources + "/fonts"},
        {"VORDA_BUILTIN_BGM_DIR", resources + "/bgm"},
        {"VORDA_DEFAULT_BGM", resources + "/default_bgm.m4a"},
        {"VORDA_PROJECT_ROOT", dataRoot + "/projects"},
        {"GENERATION_GATEWAY_URL", "https://api.example.test"},
        {"VORDA_DEVICE_ID", *InstallationIdentity::hardwareDeviceID(
                                IdentitySources{[] { return std::optional<std::string>("machine-uuid-1"); }, nullptr})},
        {"VORDA_LEGACY_DEVICE_ID", "device_from_keychain"},
        {"VORDA_PORT", std::to_string(port)},
        {"VORDA_INTEGRATION_ENABLED", "1"},
        {"PYTHONUNBUFFERED", "1"},
        {"VORDA_FEATURE_PACK_REVISION", "0"},
        {"VORDA_FEATURE_PACK_VERSION", "builtin-1.0.70"},
        {"VORDA_FEATURE_PACK_STATE", (shell.dir / "store" / "state.json").string()},
        {"VORDA_FEATURE_PACK_ROOT", "/inherited/pack/root"},  // no pack active: the inherited root stays
        {"TAVIRO_UNRELATED", "kept"},
    };
    for (const auto& [name, value] : expected) EXPECT_EQ(start["env"][name], value) << name;
    EXPECT_EQ(shell.keychain->saves(), 0) << "a hardware identity is never saved";

    // A running child is kept as it is.
    auto child = supervisor->currentBackendProcess();
    EXPECT_TRUE(supervisor->startBundledService());
    EXPECT_EQ(supervisor->currentBackendProcess(), child);

    // The child's output and the shell's lines share the desktop log, in order.
    ASSERT_TRUE(test::runMainLoopUntil([&] { return shell.logCount("scripted service healthy on port " + std::to_string(port)) == 1; }, 5));
    child->terminate();
    ASSERT_TRUE(test::runMainLoopUntil([&] { return shell.logCount("bundled service exited with status 0") == 1; }, 5));
    auto log = shell.desktopLog();
    EXPECT_LT(std::find(log.begin(), log.end(), "bundled service launched on port " + std::to_string(port)),
              std::find(log.begin(), log.end(), "bundled service exited with status 0"));
    EXPECT_EQ(shell.terminatedPids(), std::vector<int>{child->pid()});
    EXPECT_EQ(shell.serviceStarts().size(), 1u);
}

TEST(ServiceLauncher, ExecutablesThatCannotRunAreNotStarted) {
    test::ShellFixture shell;
    auto supervisor = shell.makeSupervisor();
    const std::string executable = shell.package.serviceExecutable().string();
    const std::string notExecutable = "bundled service is not executable: " + executable;
    struct Case {
        std::optional<std::string> content;
        std::filesystem::perms mode;
        std::string logLine;
    } cases[] = {
        {std::nullopt, {}, notExecutable},
        {"#!/bin/sh\nexit 0\n", std::filesystem::perms(0644), notExecutable},
        // Executable, but its interpreter does not exist: the launch itself fails.
        {"#!/nonexistent/interpreter\n", std::filesystem::perms(0755), "failed to launch bundled service: "},
    };
    for (const auto& c : cases) {
        if (c.content) {
            test::writeFile(executable, *c.content);
            std::filesystem::permissions(executable, c.mode);
        }
        long before = shell.logCount(c.logLine);
        EXPECT_FALSE(supervisor->startBundledService()) << c.logLine;
        EXPECT_EQ(shell.logCount(c.logLine), before + 1) << c.logLine;
        EXPECT_FALSE(supervisor->currentBackendProcess());
    }

    // A missing service ends the cycle in the error page after five tries, then cycles again.
    std::filesystem::remove(executable);
    supervisor->connectAndLoad();
    ASSERT_TRUE(test::runMainLoopUntil([&] { return shell.logCount("connectAndLoad scheduled") == 2; }, 15));
    EXPECT_GE(shell.logCount(notExecutable), 2 + 5);
    supervisor->stop();
}

TEST(ServiceLauncher, PortsAreFreeAndAboveTheSystemRange) {
    for (int i = 0; i < 20; ++i) {
        int port = ServiceSupervisor::findAvailablePort();
        EXPECT_GT(port, 1023);
        EXPECT_LE(port, 65535);
    }
}
