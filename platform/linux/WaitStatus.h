#pragma once

#include <sys/wait.h>

namespace taviro::platform {

// A child's termination status as callers see it: the exit code, or the signal number when a
// signal ended it.
inline int terminationStatus(int waitStatus) {
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return WTERMSIG(waitStatus);
    return waitStatus;
}

}  // namespace taviro::platform
