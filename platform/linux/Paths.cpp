#include "platform/Paths.h"
#include "platform/PackageLayout.h"

#include <cstdlib>
#include <pwd.h>
#include <stdexcept>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace taviro::platform {

std::map<std::string, std::string> processEnvironment() {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string_view text(*entry);
        std::size_t equals = text.find('=');
        if (equals == std::string_view::npos || equals == 0) continue;
        // The first definition of a name is the one getenv sees.
        variables.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
    }
    return variables;
}

std::optional<std::string> environmentValue(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::optional<std::filesystem::path> findHomeDirectory() {
    if (auto home = environmentValue("HOME"); home && !home->empty()) return *home;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] != '\0') {
        return found->pw_dir;
    }
    return std::nullopt;
}

std::filesystem::path homeDirectory() {
    // Never a shared fallback such as /tmp, where others could plant or read the user's data.
    if (auto home = findHomeDirectory()) return *home;
    throw std::runtime_error("no home folder");
}

std::filesystem::path applicationSupportDirectory() {
    // Relative values are invalid for XDG folders and are ignored.
    if (auto dataHome = environmentValue("XDG_DATA_HOME"); dataHome && !dataHome->empty() && dataHome->front() == '/') {
        return *dataHome;
    }
    return homeDirectory() / ".local" / "share";
}

std::filesystem::path executablePath() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : path;
}

PackageLayout PackageLayout::ofExecutable(const std::filesystem::path& executable) {
    return PackageLayout{executable.parent_path().parent_path()};
}

PackageLayout PackageLayout::running() { return ofExecutable(executablePath()); }

}  // namespace taviro::platform
