#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace taviro::platform {

// The script that replaces the application package once the application has quit, run as
// kSwapScriptInterpreter SCRIPT APP_PATH NEW_APP LOG_PATH [OLD_PID]. It waits for the old process
// (by its command line and, when given, its pid) to end,
// copies the new package beside the old one, exchanges the two in one step (so APP_PATH always
// holds a whole package), removes the old one and starts the new version once, in a session of
// its own. A failure before the exchange leaves the old package as it was.
inline constexpr const char* kSwapScriptName = "apply_update.sh";
inline constexpr const char* kSwapScriptInterpreter = "/bin/bash";

const std::string& updateSwapScript();
// The script's arguments after the script itself, OLD_PID being this process.
std::vector<std::string> updateSwapArguments(const std::filesystem::path& script, const std::filesystem::path& appPath,
                                             const std::filesystem::path& newApp, const std::filesystem::path& logPath);

}  // namespace taviro::platform
