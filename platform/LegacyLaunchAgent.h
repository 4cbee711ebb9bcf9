#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace taviro::platform {

// The background agent that older installations registered with the user's service manager:
// one systemd user unit, stopped, disabled and its file deleted.
constexpr const char* kServiceManagerPath = "/usr/bin/systemctl";
constexpr const char* kLegacyAgentUnit = "com.ostrelin.video-web.service";

inline std::vector<std::string> legacyAgentStopArguments() { return {"--user", "stop", kLegacyAgentUnit}; }
inline std::vector<std::string> legacyAgentDisableArguments() { return {"--user", "disable", kLegacyAgentUnit}; }

// ~/.config/systemd/user/com.ostrelin.video-web.service
std::filesystem::path legacyAgentUnitFile();

}  // namespace taviro::platform
