#include "app/TaviroMain.h"

#include <cstdio>
#include <filesystem>

#include "lib/DecimalParsing.h"
#include "featurepack/FeaturePackUpdater.h"
#include "platform/Paths.h"

namespace taviro {
namespace {

constexpr const char* kNoHomeMessage =
    "Taviro cannot start: no home folder (HOME is not set and the user has none in the password database)";

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
    // Every store of the user's data lives under the home folder; without one there is no
    // private place to keep it.
    if (!platform::findHomeDirectory()) {
        std::fprintf(stderr, "%s\n", kNoHomeMessage);
        return 1;
    }
    std::vector<std::string> arguments(argv, argv + argc);
    Command command = parseCommandLine(arguments);
    switch (command.mode) {
        case Mode::prepare:
            return runPrepare();
        case Mode::verify:
            return runVerify(command);
        case Mode::stage:
            return runStage(command);
        case Mode::windowed:
            break;
    }
    return runWindowed(argc, argv);
}

}  // namespace taviro
