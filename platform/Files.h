#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <sys/types.h>

#include "platform/Error.h"

namespace taviro::platform {

// Opens a regular file for reading (following symbolic links); anything else, a FIFO or a
// device above all, is refused without blocking. The caller closes the descriptor.
Result<int> openRegularFileForReading(const std::filesystem::path& file);

// Reads a whole regular file into memory.
Result<std::string> readFile(const std::filesystem::path& file);

// Reads a regular file of at most `maxBytes` that is not a symbolic link: for files that come
// from outside, whose size and kind are not to be trusted.
Result<std::string> readUntrustedFile(const std::filesystem::path& file, std::int64_t maxBytes);

// Writes every byte to the descriptor, resuming after interruptions and short writes.
bool writeAll(int descriptor, const char* data, std::size_t length);

// Removes `path` and everything under it, symbolic links removed and never followed. Folders
// are made writable first: one unpacked read-only would otherwise keep its contents. Nothing
// to remove is success.
VoidResult removeTree(const std::filesystem::path& path);

// Swaps what two paths name in one step: at every instant each names either what it named
// before or what the other did, never nothing. Both must exist on the same file system.
VoidResult exchangePaths(const std::filesystem::path& first, const std::filesystem::path& second);

// Bytes an unprivileged user may still write on the file system that holds `path`.
Result<std::uint64_t> availableBytes(const std::filesystem::path& path);
// The sizes of every regular file under `folder` added up; links are not followed.
Result<std::uint64_t> treeSize(const std::filesystem::path& folder);
// Inside a package that the system's package manager installed: that manager replaces it, whoever
// runs it.
inline constexpr const char* kPackageManagerMarker = "Contents/installed-by-package-manager";
// The package at `package` can be replaced in place: no package manager installed it, it and the
// folder holding it are writable, and a folder can really be made and removed beside it (named
// `testFolderPrefix` + a UUID).
bool canReplaceInPlace(const std::filesystem::path& package, const std::string& testFolderPrefix);
// Replaces `file` with `bytes` so that a reader sees either the old or the new content, never a
// partial one: the bytes go to a temporary file in the same folder, which is flushed to disk,
// given `mode` and renamed over `file`. On any failure the temporary file is removed and the
// old file is left untouched. A failure to set the mode is ignored.
VoidResult writeFileAtomically(const std::filesystem::path& file, const std::string& bytes, mode_t mode);

// Holds an exclusive lock (flock) on `file`, created when missing, for its lifetime: between
// processes, and between threads that each hold one of their own. Waits for it. When the file
// cannot be opened nothing is held, and the caller goes on unprotected rather than not at all.
class ExclusiveFileLock {
public:
    explicit ExclusiveFileLock(const std::filesystem::path& file);
    ~ExclusiveFileLock();
    ExclusiveFileLock(const ExclusiveFileLock&) = delete;
    ExclusiveFileLock& operator=(const ExclusiveFileLock&) = delete;

private:
    int descriptor_ = -1;
};

// Appends `bytes` to `file` (created when missing) with one write on a descriptor opened in
// append mode, so that concurrent appenders, in this process or others, never overwrite one
// another.
VoidResult appendToFile(const std::filesystem::path& file, const std::string& bytes);

}  // namespace taviro::platform
