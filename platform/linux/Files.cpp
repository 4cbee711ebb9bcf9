#include "platform/Files.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace taviro::platform {
namespace {

// Writes every byte, resuming after interruptions and short writes.
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

void syncFolder(const std::filesystem::path& folder) {
    int descriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) return;
    ::fsync(descriptor);
    ::close(descriptor);
}

}  // namespace

Result<int> openRegularFileForReading(const std::filesystem::path& file) {
    // Non-blocking open, so that a FIFO planted where a file is expected cannot hang the caller;
    // anything but a regular file is refused before a byte is read.
    int descriptor = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
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

Result<std::string> readFile(const std::filesystem::path& file) {
    auto opened = openRegularFileForReading(file);
    if (!opened) return std::unexpected(opened.error());
    int descriptor = *opened;
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
    }
    ::close(descriptor);
    return content;
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

}  // namespace taviro::platform
