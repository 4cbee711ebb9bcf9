#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>

#include "app/DesktopLog.h"
#include "app/ProcessRunner.h"
#include "tests/support/TestSupport.h"

using namespace taviro;
using taviro::test::readFile;
using taviro::test::readLines;
using taviro::test::ScopedEnv;
using taviro::test::TempDir;

TEST(DesktopLog, CreatesDataRootAndWritesExactlyFormattedLines) {
    TempDir home;
    ScopedEnv env("HOME", home.path().string());
    auto log = home / ".ostrelin-video-web/desktop-service.log";
    ASSERT_FALSE(std::filesystem::exists(log.parent_path()));

    appendDesktopLog("desktop application launched");
    auto lines = readLines(log);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] desktop application launched)")))
        << lines[0];

    // Chinese text goes in as raw UTF-8; embedded line feeds are kept, one is added at the end.
    appendDesktopLog("功能包数字签名无效");
    appendDesktopLog("first\nsecond");
    std::string content = readFile(log);
    EXPECT_NE(content.find("] 功能包数字签名无效\n"), std::string::npos);
    EXPECT_NE(content.find("] first\nsecond\n"), std::string::npos);
    EXPECT_EQ(content.back(), '\n');
    EXPECT_EQ(readLines(log).size(), 4u);
}

TEST(DesktopLog, UnwritableDataRootLosesTheLineSilently) {
    TempDir home;
    // The data root's name is taken by a plain file, so neither folder nor log can be made.
    test::writeFile(home / ".ostrelin-video-web", "not a folder");
    ScopedEnv env("HOME", home.path().string());
    appendDesktopLog("lost");
    EXPECT_EQ(readFile(home / ".ostrelin-video-web"), "not a folder");
}

TEST(DesktopLog, ConcurrentThreadsAndAChildNeverOverwriteOneAnother) {
    TempDir home;
    ScopedEnv env("HOME", home.path().string());
    auto log = desktopLogPath();
    appendDesktopLog("start");

    // Long lines make a torn or overwritten write visible.
    constexpr int kThreads = 6, kLinesPerThread = 200, kChildLines = 300;
    const std::string padding(2000, 'x');
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLinesPerThread; ++i) {
                appendDesktopLog("thread " + std::to_string(t) + " line " + std::to_string(i) + " " + padding);
            }
        });
    }
    // The service writes through its own append-mode handle; a shell loop does the same.
    std::string script = "i=0; while [ $i -lt " + std::to_string(kChildLines) +
                         " ]; do printf 'child line %d " + padding + "\\n' $i >> \"$0\"; i=$((i+1)); done";
    int childStatus = runProcess("/bin/sh", {"-c", script, log.string()});
    for (auto& thread : threads) thread.join();
    ASSERT_EQ(childStatus, 0);

    auto lines = readLines(log);
    ASSERT_EQ(lines.size(), 1u + kThreads * kLinesPerThread + kChildLines);
    std::regex threadLine(R"(\[[0-9TZ:-]{20}\] thread (\d+) line (\d+) x{2000})");
    std::regex childLine(R"(child line (\d+) x{2000})");
    std::set<std::string> seen;
    for (const auto& line : lines) {
        std::smatch match;
        if (std::regex_match(line, match, threadLine)) {
            EXPECT_TRUE(seen.insert("t" + match[1].str() + ":" + match[2].str()).second) << "duplicate";
        } else if (std::regex_match(line, match, childLine)) {
            EXPECT_TRUE(seen.insert("c" + match[1].str()).second) << "duplicate";
        } else {
            EXPECT_NE(line.find("] start"), std::string::npos) << "torn line: " << line.substr(0, 80);
        }
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLinesPerThread + kChildLines));
}
