#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/ChildProcess.h"
#include "platform/Error.h"

namespace taviro::platform {

// A log grows to this size; then it is set aside as "<name>.1" (replacing an older one) and a
// new one begins, so a shell left open for days keeps at most twice this on disk.
inline constexpr std::uint64_t kLogRotationBytes = 8ULL << 20;

// Appends `lines` (whole lines, each ending in "\n") to `file` in one write, rotating it first
// when they would take it past `limitBytes`. Writers in any thread or process that use this
// take turns on a lock on the file, so none writes into a file another has just set aside and
// no batch of lines is ever split between two files.
VoidResult appendToLog(const std::filesystem::path& file, const std::string& lines,
                       std::uint64_t limitBytes = kLogRotationBytes);

// The write end of a pipe for a child's output, whose read end a thread of its own copies into
// `file` through `appendToLog`, whole lines at a time, until every writer has closed it.
Result<std::shared_ptr<FileHandle>> openLogPipe(const std::filesystem::path& file);

// Waits up to `seconds` for every pipe's last lines to reach its file (at quit: the service's
// farewell is written after it was asked to stop).
void drainLogPipes(double seconds);

}  // namespace taviro::platform
