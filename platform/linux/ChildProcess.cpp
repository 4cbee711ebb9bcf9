#include "platform/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <system_error>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>


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

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.output && options.output->descriptor() >= 0) {
        posix_spawn_file_actions_adddup2(&actions, options.output->descriptor(), STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, options.output->descriptor(), STDERR_FILENO);
    }
    // The child gets its three standard streams and nothing else of ours.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    if (!options.workingDirectory.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());
    }

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Signals the shell ignores or blocks must not stay ignored or blocked in the service, or it
    // could not be asked to stop.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGHUP);
    sigaddset(&defaults, SIGPIPE);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    pid_t pid = 0;
    int spawnError = posix_spawn(&pid, executable.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawnError != 0) return std::unexpected(posixError(spawnError, "cannot start " + executable));

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
    std::lock_guard lock(state_->mutex);
    if (!state_->exited) signalThrough(state_->pidDescriptor, SIGTERM);
}

}  // namespace taviro::platform
