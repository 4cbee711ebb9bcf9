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

// A child dies with a shell killed by SIGKILL after the launching thread ended: proven with the real shell and its
// service by tests/e2e/test_windowed_app.py (test_a_shell_killed_with_sigkill_takes_its_service_along).

using namespace taviro;
using namespace std::chrono_literals;
using platform::ChildProcess;

namespace {

platform::ChildProcessOptions sleeper(const std::string& seconds, std::function<void(int)> onExit = {}) {
    return {"/bin/sleep", {seconds}, {}, {}, {}, std::move(onExit)};
}

// Tasks (threads included) whose real user is `uid`: what the process-count limit counts.
long tasksOfUser(uid_t uid) {
    long tasks = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        if (!std::isdigit(static_cast<unsigned char>(entry.path().filename().string()[0]))) continue;  // "self" is us again
        std::ifstream status(entry.path() / "status");
        long realUid = -1, threads = 0;
        for (std::string key; status >> key;) {
            if (key == "Uid:") status >> realUid;
            if (key == "Threads:") status >> threads;
        }
        tasks += realUid == static_cast<long>(uid) ? threads : 0;
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
    auto child = ChildProcess::launch(sleeper("30", [&](int s) { status = s, ++reports; }));
    ASSERT_TRUE(child.has_value()) << child.error().description;
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE((*child)->isRunning());
    (*child)->terminate();
    for (int i = 0; i < 500 && reports == 0; ++i) std::this_thread::sleep_for(10ms);
    ::sigaction(SIGCHLD, &previous, nullptr);
    EXPECT_FALSE((*child)->isRunning());
    EXPECT_EQ(reports.load(), 1);
    EXPECT_EQ(status.load(), ChildProcess::unknownStatus);
}

// When no thread can be made to watch a started child, the launch fails and the child is gone,
// never left running unwatched. The user's process limit leaves room for the child alone.
TEST(ChildProcess, ALaunchThatCannotWatchItsChildFailsAndLeavesNoChild) {
    const std::string marker = "1" + std::to_string(::getpid());  // a sleep length nobody else uses
    int status = test::runUnprivileged([&] {
        // A first launch makes the thread children are forked from (and any a sanitizer adds).
        auto first = ChildProcess::launch(sleeper("0"));
        while (first && (*first)->isRunning()) std::this_thread::sleep_for(10ms);
        std::this_thread::sleep_for(100ms);  // its waiter thread has ended
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(tasksOfUser(::getuid()) + 1);
        if (::setrlimit(RLIMIT_NPROC, &limit) != 0) return 10;
        if (ChildProcess::launch(sleeper(marker))) return 11;
        return test::runCaptured({"/usr/bin/pgrep", "-f", "^/bin/sleep " + marker + "$"}).status == 1 ? 0 : 12;
    });
    EXPECT_EQ(status, 0) << "10: no limit, 11: launched anyway, 12: child left, other: crashed";
}
