#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/Error.h"

namespace taviro::platform {

// A file descriptor that closes itself.
class FileHandle {
public:
    explicit FileHandle(int descriptor) : descriptor_(descriptor) {}
    ~FileHandle();
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    int descriptor() const { return descriptor_; }
    void close();

private:
    int descriptor_;
};

// Opens `file` for appending, creating it (mode 0644) when missing.
Result<std::shared_ptr<FileHandle>> openForAppending(const std::filesystem::path& file);

struct ChildProcessOptions {
    std::filesystem::path executable;
    std::vector<std::string> arguments;
    // The child's whole environment.
    std::map<std::string, std::string> environment;
    std::filesystem::path workingDirectory;
    // Standard output and standard error of the child; the shell's own streams when absent.
    std::shared_ptr<FileHandle> output;
    // Called once on a waiter thread when the child has ended, with its termination status:
    // the exit code, the signal number when a signal ended it, or `ChildProcess::unknownStatus`
    // when something else in the process reaped it.
    std::function<void(int status)> onExit;
};

// A launched child. A waiter thread reaps it, so it never lingers as a zombie. The child is
// reached through a pid descriptor, so `terminate` never signals another process that reused
// its pid; a child that cannot be watched is killed at once and its launch fails. It never
// outlives the shell: when the shell dies in any way, SIGKILL included, the child gets SIGTERM.
// It leads a process group of its own, so that what it starts can be stopped with it.
class ChildProcess {
public:
    static constexpr int unknownStatus = -1;
    // How long a child asked to stop may take before it and its group are killed.
    static constexpr int killGraceMilliseconds = 3000;

    static Result<std::shared_ptr<ChildProcess>> launch(ChildProcessOptions options);

    pid_t pid() const { return pid_; }
    bool isRunning() const;
    // Sends SIGTERM while the child runs, and SIGKILL to it and its process group when it still
    // runs `killGraceMilliseconds` later; does not wait.
    void terminate();

    struct State;

private:
    ChildProcess(pid_t pid, std::shared_ptr<State> state) : pid_(pid), state_(std::move(state)) {}
    pid_t pid_;
    std::shared_ptr<State> state_;
};

}  // namespace taviro::platform
