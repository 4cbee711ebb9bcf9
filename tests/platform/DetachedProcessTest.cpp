#include <gtest/gtest.h>

#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/DetachedProcess.h"
#include "tests/support/TestSupport.h"

using namespace taviro;
using namespace std::chrono_literals;

TEST(DetachedProcess, RunsInASessionOfItsOwnAndIsNotOurChild) {
    test::TempDir folder;
    // Tells whether its session and parent differ from the ones it is given, then a line to standard error.
    test::writeFile(folder / "reporter.sh", "#!/bin/sh\nread -r pid comm state ppid pgrp sid rest < /proc/$$/stat\n"
                    "[ \"$sid\" -gt 0 ] && [ \"$sid\" != \"$1\" ] && [ \"$ppid\" -gt 0 ] && [ \"$ppid\" != \"$2\" ] && echo apart"
                    " || echo \"sid $sid ppid $ppid\"\necho done >&2\n");
    std::filesystem::permissions(folder / "reporter.sh", std::filesystem::perms::owner_all);
    const auto log = folder / "output.log";
    test::writeFile(log, "earlier line\n");
    auto launched =
        platform::launchDetached(folder / "reporter.sh", {std::to_string(::getsid(0)), std::to_string(::getpid())}, log);
    ASSERT_TRUE(launched.has_value()) << launched.error().description;
    // The intermediate process is reaped already; the detached one was never ours.
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    std::vector<std::string> lines;
    for (int i = 0; i < 500 && (lines = test::readLines(log)).size() < 3; ++i) std::this_thread::sleep_for(20ms);
    EXPECT_EQ(lines, (std::vector<std::string>{"earlier line", "apart", "done"}));
}
