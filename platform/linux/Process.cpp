#include "platform/Process.h"

#include <cerrno>
#include <spawn.h>
#include <sys/wait.h>

#include "platform/linux/WaitStatus.h"

extern char** environ;

namespace taviro::platform {

Result<int> runAndWait(const std::string& path, const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    pid_t child = 0;
    // glibc's posix_spawn reports a failed exec (missing file, not executable) as its result.
    int spawnError = posix_spawn(&child, path.c_str(), nullptr, nullptr, argv.data(), environ);
    if (spawnError != 0) return std::unexpected(posixError(spawnError, "cannot start " + path));

    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return std::unexpected(posixError(errno, "cannot wait for " + path));
    }
    return terminationStatus(status);
}

}  // namespace taviro::platform
