#pragma once

#include <chrono>
#include <cstdlib>
#include <string>

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
    bool skipped = false;  // the child skipped its test, or its wrapper exited 77
};

// Runs `testName` ("Suite.Test") of this executable behind `wrapper` (a program and arguments
// that end by running the rest of the command line), with `environment` applied.
inline ChildRun runChildTest(const std::string& testName, std::vector<std::string> wrapper, Environment environment) {
    wrapper.push_back(platform::executablePath().string());
    wrapper.push_back("--gtest_filter=" + testName);
    environment.emplace_back(kChildMarker, "1");
    ChildRun run{runCaptured(wrapper, environment)};
    run.passed = run.output.status == 0 && run.output.out.find("[       OK ] " + testName) != std::string::npos;
    run.skipped = run.output.status == 77 || run.output.out.find("[  SKIPPED ] " + testName) != std::string::npos;
    return run;
}

inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace taviro::test
