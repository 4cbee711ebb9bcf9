#include "platform/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <future>
#include <mutex>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <system_error>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/Executor.h"

namespace taviro::platform {

FileHandle::~FileHandle() { close(); }

void FileHandle::close() {
    if (descriptor_ >= 0) ::close(descriptor_);
    descriptor_ = -1;
}

Result<std::shared_ptr<FileHandle>> openForAppending(const std::filesystem::path& file) {
    int descriptor = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (descriptor < 0) return std::unexpected(posixError(errno, "cannot open " + file.string()));
    return std::make_shared<FileHandle>(descriptor);
}

struct ChildProcess::State {
    std::mutex mutex;
    bool exited = false;
    // Refers to this child and no other, even once its pid is reused; closed when it has ended.
    int pidDescriptor = -1;
};

namespace {

// Straight to the kernel: the C library's declarations of these lack C linkage for C++.
int openPidDescriptor(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
void signalThrough(int pidDescriptor, int signal) { ::syscall(SYS_pidfd_send_signal, pidDescriptor, signal, nullptr, 0); }

// Blocks until the child has ended. The pid descriptor becomes readable when it ends, whoever
// reaps it, so a child reaped elsewhere (SIGCHLD ignored, a foreign waiter) still counts as
// running until it has really ended.
void waitUntilEnded(int pidDescriptor) {
    pollfd watched{pidDescriptor, POLLIN, 0};
    while (::poll(&watched, 1, -1) < 0 && errno == EINTR) {
    }
}

// Reaps an ended child: its exit code or the signal that ended it, or `unknownStatus` when
// someone else reaped it first.
int reapEnded(int pidDescriptor) {
    siginfo_t info{};
    int result;
    while ((result = ::waitid(P_PIDFD, static_cast<id_t>(pidDescriptor), &info, WEXITED)) < 0 && errno == EINTR) {
    }
    return result == 0 ? info.si_status : ChildProcess::unknownStatus;
}

void waitForChild(std::shared_ptr<ChildProcess::State> state, int pidDescriptor, std::function<void(int)> onExit) {
    waitUntilEnded(pidDescriptor);
    int status;
    {
        // Closed under the lock, so `terminate` never signals through a reused descriptor.
        std::lock_guard lock(state->mutex);
        status = reapEnded(pidDescriptor);
        ::close(pidDescriptor);
        state->pidDescriptor = -1;
        state->exited = true;
    }
    if (onExit) onExit(status);
}

// A child nobody can watch is not left behind: it is killed and reaped at once.
void killAndReap(pid_t pid, int pidDescriptor) {
    if (pidDescriptor >= 0) {
        signalThrough(pidDescriptor, SIGKILL);
        waitUntilEnded(pidDescriptor);
        reapEnded(pidDescriptor);
        ::close(pidDescriptor);
    } else {
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

// The thread every child is forked from. It is never joined and never ends before the process.
// A forked copy of this process has no such thread, whatever the pointer says: it makes its own.
SerialQueue* spawner = nullptr;
std::mutex spawnerMutex;

SerialQueue& spawningThread() {
    static const bool forgottenInForks = [] {
        return ::pthread_atfork(nullptr, nullptr, [] { spawner = nullptr; }) == 0;
    }();
    (void)forgottenInForks;
    std::lock_guard lock(spawnerMutex);
    if (spawner == nullptr) spawner = new SerialQueue("taviro-spawn");
    return *spawner;
}

// Forks and executes. Between the two only async-signal-safe calls: other threads may hold
// locks the child would wait on for ever. The child gets SIGTERM when the shell dies, however it
// dies; an exec failure comes back through a close-on-exec pipe as its errno.
Result<pid_t> forkAndExec(const std::string& executable, const std::vector<char*>& argv, const std::vector<char*>& envp,
                          int output, const std::string& folder) {
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return std::unexpected(posixError(errno, "cannot start " + executable));
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        auto fail = [&](int error) {
            (void)!::write(report[1], &error, sizeof error);
            ::_exit(127);
        };
        // Signals the shell ignores or blocks must not stay so in the child, or it could not be
        // asked to stop.
        struct sigaction byDefault{};
        byDefault.sa_handler = SIG_DFL;
        for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) ::sigaction(signal, &byDefault, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (output >= 0 && (::dup2(output, STDOUT_FILENO) < 0 || ::dup2(output, STDERR_FILENO) < 0)) fail(errno);
        // The child gets its three standard streams and nothing else of ours.
        if (report[1] > STDERR_FILENO + 1) ::close_range(STDERR_FILENO + 1, report[1] - 1, 0);
        ::close_range(report[1] + 1, ~0U, 0);
        if (!folder.empty() && ::chdir(folder.c_str()) != 0) fail(errno);
        if (::setpgid(0, 0) != 0) fail(errno);
        // A parent that died before the signal was set sends nothing: look again after setting it.
        if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0) fail(errno);
        if (::getppid() != parent) ::_exit(127);
        ::execve(executable.c_str(), argv.data(), envp.data());
        fail(errno);
    }
    ::close(report[1]);
    if (pid < 0) {
        int forkError = errno;
        ::close(report[0]);
        return std::unexpected(posixError(forkError, "cannot start " + executable));
    }
    int childError = 0;
    ssize_t count;
    while ((count = ::read(report[0], &childError, sizeof childError)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (count == static_cast<ssize_t>(sizeof childError)) {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return std::unexpected(posixError(childError, "cannot start " + executable));
    }
    return pid;
}

}  // namespace

Result<std::shared_ptr<ChildProcess>> ChildProcess::launch(ChildProcessOptions options) {
    std::string executable = options.executable.string();
    std::vector<std::string> environment;
    environment.reserve(options.environment.size());
    for (const auto& [name, value] : options.environment) environment.push_back(name + "=" + value);

    std::vector<char*> argv{const_cast<char*>(executable.c_str())};
    for (auto& argument : options.arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    const int output = options.output ? options.output->descriptor() : -1;
    const std::string folder = options.workingDirectory.string();
    // Forked on the spawning thread: a child's parent-death signal follows the thread that forked
    // it, and the caller's thread (a connection worker) may end long before the shell does.
    std::promise<Result<pid_t>> forked;
    spawningThread().post([&] { forked.set_value(forkAndExec(executable, argv, envp, output, folder)); });
    auto spawned = forked.get_future().get();
    if (!spawned) return std::unexpected(spawned.error());
    const pid_t pid = *spawned;

    auto state = std::make_shared<State>();
    state->pidDescriptor = openPidDescriptor(pid);
    if (state->pidDescriptor < 0) {
        int openError = errno;
        killAndReap(pid, -1);
        return std::unexpected(posixError(openError, "cannot watch " + executable));
    }
    try {
        std::thread(waitForChild, state, state->pidDescriptor, std::move(options.onExit)).detach();
    } catch (const std::system_error& failure) {
        killAndReap(pid, state->pidDescriptor);
        return std::unexpected(posixError(failure.code().value(), "cannot watch " + executable));
    }
    return std::shared_ptr<ChildProcess>(new ChildProcess(pid, std::move(state)));
}

bool ChildProcess::isRunning() const {
    std::lock_guard lock(state_->mutex);
    return !state_->exited;
}

void ChildProcess::terminate() {
    int watched = -1;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->exited) return;
        signalThrough(state_->pidDescriptor, SIGTERM);
        // A descriptor of its own: the waiter closes the shared one when the child ends.
        watched = ::fcntl(state_->pidDescriptor, F_DUPFD_CLOEXEC, 0);
    }
    if (watched < 0) return;
    // A child that ignores SIGTERM would otherwise stay for ever, with whatever it started.
    auto escalate = [watched, group = pid_] {
        pollfd ended{watched, POLLIN, 0};
        int ready;
        while ((ready = ::poll(&ended, 1, killGraceMilliseconds)) < 0 && errno == EINTR) {
        }
        // Still running: its group is still its own.
        if (ready == 0) {
            signalThrough(watched, SIGKILL);
            ::killpg(group, SIGKILL);
        }
        ::close(watched);
    };
    try {
        std::thread(escalate).detach();
    } catch (const std::system_error&) {
        ::close(watched);
    }
}

}  // namespace taviro::platform
