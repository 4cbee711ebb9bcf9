// The swap script run for real on copied packages.
#include <gtest/gtest.h>

#include <csignal>
#include <thread>
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
    // Bash reads $BASH_ENV before the script: a trap there kills the script before its Nth command.
    test::writeFile(dir / "kill-at-step", "taviro_step=0\n"
                                          "trap 'taviro_step=$((taviro_step + 1)); "
                                          "[ \"$taviro_step\" = \"$KILL_AT\" ] && kill -9 $$' DEBUG\n");
    auto whole = [&] {
        const std::string version = test::readFile(app / "Contents/version");
        return (version == "old" || version == "new") && ::access((app / "Contents/MacOS/Taviro").c_str(), X_OK) == 0 &&
               fs::exists(app / "Contents/MacOS/taviro-exchange");
    };
    int step = 1;
    for (; step < 100; ++step) {
        fs::remove_all(app);
        writePackage(app, "old");
        auto killed = run(dir / "new/Taviro.app", "starts-" + std::to_string(step),
                          {{"BASH_ENV", (dir / "kill-at-step").string()}, {"KILL_AT", std::to_string(step)}});
        ASSERT_TRUE(whole()) << "killed before step " << step;
        if (killed.status == 0) break;
        ASSERT_EQ(killed.status, 128 + SIGKILL);
        EXPECT_EQ(run(dir / "new/Taviro.app", "starts-again").status, 0) << test::readFile(log);
        EXPECT_EQ(test::readFile(app / "Contents/version"), "new") << "after a kill before step " << step;
    }
    EXPECT_GT(step, 10) << "the script ran to its end without reaching its commands";
    // The run that was not killed started the new version once and left nothing beside it.
    const fs::path starts = dir / ("starts-" + std::to_string(step));
    for (int i = 0; i < 100 && !fs::exists(starts); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(test::readFile(starts), "new\n");
    EXPECT_TRUE(test::readLines(log).back().starts_with("finish update"));
    for (const char* left : {"Taviro.app.tmp-update", "Taviro.app.previous-update"}) EXPECT_FALSE(fs::exists(dir / left));
}
