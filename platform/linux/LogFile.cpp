#include "platform/LogFile.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include "platform/Files.h"

namespace taviro::platform {
namespace {

// A line without an end is written once it reaches this size.
constexpr std::size_t kLongestLine = 64 * 1024;
// Tries to find the current file when other writers keep setting it aside.
constexpr int kOpenAttempts = 4;

// Never destroyed: a pump may still be copying while the process exits.
struct Pumps {
    std::mutex mutex;
    std::condition_variable ended;
    int running = 0;
};
Pumps& pumps() {
    static auto* registry = new Pumps;
    return *registry;
}

void pump(int readEnd, std::filesystem::path file) {
    std::string pending;
    char buffer[16 * 1024];
    for (;;) {
        const ssize_t count = ::read(readEnd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        pending.append(buffer, static_cast<std::size_t>(count));
        const auto end = pending.rfind('\n');
        if (end != std::string::npos) {
            (void)appendToLog(file, pending.substr(0, end + 1));
            pending.erase(0, end + 1);
        }
        if (pending.size() >= kLongestLine) (void)appendToLog(file, std::exchange(pending, {}) + "\n");
    }
    if (!pending.empty()) (void)appendToLog(file, pending + "\n");
    ::close(readEnd);
    std::lock_guard lock(pumps().mutex);
    --pumps().running;
    pumps().ended.notify_all();
}

}  // namespace

VoidResult appendToLog(const std::filesystem::path& file, const std::string& lines, std::uint64_t limitBytes) {
    const std::filesystem::path older = file.string() + ".1";
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        const int descriptor = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (descriptor < 0) return std::unexpected(posixError(errno, "cannot open " + file.string()));
        while (::flock(descriptor, LOCK_EX) != 0 && errno == EINTR) {
        }
        struct stat opened{}, named{};
        const bool current = ::fstat(descriptor, &opened) == 0 && ::stat(file.c_str(), &named) == 0 &&
                             opened.st_ino == named.st_ino && opened.st_dev == named.st_dev;
        const auto size = static_cast<std::uint64_t>(opened.st_size);
        if (current && size > 0 && size + lines.size() > limitBytes) {
            // Set aside under the lock; the next round opens the new file.
            (void)::rename(file.c_str(), older.c_str());
            ::close(descriptor);
            continue;
        }
        if (!current) {
            ::close(descriptor);  // another writer set it aside meanwhile
            continue;
        }
        const bool written = writeAll(descriptor, lines.data(), lines.size());
        const int writeError = errno;
        ::close(descriptor);
        if (!written) return std::unexpected(posixError(writeError, "cannot append to " + file.string()));
        return {};
    }
    return std::unexpected(posixError(EAGAIN, "cannot append to " + file.string()));
}

Result<std::shared_ptr<FileHandle>> openLogPipe(const std::filesystem::path& file) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return std::unexpected(posixError(errno, "cannot make a pipe for " + file.string()));
    {
        std::lock_guard lock(pumps().mutex);
        ++pumps().running;
    }
    try {
        std::thread(pump, ends[0], file).detach();
    } catch (const std::system_error& failure) {
        ::close(ends[0]), ::close(ends[1]);
        std::lock_guard lock(pumps().mutex);
        --pumps().running;
        return std::unexpected(posixError(failure.code().value(), "cannot copy output into " + file.string()));
    }
    return std::make_shared<FileHandle>(ends[1]);
}

void drainLogPipes(double seconds) {
    std::unique_lock lock(pumps().mutex);
    pumps().ended.wait_for(lock, std::chrono::duration<double>(seconds), [] { return pumps().running == 0; });
}

}  // namespace taviro::platform
