#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace taviro::platform {

// Reads one variable of the process environment; absent and present-but-empty are distinct.
std::optional<std::string> environmentValue(const char* name);

// A copy of the process environment.
std::map<std::string, std::string> processEnvironment();

// $HOME when set and not empty, else the password database entry of the current user; absent
// when neither names a folder.
std::optional<std::filesystem::path> findHomeDirectory();

// The home folder found above. The application refuses to start without one, so everything
// after that check may rely on it; called without one, it throws.
std::filesystem::path homeDirectory();

// The user's application data folder: $XDG_DATA_HOME when it is an absolute path, else
// ~/.local/share.
std::filesystem::path applicationSupportDirectory();

// The running executable's own path, from /proc/self/exe.
std::filesystem::path executablePath();

}  // namespace taviro::platform
