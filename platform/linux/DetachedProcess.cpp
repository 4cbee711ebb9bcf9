#include "platform/DetachedProcess.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace taviro::platform {
namespace {

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

// Between fork and exec only async-signal-safe calls: the process has other threads, whose
// locks (malloc's above all) may be held by a thread that does not exist in the child.
[[noreturn]] void reportAndExit(int pipe, int error) {
    (void)!::write(pipe, &error, sizeof error);
    ::_exit(127);
}

// Every descriptor from 3 up closes when the executable starts; the three standard streams
// are in place already.
void closeOthersOnExec(int highest) {
    if (::close_range(3, ~0u, CLOSE_RANGE_CLOEXEC) == 0) return;
    for (int fd = 3; fd <= highest; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// Puts `fd` at `target`, open across exec. (A descriptor already there keeps its close-on-exec
// flag through dup2, so that one is cleared instead.)
bool place(int fd, int target) { return fd == target ? ::fcntl(fd, F_SETFD, 0) == 0 : ::dup2(fd, target) >= 0; }

[[noreturn]] void execDetached(const char* path, char* const* argv, int input, int output, int pipe, int highest) {
    if (!place(input, STDIN_FILENO) || !place(output, STDOUT_FILENO) || !place(output, STDERR_FILENO)) {
        reportAndExit(pipe, errno);
    }
    closeOthersOnExec(highest);
    // What the shell blocks or ignores must not stay blocked or ignored in the new program.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int number : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD}) ::sigaction(number, &defaults, nullptr);
    ::execve(path, argv, environ);
    reportAndExit(pipe, errno);
}

}  // namespace

VoidResult launchDetached(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
                          const std::filesystem::path& outputFile) {
    // Everything the children need is made here, before fork.
    std::string path = executable.string();
    std::vector<std::string> strings{path};
    strings.insert(strings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& each : strings) argv.push_back(each.data());
    argv.push_back(nullptr);

    Descriptor input(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (input.get() < 0) return std::unexpected(posixError(errno, "cannot open /dev/null"));
    Descriptor output(::open(outputFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (output.get() < 0) return std::unexpected(posixError(errno, "cannot open " + outputFile.string()));
    // The exec's outcome: closed unread when the executable starts, an errno when it does not.
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return std::unexpected(posixError(errno, "cannot create a pipe"));
    Descriptor readEnd(ends[0]);
    Descriptor writeEnd(ends[1]);
    rlimit limit{};
    int highest = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                      ? static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 20))
                      : 1 << 16;

    pid_t intermediate = ::fork();
    if (intermediate < 0) return std::unexpected(posixError(errno, "cannot start " + path));
    if (intermediate == 0) {
        // A session of its own, then a child that is no session leader (it can never take a
        // terminal) and whose parent ends at once, so it is nobody's child here.
        if (::setsid() < 0) reportAndExit(writeEnd.get(), errno);
        pid_t detached = ::fork();
        if (detached < 0) reportAndExit(writeEnd.get(), errno);
        if (detached == 0) execDetached(path.c_str(), argv.data(), input.get(), output.get(), writeEnd.get(), highest);
        ::_exit(0);
    }
    writeEnd.reset();
    int status = 0;
    while (::waitpid(intermediate, &status, 0) < 0 && errno == EINTR) {
    }

    int error = 0;
    ssize_t got;
    while ((got = ::read(readEnd.get(), &error, sizeof error)) < 0 && errno == EINTR) {
    }
    if (got == static_cast<ssize_t>(sizeof error)) return std::unexpected(posixError(error, "cannot start " + path));
    if (got != 0) return std::unexpected(posixError(EIO, "cannot tell whether " + path + " started"));
    return {};
}

}  // namespace taviro::platform
