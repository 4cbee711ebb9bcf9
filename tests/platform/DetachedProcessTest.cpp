#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/DetachedProcess.h"
#include "tests/support/TestSupport.h"

using namespace taviro;

namespace {

// Writes what it sees of itself to $1: pid, session, parent, whether descriptor $2 is open,
// and where standard input comes from; then a line to each output stream.
constexpr const char* kReporter = R"sh(#!/bin/sh
read -r pid comm state ppid pgrp sid rest < /proc/$$/stat
held=no
[ -e /proc/$$/fd/$2 ] && held=yes
echo "$pid $sid $ppid $held $(readlink /proc/$$/fd/0)" > "$1.part" && mv "$1.part" "$1"
echo "to standard output"
echo "to standard error" >&2
)sh";

bool waitFor(const std::function<bool()>& condition) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

TEST(DetachedProcess, RunsInASessionOfItsOwnAndIsNotOurChild) {
    test::TempDir folder;
    auto script = folder / "reporter.sh";
    test::writeFile(script, kReporter);
    ::chmod(script.c_str(), 0755);
    auto log = folder / "output.log";
    test::writeFile(log, "earlier line\n");
    // A descriptor the process must not inherit, although nothing asks for it to be closed.
    int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 0);
    auto report = folder / "report";

    auto launched = platform::launchDetached(script, {report.string(), std::to_string(leaked)}, log);
    ::close(leaked);
    ASSERT_TRUE(launched.has_value()) << launched.error().description;
    // The intermediate process is reaped already; the detached one was never ours.
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);

    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(report); }));
    std::istringstream seen(test::readFile(report));
    pid_t pid = 0, session = 0, parent = 0;
    std::string held, input;
    seen >> pid >> session >> parent >> held >> input;
    EXPECT_GT(pid, 0);
    EXPECT_NE(session, ::getsid(0));
    EXPECT_NE(session, 0);
    EXPECT_NE(parent, ::getpid());
    EXPECT_EQ(held, "no");
    EXPECT_EQ(input, "/dev/null");
    EXPECT_TRUE(waitFor([&] { return test::readLines(log).size() == 3; }));
    EXPECT_EQ(test::readFile(log), "earlier line\nto standard output\nto standard error\n");
}

TEST(DetachedProcess, AnExecutableThatCannotRunIsAnError) {
    test::TempDir folder;
    test::writeFile(folder / "plain.sh", "#!/bin/sh\necho ran\n");
    ::chmod((folder / "plain.sh").c_str(), 0644);
    struct Case {
        const char* name;
        std::filesystem::path executable;
        int error;
    } cases[] = {
        {"missing", folder / "no-such-program", ENOENT},
        {"not executable", folder / "plain.sh", EACCES},
    };
    for (const auto& c : cases) {
        auto launched = platform::launchDetached(c.executable, {}, folder / "output.log");
        ASSERT_FALSE(launched.has_value()) << c.name;
        EXPECT_EQ(launched.error().domain, "POSIX") << c.name;
        EXPECT_EQ(launched.error().code, c.error) << c.name << ": " << launched.error().description;
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << c.name;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(test::readFile(folder / "output.log"), "");
}

}  // namespace
