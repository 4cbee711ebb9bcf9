#pragma once

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Paths.h"
#include "tests/support/TestSupport.h"

namespace taviro::test {

// Some behaviour can only be seen in a fresh process: one on a session bus of its own, or one
// whose GIO has not yet cached the XDG folders. The parent test re-runs a single test of this
// executable there; the suites it runs end in "Child", which the test list leaves out.
constexpr const char* kChildMarker = "TAVIRO_PLATFORM_TEST_CHILD";

inline bool inChildProcess() { return std::getenv(kChildMarker) != nullptr; }

struct ChildRun {
    ProcessOutput output;
    bool passed = false;
    bool skipped = false;
    std::string skipReason;
};

// Runs `testName` ("Suite.Test") of this executable, behind `wrapper` (a program and its
// arguments that end by running the rest of the command line), with `environment` applied.
inline ChildRun runChildTest(const std::string& testName, const std::vector<std::string>& wrapper,
                             std::vector<std::pair<std::string, std::optional<std::string>>> environment) {
    std::vector<std::string> argv = wrapper;
    argv.push_back(platform::executablePath().string());
    argv.push_back("--gtest_filter=" + testName);
    environment.emplace_back(kChildMarker, "1");
    ChildRun run;
    run.output = runCaptured(argv, environment);
    const std::string& out = run.output.out;
    run.passed = run.output.status == 0 && out.find("[       OK ] " + testName) != std::string::npos;
    run.skipped = out.find("[  SKIPPED ] " + testName) != std::string::npos;
    if (run.skipped) {
        // GoogleTest prints "file:line: Skipped", then the message, then the result line.
        auto start = out.find("Skipped\n");
        auto end = out.find("\n[", start);
        if (start != std::string::npos) run.skipReason = out.substr(start + 8, end - start - 8);
    }
    return run;
}

inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace taviro::test
