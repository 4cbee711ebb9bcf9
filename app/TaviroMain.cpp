#include "app/TaviroMain.h"

#include <cstdio>
#include <filesystem>

#include "app/DesktopLog.h"
#include "app/ProjectVersion.h"
#include "lib/DecimalParsing.h"
#include "featurepack/FeaturePackUpdater.h"
#include "platform/Paths.h"

namespace taviro {
namespace {

constexpr const char* kNoHomeMessage =
    "Taviro cannot start: no home folder (HOME is not set and the user has none in the password database)";

constexpr const char* kUsage =
    "Usage: taviro\n"
    "       taviro --prepare-feature-pack-state\n"
    "       taviro --verify-feature-pack ARCHIVE VERSION REVISION SHA256\n"
    "       taviro --stage-feature-pack ARCHIVE VERSION REVISION SHA256\n"
    "       taviro --help | --version\n"
    "\n"
    "Without arguments, opens the window with the local editing service.\n"
    "\n"
    "Feature packs, without a window:\n"
    "  --prepare-feature-pack-state  activate a staged pack or roll back a failed one, as a launch does\n"
    "  --verify-feature-pack         check a pack archive's digest, signature and files; install nothing\n"
    "  --stage-feature-pack          check a pack archive, stage it and activate it\n"
    "  ARCHIVE is a .zip file, VERSION and REVISION are the pack's, SHA256 is the archive's digest in hex.\n"
    "Each prints one result line; the status is 0 on success and 2 when the archive is refused.\n"
    "\n";

void printLine(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

int runPrepare() {
    FeaturePackUpdater updater(TaviroMain::headlessAppVersion, printLine);
    updater.prepareForLaunch();
    printLine("feature pack prepared revision=" + std::to_string(updater.activeRevision()));
    return 0;
}

int fail(const char* prefix, const Error& error) {
    std::fprintf(stderr, "%s%s\n", prefix, error.description.c_str());
    return 2;
}

int runVerify(const TaviroMain::Command& command) {
    FeaturePackUpdater updater(TaviroMain::headlessAppVersion, [](const std::string&) {});
    auto verified = updater.verifyArchiveForTesting(command.archivePath, command.version, command.revision,
                                                    command.archiveSHA256);
    if (!verified) return fail("feature pack verification failed: ", verified.error());
    printLine("feature pack verification ok");
    return 0;
}

int runStage(const TaviroMain::Command& command) {
    FeaturePackUpdater updater(TaviroMain::headlessAppVersion, printLine);
    auto staged = updater.stageArchiveForTesting(command.archivePath, command.version, command.revision,
                                                 command.archiveSHA256);
    if (!staged) return fail("feature pack staging failed: ", staged.error());
    updater.prepareForLaunch();
    printLine("feature pack staged and activated revision=" + std::to_string(updater.activeRevision()));
    return 0;
}

}  // namespace

std::int64_t TaviroMain::parseRevision(std::string_view text) { return parseSignedDecimal(text).value_or(0); }

TaviroMain::Command TaviroMain::parseCommandLine(const std::vector<std::string>& arguments) {
    Command command;
    if (arguments.size() == 2 && arguments[1] == "--prepare-feature-pack-state") {
        command.mode = Mode::prepare;
    } else if (arguments.size() == 2 && (arguments[1] == "--help" || arguments[1] == "--version")) {
        command.mode = arguments[1] == "--help" ? Mode::help : Mode::version;
    } else if (arguments.size() == 6 && (arguments[1] == "--verify-feature-pack" || arguments[1] == "--stage-feature-pack")) {
        command.mode = arguments[1] == "--verify-feature-pack" ? Mode::verify : Mode::stage;
        // A relative path is taken against the working directory at the moment of the call.
        std::error_code ignored;
        command.archivePath = std::filesystem::absolute(arguments[2], ignored).string();
        command.version = arguments[3];
        command.revision = parseRevision(arguments[4]);
        command.archiveSHA256 = arguments[5];
    }
    return command;
}

int TaviroMain::main(int argc, char** argv, int (*runWindowed)(int argc, char** argv)) {
    std::vector<std::string> arguments(argv, argv + argc);
    Command command = parseCommandLine(arguments);
    if (command.mode == Mode::version) {
        printLine(std::string("Taviro ") + kProjectVersion);
        return 0;
    }
    if (command.mode == Mode::help) {
        std::fputs(kUsage, stdout);
        printLine(std::string("The desktop log is ~/") + kDataRootFolderName + "/" + kDesktopLogFileName + ".");
        return 0;
    }
    // Every store of the user's data lives under the home folder; without one there is no
    // private place to keep it.
    if (!platform::findHomeDirectory()) {
        std::fprintf(stderr, "%s\n", kNoHomeMessage);
        return 1;
    }
    switch (command.mode) {
        case Mode::prepare:
            return runPrepare();
        case Mode::verify:
            return runVerify(command);
        case Mode::stage:
            return runStage(command);
        case Mode::windowed:
        case Mode::help:
        case Mode::version:
            break;
    }
    return runWindowed(argc, argv);
}

}  // namespace taviro
