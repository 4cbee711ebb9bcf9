#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "tests/window/WindowHarness.h"

namespace taviro::test::window {
namespace {

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + " | ";
    return text;
}

void expectCleanExit(ChildRun& child) {
    int status = child.waitForExit();
    ASSERT_NE(status, -1) << "still running: " << joined(child.lines());
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status << ": " << joined(child.lines());
    EXPECT_EQ(WEXITSTATUS(status), 0) << joined(child.lines());
    EXPECT_EQ(child.count("willTerminate"), 1) << joined(child.lines());
    EXPECT_EQ(child.count("returned 0"), 1) << joined(child.lines());
}

class QuitBySignal : public testing::TestWithParam<int> {};

TEST_P(QuitBySignal, RunsTheQuitSequenceOnceAndReturnsZero) {
    ChildRun child("signal");
    ASSERT_TRUE(child.waitForLine("launched")) << joined(child.lines());
    ASSERT_EQ(::kill(child.pid(), GetParam()), 0);
    expectCleanExit(child);
}

INSTANTIATE_TEST_SUITE_P(Signals, QuitBySignal, testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const testing::TestParamInfo<int>& info) -> std::string {
                             switch (info.param) {
                             case SIGTERM: return "SIGTERM";
                             case SIGINT: return "SIGINT";
                             default: return "SIGHUP";
                             }
                         });

// Each way of quitting, followed by every other way: the quit sequence still runs once.
class QuitBy : public testing::TestWithParam<std::string> {};

TEST_P(QuitBy, RunsTheQuitSequenceOnceAndReturnsZero) {
    ChildRun child("quit-" + GetParam());
    ASSERT_TRUE(child.waitForLine("launched")) << joined(child.lines());
    expectCleanExit(child);
}

INSTANTIATE_TEST_SUITE_P(Requests, QuitBy, testing::Values("menu", "close", "request", "shutdown"),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

TEST(Uniqueness, WithoutASessionBusEveryStartRunsOnItsOwn) {
    // The tests run with no session bus; both instances use the same application ID.
    ChildRun first("signal");
    ChildRun second("signal");
    ASSERT_TRUE(first.waitForLine("launched")) << joined(first.lines());
    ASSERT_TRUE(second.waitForLine("launched")) << joined(second.lines());
    ASSERT_EQ(::kill(first.pid(), SIGTERM), 0);
    ASSERT_EQ(::kill(second.pid(), SIGTERM), 0);
    expectCleanExit(first);
    expectCleanExit(second);
}

TEST(Uniqueness, ASecondStartBringsTheFirstForwardAndReturns) {
    gchar* runner = g_find_program_in_path("dbus-run-session");
    bool available = runner != nullptr;
    g_free(runner);
    if (!available) GTEST_SKIP() << "dbus-run-session is not installed";

    // A private session bus of their own for the two instances.
    ChildRun primary("unique-primary", {"dbus-run-session", "--"});
    int status = primary.waitForExit(60);
    ASSERT_NE(status, -1) << joined(primary.lines());
    ASSERT_TRUE(WIFEXITED(status)) << joined(primary.lines());
    EXPECT_EQ(WEXITSTATUS(status), 0) << joined(primary.lines());
    EXPECT_EQ(primary.count("primary launched"), 1) << joined(primary.lines());
    EXPECT_EQ(primary.count("primary activated again"), 1) << joined(primary.lines());
    EXPECT_EQ(primary.count("second launched"), 0) << joined(primary.lines());
    EXPECT_EQ(primary.count("second willTerminate"), 0) << joined(primary.lines());
    EXPECT_EQ(primary.count("second returned 0"), 1) << joined(primary.lines());
    EXPECT_EQ(primary.count("second exited 0"), 1) << joined(primary.lines());
    EXPECT_EQ(primary.count("primary willTerminate"), 1) << joined(primary.lines());
    EXPECT_EQ(primary.count("primary returned 0"), 1) << joined(primary.lines());
    EXPECT_EQ(primary.count("gave up waiting"), 0) << joined(primary.lines());
}

}  // namespace
}  // namespace taviro::test::window
