#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace taviro::platform {

// The script that replaces the application package once the application has quit, run as
// kSwapScriptInterpreter SCRIPT APP_PATH NEW_APP LOG_PATH [OLD_PID [DESKTOP_LOG]], where NEW_APP
// is VERSION_FOLDER/staged/Taviro.app. Holding a lock beside the package for its whole run (a
// second script changes nothing), it waits for the old process (by its command line and, when
// given, its pid) to end, and gives up when it does not. It copies the new package beside the old
// one, checks its executable again and exchanges the two in one step where the file system can
// (two renames where it cannot), so APP_PATH always holds a whole package or, for the instant
// between two renames, a backup the next run puts back. It then starts the new version, which
// proves itself by creating the file kLaunchProofVariable names once its first page has loaded.
// Proven, the backup goes and the version folder is retired (its log stays); not proven within
// the wait, or ended first, the previous package is put back and started, and the version is
// refused. A failure before the exchange leaves the old package as it was.
inline constexpr const char* kSwapScriptName = "apply_update.sh";
inline constexpr const char* kSwapScriptInterpreter = "/bin/bash";
// The script's files in the version folder besides its own log.
inline constexpr const char* kUpdateArchiveName = "update.zip";
inline constexpr const char* kUpdateRecordName = "manifest.json";
inline constexpr const char* kStagedFolderName = "staged";
inline constexpr const char* kLaunchProofName = "launch-proof";
inline constexpr const char* kSwapFailuresName = "swap-failures";
// Present once a version was rolled back or could not be swapped in three times: never offered again.
inline constexpr const char* kRefusedMarkerName = "refused";
// The environment variable that names the launch proof to a version the script started.
inline constexpr const char* kLaunchProofVariable = "TAVIRO_UPDATE_LAUNCH_PROOF";
// How long the script waits for the old version to end and for the new one to prove itself;
// the variable shortens it for demos and tests.
inline constexpr int kSwapWaitSeconds = 60;
inline constexpr const char* kSwapWaitVariable = "TAVIRO_UPDATE_WAIT_SECONDS";
// taviro-exchange's status when the file system cannot exchange two paths in one step.
inline constexpr int kExchangeUnsupportedStatus = 3;

const std::string& updateSwapScript();
// The script's arguments after the script itself, OLD_PID being this process.
std::vector<std::string> updateSwapArguments(const std::filesystem::path& script, const std::filesystem::path& appPath,
                                             const std::filesystem::path& newApp, const std::filesystem::path& logPath,
                                             const std::filesystem::path& desktopLog);

}  // namespace taviro::platform
