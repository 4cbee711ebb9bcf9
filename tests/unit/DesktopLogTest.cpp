#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>

#include "app/DesktopLog.h"
#include "app/ProcessRunner.h"
#include "tests/support/TestSupport.h"

using namespace taviro;

TEST(DesktopLog, MakesTheDataRootAndAppendsWholeStampedLines) {
    test::TempDir home;
    test::ScopedEnv env("HOME", home.path().string());
    appendDesktopLog("desktop application launched");
    appendDesktopLog("功能包数字签名无效");
    appendDesktopLog("first\nsecond");  // kept as given, one line feed added
    std::string content = test::readFile(home / ".ostrelin-video-web/desktop-service.log");
    const std::string stamp = R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] )";
    EXPECT_TRUE(std::regex_match(content, std::regex(stamp + "desktop application launched\n" + stamp + "功能包数字签名无效\n" + stamp +
                                                     "first\nsecond\n")))
        << content;
}

TEST(DesktopLog, AnUnwritableDataRootLosesTheLineSilently) {
    test::TempDir home;
    test::writeFile(home / ".ostrelin-video-web", "not a folder");
    test::ScopedEnv env("HOME", home.path().string());
    appendDesktopLog("lost");
    EXPECT_EQ(test::readFile(home / ".ostrelin-video-web"), "not a folder");
}

TEST(DesktopLog, ConcurrentThreadsAndAChildNeverOverwriteOneAnother) {
    test::TempDir home;
    test::ScopedEnv env("HOME", home.path().string());
    // Long lines make a torn or overwritten write visible. The service appends through its own
    // handle in append mode; a shell loop does the same.
    const std::string padding(2000, 'x');
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) appendDesktopLog("thread " + std::to_string(t) + " line " + std::to_string(i) + " " + padding);
        });
    }
    std::string script = "i=0; while [ $i -lt 300 ]; do printf 'child line %d " + padding + "\\n' $i >> \"$0\"; i=$((i+1)); done";
    std::filesystem::create_directories(desktopLogPath().parent_path());
    EXPECT_EQ(runProcess("/bin/sh", {"-c", script, desktopLogPath().string()}), 0);
    for (auto& thread : threads) thread.join();

    std::regex whole(R"(\[[0-9TZ:-]{20}\] (thread \d+ line \d+) x{2000}|(child line \d+) x{2000})");
    std::set<std::string> seen;
    for (const auto& line : test::readLines(desktopLogPath())) {
        std::smatch match;
        EXPECT_TRUE(std::regex_match(line, match, whole)) << "torn line: " << line.substr(0, 80);
        EXPECT_TRUE(seen.insert(match[1].str() + match[2].str()).second) << "duplicate: " << line.substr(0, 80);
    }
    EXPECT_EQ(seen.size(), 6u * 200 + 300);
}
