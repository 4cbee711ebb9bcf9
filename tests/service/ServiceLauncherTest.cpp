#include <gtest/gtest.h>

#include "tests/support/ShellHarness.h"

using namespace taviro;

// What the service is given is checked end to end (tests/e2e); here, what keeps it from starting.
TEST(ServiceLauncher, ExecutablesThatCannotRunAreNotStarted) {
    test::ShellFixture shell;
    auto supervisor = shell.makeSupervisor();
    const std::string executable = shell.package.serviceExecutable().string();
    const std::string notExecutable = "bundled service is not executable: " + executable;
    const struct {
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
        if (c.content) test::writeFile(executable, *c.content), std::filesystem::permissions(executable, c.mode);
        long before = shell.logCount(c.logLine);
        EXPECT_FALSE(supervisor->startBundledService()) << c.logLine;
        EXPECT_EQ(shell.logCount(c.logLine), before + 1) << c.logLine;
        EXPECT_FALSE(supervisor->currentBackendProcess());
    }
}
