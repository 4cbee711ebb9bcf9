#include "app/TaviroMain.h"

#include <cstdio>
#include <filesystem>
#include <limits>

#include "featurepack/FeaturePackUpdater.h"

namespace taviro {
namespace {

int runPrepare() {
    FeaturePackUpdater updater(TaviroMain::headlessAppVersion,
                               [](const std::string& line) { std::printf("%s\n", line.c_str()); });
    std::printf("feature pack prepared revision=%lld\n", static_cast<long long>(updater.activeRevision()));
    std::fflush(stdout);
    return 0;
}

int runWindowed() {
    std::fprintf(stderr, "the Taviro window is not built yet\n");
    return 1;
}

}  // namespace

std::int64_t TaviroMain::parseRevision(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return 0;
    // Accumulated as a negative number so that the lowest int64 value parses too.
    std::int64_t value = 0;
    constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
    for (char character : text) {
        if (character < '0' || character > '9') return 0;
        int digit = character - '0';
        if (value < (lowest + digit) / 10) return 0;
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == lowest) return 0;
        return -value;
    }
    return value;
}

TaviroMain::Command TaviroMain::parseCommandLine(const std::vector<std::string>& arguments) {
    Command command;
    if (arguments.size() == 2 && arguments[1] == "--prepare-feature-pack-state") {
        command.mode = Mode::prepare;
    }
    return command;
}

int TaviroMain::main(int argc, char** argv) {
    std::vector<std::string> arguments(argv, argv + argc);
    Command command = parseCommandLine(arguments);
    switch (command.mode) {
        case Mode::prepare:
            return runPrepare();
        case Mode::verify:
        case Mode::stage:
        case Mode::windowed:
            break;
    }
    return runWindowed();
}

}  // namespace taviro
