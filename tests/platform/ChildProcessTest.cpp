#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <csignal>
#include <fstream>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
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
        // A first launch makes the thread children are forked from (and any a sanitizer adds).
        auto first = platform::ChildProcess::launch(sleeper("0"));
        while (first && (*first)->isRunning()) std::this_thread::sleep_for(10ms);
        std::this_thread::sleep_for(100ms);  // its waiter thread has ended
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

// A shell killed with SIGKILL takes its child along, also when the thread that launched the child
// ended long before; the child is asked with SIGTERM and ends, and no zombie stays.
TEST(ChildProcess, AChildGetsSigtermWhenItsParentIsKilledAfterTheLaunchingThreadEnded) {
    test::TempDir dir;
    const auto said = dir / "said";
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);  // orphans come to this process, which reaps them
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    const pid_t parent = ::fork();
    if (parent == 0) {
        pid_t child = 0;
        std::thread([&] {
            platform::ChildProcessOptions options;
            options.executable = "/bin/sh";
            options.arguments = {"-c", "trap 'echo term > " + said.string() + "; exit 0' TERM; while :; do sleep 0.05; done"};
            auto launched = platform::ChildProcess::launch(options);
            child = launched ? (*launched)->pid() : 0;
        }).join();
        (void)!::write(pipe[1], &child, sizeof child);
        ::pause();
    }
    ::close(pipe[1]);  // a parent that dies early then ends the read
    pid_t child = 0;
    ASSERT_EQ(::read(pipe[0], &child, sizeof child), static_cast<ssize_t>(sizeof child));
    ASSERT_GT(child, 0);
    std::this_thread::sleep_for(200ms);  // the trap is set
    ::kill(parent, SIGKILL);
    ::waitpid(parent, nullptr, 0);
    int status = 0;
    pid_t reaped = 0;
    for (int i = 0; i < 100 && reaped == 0; ++i, std::this_thread::sleep_for(20ms)) reaped = ::waitpid(child, &status, WNOHANG);
    if (reaped != child) ::kill(child, SIGKILL), ::waitpid(child, nullptr, 0);
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    ASSERT_EQ(reaped, child) << "the child outlived its parent by two seconds";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(test::readFile(said), "term\n");
}
