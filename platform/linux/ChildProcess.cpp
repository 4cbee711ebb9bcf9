#include "platform/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/linux/WaitStatus.h"

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
};

namespace {

// Waits for the child to end without reaping it, marks it ended under the lock, and only then
// reaps it: until `exited` is set the pid cannot be handed to another process.
void waitForChild(pid_t pid, std::shared_ptr<ChildProcess::State> state, std::function<void(int)> onExit) {
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    int status = 0;
    {
        std::lock_guard lock(state->mutex);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        state->exited = true;
    }
    if (onExit) onExit(terminationStatus(status));
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
    std::thread(waitForChild, pid, state, std::move(options.onExit)).detach();
    return std::shared_ptr<ChildProcess>(new ChildProcess(pid, std::move(state)));
}

bool ChildProcess::isRunning() const {
    std::lock_guard lock(state_->mutex);
    return !state_->exited;
}

void ChildProcess::terminate() {
    std::lock_guard lock(state_->mutex);
    if (!state_->exited) ::kill(pid_, SIGTERM);
}

}  // namespace taviro::platform
