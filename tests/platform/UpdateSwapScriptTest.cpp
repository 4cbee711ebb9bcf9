// The swap script run for real on copied packages (its log's last line, and the whole update at a
// quit, are in the windowed end-to-end update test).
#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/UpdateSwapScript.h"
#include "tests/support/TestSupport.h"

using namespace taviro;
namespace fs = std::filesystem;

namespace {

// A package whose executable notes each start of it in $STARTS, with the exchange tool beside it.
void writePackage(const fs::path& package, const std::string& version) {
    const fs::path bin = package / "Contents/MacOS";
    test::writeFile(package / "Contents/version", version);
    test::writeFile(bin / "Taviro", "#!/bin/sh\necho " + version + " >> \"$STARTS\"\n");
    fs::copy_file(TAVIRO_EXCHANGE_TOOL, bin / "taviro-exchange");
    fs::permissions(bin / "Taviro", fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
}

}  // namespace

// The script run for real on copied packages: a new package that cannot be copied leaves the old
// one; killed before any of its commands it leaves a whole package, and a run afterwards finishes
// the update; a run to its end starts the new version once and leaves nothing beside the package.
TEST(UpdateSwapScript, KilledAtAnyStepItLeavesAWholePackageAndARunAfterwardFinishesTheUpdate) {
    test::TempDir dir;
    const fs::path app = dir / "Taviro.app", script = dir / platform::kSwapScriptName, log = dir / "update.log";
    test::writeFile(script, platform::updateSwapScript());
    // Each run notes the starts of the new version in a file of its own.
    auto run = [&](const fs::path& newApp, const std::string& starts, test::Environment env = {}) {
        env.emplace_back("STARTS", (dir / starts).string());
        return test::runCaptured({platform::kSwapScriptInterpreter, script, app, newApp, log}, env);
    };
    writePackage(app, "old");
    writePackage(dir / "new/Taviro.app", "new");
    EXPECT_NE(run(dir / "missing/Taviro.app", "none").status, 0);
    EXPECT_EQ(test::readFile(app / "Contents/version"), "old");
    EXPECT_TRUE(test::readFile(log).contains("update failed status="));
    EXPECT_FALSE(fs::exists(dir / "Taviro.app.tmp-update"));
    // Bash reads $BASH_ENV before the script: a trap there kills the script before its Nth command.
    test::writeFile(dir / "kill-at-step", "taviro_step=0\n"
                                          "trap 'taviro_step=$((taviro_step + 1)); "
                                          "[ \"$taviro_step\" = \"$KILL_AT\" ] && kill -9 $$' DEBUG\n");
    int step = 1;
    for (; step < 100; ++step) {
        fs::remove_all(app);
        writePackage(app, "old");
        auto killed = run(dir / "new/Taviro.app", "starts-" + std::to_string(step),
                          {{"BASH_ENV", (dir / "kill-at-step").string()}, {"KILL_AT", std::to_string(step)}});
        // A whole package: one version's files, all of them.
        const std::string version = test::readFile(app / "Contents/version");
        ASSERT_TRUE((version == "old" || version == "new") && ::access((app / "Contents/MacOS/Taviro").c_str(), X_OK) == 0 &&
                    fs::exists(app / "Contents/MacOS/taviro-exchange")) << "killed before step " << step;
        if (killed.status == 0) break;
        ASSERT_EQ(killed.status, 128 + SIGKILL);
        EXPECT_EQ(run(dir / "new/Taviro.app", "starts-again").status, 0) << test::readFile(log);
        EXPECT_EQ(test::readFile(app / "Contents/version"), "new") << "after a kill before step " << step;
    }
    EXPECT_GT(step, 10) << "the script ran to its end without reaching its commands";
    // The run that was not killed started the new version once and left nothing beside it.
    const fs::path starts = dir / ("starts-" + std::to_string(step));
    test::runMainLoopUntil([&] { return fs::exists(starts); }, 5);
    test::runMainLoopFor(0.2);  // time for a second start, were there one
    EXPECT_EQ(test::readFile(starts), "new\n");
    for (const char* left : {"Taviro.app.tmp-update", "Taviro.app.previous-update"}) EXPECT_FALSE(fs::exists(dir / left));

    // An old process whose command line does not name APP_PATH (started by a relative path) is
    // waited for by its pid, given last: the new version starts only after it has gone.
    fs::remove_all(app);
    writePackage(app, "old");
    const fs::path order = dir / "order";
    const pid_t old = ::fork();
    if (old == 0) {
        ::execl("/bin/sh", "sh", "-c", ("sleep 1; echo gone >> " + order.string()).c_str(), nullptr);
        ::_exit(127);
    }
    auto waited = test::runCaptured({platform::kSwapScriptInterpreter, script, app, dir / "new/Taviro.app", log,
                                     std::to_string(old)}, {{"STARTS", order.string()}});
    ::waitpid(old, nullptr, 0);
    EXPECT_EQ(waited.status, 0);
    test::runMainLoopUntil([&] { return test::readFile(order).contains("new"); }, 5);
    EXPECT_EQ(test::readFile(order), "gone\nnew\n");

    // After the exchange, a backup that will not go (an immutable file in it; for a normal user a
    // read-only folder) leaves the new version in place and started, with a warning.
    fs::remove_all(app);
    writePackage(app, "old");
    const fs::path backup = dir / "Taviro.app.previous-update", lockedStarts = dir / "starts-locked";
    test::writeFile(app / "Contents/locked", "");
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(test::runCaptured({"chattr", "+i", app / "Contents/locked"}).status, 0);
    } else {
        fs::permissions(app / "Contents", fs::perms(0555));
    }
    EXPECT_EQ(run(dir / "new/Taviro.app", "starts-locked").status, 0);
    EXPECT_TRUE(test::readFile(log).contains("warning: could not remove")) << test::readFile(log);
    test::runMainLoopUntil([&] { return fs::exists(lockedStarts); }, 5);
    EXPECT_EQ(test::readFile(lockedStarts), "new\n");
    if (root) test::runCaptured({"chattr", "-i", backup / "Contents/locked"});
    if (!root) fs::permissions(backup / "Contents", fs::perms(0755));
}
