#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>

#include "app/DesktopLog.h"
#include "app/ProcessRunner.h"
#include "tests/support/TestSupport.h"

using namespace taviro;

TEST(DesktopLog, ThreadsAndAChildAppendWholeStampedLinesWithoutOverwritingOneAnother) {
    test::TempDir home;
    test::ScopedEnv env("HOME", home.path().string());
    // Long lines make a torn or overwritten write visible. The service appends through its own
    // handle in append mode; a shell loop does the same.
    const std::string padding = " " + std::string(2000, 'x');
    std::vector<std::jthread> threads;
    for (int t = 0; t < 6; ++t) threads.emplace_back([&, t] {
        for (int i = 0; i < 200; ++i) appendDesktopLog("thread " + std::to_string(t) + " line " + std::to_string(i) + padding);
    });
    auto script = "i=0; while [ $i -lt 300 ]; do printf 'child line %d" + padding + "\\n' $i >> \"$0\"; i=$((i+1)); done";
    std::filesystem::create_directories(desktopLogPath().parent_path());
    EXPECT_EQ(runProcess("/bin/sh", {"-c", script, desktopLogPath().string()}), 0);
    threads.clear();  // joins
    std::regex whole(R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] (thread \d+ line \d+) x{2000}|(child line \d+) x{2000})");
    std::set<std::string> seen;
    for (const auto& line : test::readLines(desktopLogPath())) {
        std::smatch match;
        EXPECT_TRUE(std::regex_match(line, match, whole)) << "torn line: " << line.substr(0, 80);
        EXPECT_TRUE(seen.insert(match[1].str() + match[2].str()).second) << "duplicate: " << line.substr(0, 80);
    }
    EXPECT_EQ(seen.size(), 6u * 200 + 300);
}

TEST(ProcessRunner, ReturnsTheTerminationStatusOrOneWhenTheToolCannotStart) {
    // Arguments arrive verbatim, one each, the path not among them.
    const std::tuple<std::string, std::vector<std::string>, int> cases[] = {
        {"/bin/sh", {"-c", "exit 7"}, 7}, {"/bin/sh", {"-c", "kill -TERM $$"}, 15},
        {"/bin/sh", {"-c", "[ \"$0\" = 'a b' ] && [ $# -eq 1 ] && [ -z \"$1\" ]", "a b", ""}, 0},
        {"/nonexistent/missing", {}, 1}, {"/tmp", {}, 1}, {"/dev/null", {}, 1},
    };
    for (const auto& [path, arguments, expected] : cases) EXPECT_EQ(runProcess(path, arguments), expected) << path;
}
