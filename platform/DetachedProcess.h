#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/Error.h"

namespace taviro::platform {

// Starts `executable` with `arguments` (the executable is not repeated among them), our
// environment and working directory, so that it outlives us: in a session of its own, the
// child of an intermediate process that has already ended (never ours to wait for, never our
// zombie), standard input from /dev/null, standard output and standard error appended to
// `outputFile` (created when missing), and no other descriptor of ours. Returns once it runs
// the executable; fails when it could not (a missing or non-executable file, with its errno).
VoidResult launchDetached(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
                          const std::filesystem::path& outputFile);

}  // namespace taviro::platform
