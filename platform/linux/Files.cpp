#include "platform/Files.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

#include "platform/Uuid.h"

namespace taviro::platform {

bool writeAll(int descriptor, const char* data, std::size_t length) {
    while (length > 0) {
        ssize_t written = ::write(descriptor, data, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

namespace {

void syncFolder(const std::filesystem::path& folder) {
    int descriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) return;
    ::fsync(descriptor);
    ::close(descriptor);
}

Result<int> openRegularFile(const std::filesystem::path& file, int extraFlags) {
    // Non-blocking open, so that a FIFO planted where a file is expected cannot hang the caller;
    // anything but a regular file is refused before a byte is read.
    int descriptor = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | extraFlags);
    if (descriptor < 0) return std::unexpected(posixError(errno, "cannot open " + file.string()));
    struct stat info{};
    int statResult = ::fstat(descriptor, &info);
    if (statResult != 0 || !S_ISREG(info.st_mode)) {
        int statError = statResult != 0 ? errno : EINVAL;
        ::close(descriptor);
        return std::unexpected(posixError(statError, "not a regular file: " + file.string()));
    }
    int flags = ::fcntl(descriptor, F_GETFL);
    if (flags >= 0) ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK);
    return descriptor;
}

// Reads to the end, or fails once more than `maxBytes` have arrived.
Result<std::string> readOpened(int descriptor, const std::filesystem::path& file, std::int64_t maxBytes) {
    std::string content;
    char buffer[65536];
    for (;;) {
        ssize_t count = ::read(descriptor, buffer, sizeof buffer);
        if (count < 0) {
            if (errno == EINTR) continue;
            int readError = errno;
            ::close(descriptor);
            return std::unexpected(posixError(readError, "cannot read " + file.string()));
        }
        if (count == 0) break;
        content.append(buffer, static_cast<std::size_t>(count));
        if (static_cast<std::int64_t>(content.size()) > maxBytes) {
            ::close(descriptor);
            return std::unexpected(posixError(EFBIG, "larger than " + std::to_string(maxBytes) + " bytes: " + file.string()));
        }
    }
    ::close(descriptor);
    return content;
}

}  // namespace

Result<int> openRegularFileForReading(const std::filesystem::path& file) { return openRegularFile(file, 0); }

Result<std::string> readFile(const std::filesystem::path& file) {
    auto opened = openRegularFile(file, 0);
    if (!opened) return std::unexpected(opened.error());
    return readOpened(*opened, file, INT64_MAX);
}

Result<std::string> readUntrustedFile(const std::filesystem::path& file, std::int64_t maxBytes) {
    auto opened = openRegularFile(file, O_NOFOLLOW);
    if (!opened) return std::unexpected(opened.error());
    return readOpened(*opened, file, maxBytes);
}

VoidResult removeTree(const std::filesystem::path& path) {
    std::error_code code;
    auto status = std::filesystem::symlink_status(path, code);
    if (status.type() == std::filesystem::file_type::not_found) return {};
    if (code) return std::unexpected(posixError(code.value(), "cannot inspect " + path.string()));
    VoidResult result;
    if (status.type() == std::filesystem::file_type::directory) {
        ::chmod(path.c_str(), S_IRWXU);
        std::vector<std::filesystem::path> children;
        std::filesystem::directory_iterator entries(path, code);
        for (; !code && entries != std::filesystem::directory_iterator(); entries.increment(code)) {
            children.push_back(entries->path());
        }
        if (code) result = std::unexpected(posixError(code.value(), "cannot list " + path.string()));
        for (const auto& child : children) {
            if (auto removed = removeTree(child); !removed && result) result = removed;
        }
    }
    if (!std::filesystem::remove(path, code) && code && result) {
        result = std::unexpected(posixError(code.value(), "cannot remove " + path.string()));
    }
    return result;
}

VoidResult writeFileAtomically(const std::filesystem::path& file, const std::string& bytes, mode_t mode) {
    std::string temporary = (file.parent_path() / ("." + file.filename().string() + ".XXXXXX")).string();
    int descriptor = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (descriptor < 0) return std::unexpected(posixError(errno, "cannot create a file beside " + file.string()));

    // The mode is set before the rename so the file never exists with wider permissions.
    ::fchmod(descriptor, mode);
    int failed = 0;
    if (!writeAll(descriptor, bytes.data(), bytes.size()) || ::fsync(descriptor) != 0) failed = errno;
    if (::close(descriptor) != 0 && failed == 0) failed = errno;
    if (failed == 0 && ::rename(temporary.c_str(), file.c_str()) != 0) failed = errno;
    if (failed != 0) {
        ::unlink(temporary.c_str());
        return std::unexpected(posixError(failed, "cannot write " + file.string()));
    }
    syncFolder(file.parent_path());
    return {};
}

VoidResult appendToFile(const std::filesystem::path& file, const std::string& bytes) {
    int descriptor = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (descriptor < 0) return std::unexpected(posixError(errno, "cannot open " + file.string()));
    // One write per call: with O_APPEND the kernel places it at the end as a whole.
    bool written = writeAll(descriptor, bytes.data(), bytes.size());
    int writeError = errno;
    ::close(descriptor);
    if (!written) return std::unexpected(posixError(writeError, "cannot append to " + file.string()));
    return {};
}

VoidResult exchangePaths(const std::filesystem::path& first, const std::filesystem::path& second) {
    if (::renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE) != 0) {
        return std::unexpected(posixError(errno, "cannot exchange " + first.string() + " and " + second.string()));
    }
    return {};
}

Result<std::uint64_t> availableBytes(const std::filesystem::path& path) {
    struct statvfs info{};
    if (::statvfs(path.c_str(), &info) != 0) return std::unexpected(posixError(errno, "cannot measure " + path.string()));
    return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

Result<std::uint64_t> treeSize(const std::filesystem::path& folder) {
    std::error_code error;
    std::uint64_t total = 0;
    std::filesystem::recursive_directory_iterator walk(folder, error), end;
    for (; !error && walk != end; walk.increment(error)) {
        struct stat info{};
        if (::lstat(walk->path().c_str(), &info) == 0 && S_ISREG(info.st_mode)) total += static_cast<std::uint64_t>(info.st_size);
    }
    if (error) return std::unexpected(posixError(error.value(), "cannot measure " + folder.string()));
    return total;
}

bool canReplaceInPlace(const std::filesystem::path& package, const std::string& testFolderPrefix) {
    std::error_code error;
    if (std::filesystem::exists(package / kPackageManagerMarker, error) || error) return false;
    const auto parent = package.parent_path();
    if (::access(package.c_str(), W_OK) != 0 || ::access(parent.c_str(), W_OK) != 0) return false;
    // Write bits say little on read-only mounts or under other users' rules: try it for real.
    const auto probe = parent / (testFolderPrefix + randomUuid());
    if (::mkdir(probe.c_str(), 0700) == 0 && ::rmdir(probe.c_str()) == 0) return true;
    ::rmdir(probe.c_str());
    return false;
}

ExclusiveFileLock::ExclusiveFileLock(const std::filesystem::path& file)
    : descriptor_(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (descriptor_ < 0) return;
    while (::flock(descriptor_, LOCK_EX) != 0 && errno == EINTR) {
    }
}

ExclusiveFileLock::~ExclusiveFileLock() {
    if (descriptor_ >= 0) ::close(descriptor_);
}

}  // namespace taviro::platform
