#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/ProjectVersion.h"

namespace taviro {

// The process entry: three exact command lines run one feature-pack operation headless, and
// "--help" or "--version" alone print and exit; any other command line starts the windowed
// application (a desktop may pass anything).
struct TaviroMain {
    enum class Mode { windowed, prepare, verify, stage, help, version };

    struct Command {
        Mode mode = Mode::windowed;
        std::string archivePath;  // absolute
        std::string version;
        std::int64_t revision = 0;
        std::string archiveSHA256;
    };

    // The application version every headless mode runs with.
    static constexpr const char* headlessAppVersion = kProjectVersion;

    static Command parseCommandLine(const std::vector<std::string>& arguments);

    // Optional sign, then ASCII digits only, within the signed 64-bit range; anything else is 0.
    static std::int64_t parseRevision(std::string_view text);

    // Returns the process's exit status. Any command line that is not a headless mode goes to
    // `runWindowed`.
    static int main(int argc, char** argv, int (*runWindowed)(int argc, char** argv));
};

}  // namespace taviro
