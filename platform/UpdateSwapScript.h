#pragma once

#include <string>

namespace taviro::platform {

// The script that replaces the application package once the application has quit, run as
// kSwapScriptInterpreter SCRIPT APP_PATH NEW_APP LOG_PATH. It waits for the old process to end,
// copies the new package beside the old one, exchanges the two in one step (so APP_PATH always
// holds a whole package), removes the old one and starts the new version once, in a session of
// its own. A failure before the exchange leaves the old package as it was.
inline constexpr const char* kSwapScriptName = "apply_update.sh";
inline constexpr const char* kSwapScriptInterpreter = "/bin/bash";

const std::string& updateSwapScript();

}  // namespace taviro::platform
