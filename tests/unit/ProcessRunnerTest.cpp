#include <gtest/gtest.h>

#include <sys/stat.h>

#include "app/ProcessRunner.h"
#include "tests/support/TestSupport.h"

using namespace taviro;

TEST(ProcessRunner, ReturnsTheTerminationStatusOrOneWhenTheToolCannotStart) {
    test::TempDir dir;
    test::writeFile(dir / "plain.sh", "#!/bin/sh\nexit 0\n");
    ::chmod((dir / "plain.sh").c_str(), 0644);
    test::ScopedEnv env("TAVIRO_RUNNER_PROBE", "seen");
    const std::tuple<std::string, std::vector<std::string>, int> cases[] = {
        {"/bin/sh", {"-c", "exit 7"}, 7},
        {"/bin/sh", {"-c", "kill -TERM $$"}, 15},
        // Arguments arrive verbatim, one each, the path not among them; environment and working
        // directory are the caller's.
        {"/bin/sh", {"-c", "[ \"$0\" = 'a b' ] && [ $# -eq 1 ] && [ \"$1\" = '' ] && [ \"$TAVIRO_RUNNER_PROBE\" = seen ] && "
                           "[ \"$(pwd)\" = \"" + std::filesystem::current_path().string() + "\" ]", "a b", ""}, 0},
        {(dir / "does-not-exist").string(), {}, 1},
        {(dir / "plain.sh").string(), {}, 1},
        {dir.path().string(), {}, 1},
    };
    for (const auto& [path, arguments, expected] : cases) EXPECT_EQ(runProcess(path, arguments), expected) << path << " " << arguments.size();
}
