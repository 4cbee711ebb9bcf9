#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <csignal>
#include <fstream>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

#include "platform/ChildProcess.h"
#include "tests/support/TestSupport.h"

using namespace taviro;
using namespace std::chrono_literals;

namespace {

platform::ChildProcessOptions sleeper(const std::string& seconds, std::function<void(int)> onExit = {}) {
    platform::ChildProcessOptions options;
    options.executable = "/bin/sleep";
    options.arguments = {seconds};
    options.onExit = std::move(onExit);
    return options;
}

// Tasks (threads included) whose real user is `uid`: what the process-count limit counts.
long tasksOfUser(uid_t uid) {
    long tasks = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        if (!std::isdigit(static_cast<unsigned char>(entry.path().filename().string()[0]))) continue;  // "self" is us again
        std::ifstream status(entry.path() / "status");
        std::string key;
        long realUid = -1, threads = 0;
        while (status >> key) {
            if (key == "Uid:") status >> realUid;
            if (key == "Threads:") status >> threads;
        }
        if (realUid == static_cast<long>(uid)) tasks += threads;
    }
    return tasks;
}

}  // namespace

// With SIGCHLD ignored the kernel reaps children itself: the child still runs until it is
// stopped, and its end is reported once, with a status nobody can know rather than a clean 0.
TEST(ChildProcess, AChildReapedElsewhereRunsUntilItEndsAndIsReportedWithAnUnknownStatus) {
    struct sigaction ignore{}, previous{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGCHLD, &ignore, &previous);
    std::atomic<int> reports{0}, status{0};
    auto child = platform::ChildProcess::launch(sleeper("30", [&](int s) { status = s, ++reports; }));
    ASSERT_TRUE(child.has_value()) << child.error().description;
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE((*child)->isRunning());
    (*child)->terminate();
    for (int i = 0; i < 500 && reports == 0; ++i) std::this_thread::sleep_for(10ms);
    ::sigaction(SIGCHLD, &previous, nullptr);
    EXPECT_FALSE((*child)->isRunning());
    EXPECT_EQ(reports.load(), 1);
    EXPECT_EQ(status.load(), platform::ChildProcess::unknownStatus);
}

// When no thread can be made to watch a started child, the launch fails and the child is gone,
// never left running unwatched. The user's process limit leaves room for the child alone.
TEST(ChildProcess, ALaunchThatCannotWatchItsChildFailsAndLeavesNoChild) {
    const std::string marker = "1" + std::to_string(::getpid());  // a sleep length nobody else uses
    int status = test::runUnprivileged([&] {
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(tasksOfUser(::getuid()) + 1);
        if (::setrlimit(RLIMIT_NPROC, &limit) != 0) return 10;
        auto child = platform::ChildProcess::launch(sleeper(marker));
        if (child.has_value()) return 11;
        auto left = test::runCaptured({"/usr/bin/pgrep", "-f", "^/bin/sleep " + marker + "$"});
        return left.status == 1 ? 0 : 12;
    });
    EXPECT_EQ(status, 0) << "10: no limit, 11: launched anyway, 12: child left, other: crashed";
}
