#include "app/DesktopLog.h"

#include "platform/Clock.h"
#include "platform/LogFile.h"
#include "platform/Paths.h"

namespace taviro {

std::filesystem::path dataRootDirectory() { return platform::homeDirectory() / kDataRootFolderName; }

std::filesystem::path desktopLogPath() { return dataRootDirectory() / kDesktopLogFileName; }

void appendDesktopLog(const std::string& message) {
    std::error_code ignored;
    std::filesystem::create_directories(dataRootDirectory(), ignored);
    // A lost log line must never interrupt the program.
    (void)platform::appendToLog(desktopLogPath(), "[" + platform::iso8601Now() + "] " + message + "\n");
}

}  // namespace taviro
