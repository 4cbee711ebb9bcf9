#include "app/DesktopLog.h"

#include "platform/Clock.h"
#include "platform/LogFile.h"
#include "platform/Paths.h"

namespace taviro {

std::filesystem::path dataRootDirectory() { return platform::homeDirectory() / kDataRootFolderName; }

std::filesystem::path desktopLogPath() { return dataRootDirectory() / kDesktopLogFileName; }

// Taken as a view: a constant line is passed by address rather than assembled at each call.
void appendDesktopLog(std::string_view message) {
    std::error_code ignored;
    std::filesystem::create_directories(dataRootDirectory(), ignored);
    // A lost log line must never interrupt the program.
    (void)platform::appendToLog(desktopLogPath(), "[" + platform::iso8601Now() + "] " + std::string(message) + "\n");
}

}  // namespace taviro
