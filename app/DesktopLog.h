#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace taviro {

inline constexpr const char* kDataRootFolderName = ".ostrelin-video-web";
inline constexpr const char* kDesktopLogFileName = "desktop-service.log";

// ~/.ostrelin-video-web: shared with the local service, which gets it as its data root.
std::filesystem::path dataRootDirectory();

// ~/.ostrelin-video-web/desktop-service.log
std::filesystem::path desktopLogPath();

// Appends "[<UTC time stamp>] <message>\n" to the desktop log, which is rotated at 8 MiB. Never
// fails outward and may be called from any thread: each call appends its whole line at once.
void appendDesktopLog(std::string_view message);

}  // namespace taviro
