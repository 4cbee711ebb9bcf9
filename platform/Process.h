#pragma once

#include <string>
#include <vector>

#include "platform/Error.h"

namespace taviro::platform {

// Runs the executable at `path` with `arguments` (the path is not repeated among them), with the
// caller's environment, working directory and standard streams, and blocks until it ends.
// Succeeds with its termination status: the exit code, or the signal number when a signal ended
// it. Fails when the process could not be started at all.
Result<int> runAndWait(const std::string& path, const std::vector<std::string>& arguments);

}  // namespace taviro::platform
