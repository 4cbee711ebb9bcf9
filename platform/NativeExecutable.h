#pragma once

#include <filesystem>

namespace taviro::platform {

// `file` itself (not a link to it) is a regular file this user may execute, and an ELF executable
// built for the machine this build is for: a package whose program could not start here is never
// installed.
bool isNativeExecutable(const std::filesystem::path& file);

}  // namespace taviro::platform
