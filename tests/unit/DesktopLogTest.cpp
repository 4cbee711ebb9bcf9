#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>

#include "app/DesktopLog.h"
#include "app/ProcessRunner.h"
#include "platform/LogFile.h"
#include "tests/support/TestSupport.h"

using namespace taviro;

// Past 8 MiB the log is set aside as ".1" once, and every line lands whole in one of the two.
TEST(DesktopLog, ThreadsAndAChildAppendWholeStampedLinesWithoutOverwritingOneAnotherAcrossARotation) {
    test::TempDir home;
    test::ScopedEnv env("HOME", home.path().string());
    // Long lines make a torn or overwritten write visible. The service writes into a pipe, which
    // the shell copies into the log; a shell loop does the same.
    const std::string padding = " " + std::string(6000, 'x');
    std::vector<std::jthread> threads;
    for (int t = 0; t < 6; ++t) threads.emplace_back([&, t] {
        for (int i = 0; i < 200; ++i) appendDesktopLog("thread " + std::to_string(t) + " line " + std::to_string(i) + padding);
    });
    auto script = "i=0; while [ $i -lt 300 ]; do printf 'child line %d" + padding + "\\n' $i; i=$((i+1)); done";
    std::filesystem::create_directories(desktopLogPath().parent_path());
    ASSERT_TRUE(platform::ChildProcess::launch({"/bin/sh", {"-c", script}, {}, {}, platform::openLogPipe(desktopLogPath()).value(), {}}));
    platform::drainLogPipes(30);  // until the child's last line is in
    threads.clear();  // joins
    std::regex whole(R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] (thread \d+ line \d+) x{6000}|(child line \d+) x{6000})");
    std::set<std::string> seen;
    for (const auto& log : {desktopLogPath().string() + ".1", desktopLogPath().string()}) {
        EXPECT_LE(std::filesystem::file_size(log), 8u << 20);
        for (const auto& line : test::readLines(log)) {
            std::smatch match;
            EXPECT_TRUE(std::regex_match(line, match, whole)) << "torn line: " << line.substr(0, 80);
            EXPECT_TRUE(seen.insert(match[1].str() + match[2].str()).second) << "duplicate: " << line.substr(0, 80);
        }
    }
    EXPECT_EQ(seen.size(), 6u * 200 + 300);
}

TEST(ProcessRunner, ReturnsTheTerminationStatusOrOneWhenTheToolCannotStart) {
    // Arguments arrive verbatim, one each, the path not among them.
    const std::tuple<std::string, std::vector<std::string>, int> cases[] = {
        {"/bin/sh", {"-c", "exit 7"}, 7}, {"/bin/sh", {"-c", "kill -TERM $$"}, 15},
        {"/bin/sh", {"-c", "[ \"$0\" = 'a b' ] && [ $# -eq 1 ] && [ -z \"$1\" ]", "a b", ""}, 0},
        {"/nonexistent/missing", {}, 1},
    };
    for (const auto& [path, arguments, expected] : cases) EXPECT_EQ(runProcess(path, arguments), expected) << path;
}
