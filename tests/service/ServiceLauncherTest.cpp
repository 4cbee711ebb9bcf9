#include <gtest/gtest.h>

#include "tests/support/ShellHarness.h"

using namespace taviro;

// What the service is given is checked end to end (tests/e2e); here, what keeps it from starting.
TEST(ServiceLauncher, ExecutablesThatCannotRunAreNotStarted) {
    test::ShellFixture shell;
    auto supervisor = shell.makeSupervisor();
    const std::string executable = shell.package.serviceExecutable().string();
    const std::string notExecutable = "bundled service is not executable: " + executable;
    // Missing, not executable, or executable with an interpreter that does not exist (the launch itself fails).
    const std::tuple<std::optional<std::string>, int, std::string> cases[] = {
        {std::nullopt, 0, notExecutable}, {"#!/bin/sh\nexit 0\n", 0644, notExecutable},
        {"#!/nonexistent/interpreter\n", 0755, "failed to launch bundled service: "},
    };
    for (const auto& [content, mode, logLine] : cases) {
        if (content) test::writeFile(executable, *content), std::filesystem::permissions(executable, std::filesystem::perms(mode));
        long before = shell.logCount(logLine);
        EXPECT_FALSE(supervisor->startBundledService()) << logLine;
        EXPECT_EQ(shell.logCount(logLine), before + 1) << logLine;
        EXPECT_FALSE(supervisor->currentBackendProcess());
    }
}
