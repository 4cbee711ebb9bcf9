#include <gtest/gtest.h>

#include <sys/stat.h>

#include "app/ProcessRunner.h"
#include "tests/support/TestSupport.h"

using namespace taviro;

TEST(ProcessRunner, ReturnsTerminationStatusOrOneWhenTheToolCannotStart) {
    test::TempDir dir;
    auto notExecutable = dir / "plain.sh";
    test::writeFile(notExecutable, "#!/bin/sh\nexit 0\n");
    ::chmod(notExecutable.c_str(), 0644);

    struct Case {
        const char* name;
        std::string path;
        std::vector<std::string> arguments;
        int expected;
    } cases[] = {
        {"success", "/bin/true", {}, 0},
        {"exit code", "/bin/sh", {"-c", "exit 7"}, 7},
        // Arguments arrive verbatim, one each, the path not repeated among them.
        {"arguments", "/bin/sh", {"-c", "[ \"$0\" = 'a b' ] && [ $# -eq 1 ] && [ \"$1\" = '' ]", "a b", ""}, 0},
        {"killed by a signal", "/bin/sh", {"-c", "kill -TERM $$"}, 15},
        {"missing tool", (dir / "does-not-exist").string(), {}, 1},
        {"not executable", notExecutable.string(), {}, 1},
        {"a folder", dir.path().string(), {}, 1},
    };
    for (const auto& c : cases) EXPECT_EQ(runProcess(c.path, c.arguments), c.expected) << c.name;
}

TEST(ProcessRunner, ChildInheritsEnvironmentAndWorkingDirectory) {
    test::TempDir dir;
    test::ScopedEnv env("TAVIRO_RUNNER_PROBE", "seen");
    auto out = dir / "out";
    EXPECT_EQ(runProcess("/bin/sh", {"-c", "printf '%s %s' \"$TAVIRO_RUNNER_PROBE\" \"$(pwd)\" > \"$0\"", out.string()}), 0);
    EXPECT_EQ(test::readFile(out), "seen " + std::filesystem::current_path().string());
}
