// The swap script run for real on copied packages.
#include <gtest/gtest.h>

#include <csignal>
#include <thread>
#include <unistd.h>

#include "platform/Files.h"
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

TEST(UpdateSwapScript, ReplacesThePackageAndStartsTheNewVersionOnceOrLeavesTheOldOneWhole) {
    test::TempDir dir;
    const fs::path app = dir / "Taviro.app", script = dir / platform::kSwapScriptName, log = dir / "update.log";
    test::writeFile(script, platform::updateSwapScript());
    auto run = [&](const fs::path& newApp) {
        return test::runCaptured({platform::kSwapScriptInterpreter, script, app, newApp, log},
                                 {{"STARTS", (dir / "starts").string()}});
    };
    writePackage(app, "old");
    writePackage(dir / "new/Taviro.app", "new");

    // A new package that cannot be copied: the old one stays, nothing is left beside it.
    EXPECT_NE(run(dir / "missing/Taviro.app").status, 0);
    EXPECT_EQ(test::readFile(app / "Contents/version"), "old");
    EXPECT_TRUE(test::readFile(log).contains("update failed status="));

    ASSERT_EQ(run(dir / "new/Taviro.app").status, 0) << test::readFile(log);
    EXPECT_EQ(test::readFile(app / "Contents/version"), "new");
    for (int i = 0; i < 100 && !fs::exists(dir / "starts"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(test::readFile(dir / "starts"), "new\n");
    EXPECT_TRUE(test::readFile(log).contains("finish update"));
    for (const char* left : {"Taviro.app.tmp-update", "Taviro.app.previous-update"}) EXPECT_FALSE(fs::exists(dir / left));
}

TEST(UpdateSwapScript, KilledAtAnyStepItLeavesAWholePackageAndARunAfterwardFinishesTheUpdate) {
    test::TempDir dir;
    const fs::path app = dir / "Taviro.app", script = dir / platform::kSwapScriptName, log = dir / "update.log";
    test::writeFile(script, platform::updateSwapScript());
    // Bash reads $BASH_ENV before the script: a trap there kills the script before its Nth command.
    test::writeFile(dir / "kill-at-step", "taviro_step=0\n"
                                          "trap 'taviro_step=$((taviro_step + 1)); "
                                          "[ \"$taviro_step\" = \"$KILL_AT\" ] && kill -9 $$' DEBUG\n");
    auto whole = [&] {
        const std::string version = test::readFile(app / "Contents/version");
        return (version == "old" || version == "new") && ::access((app / "Contents/MacOS/Taviro").c_str(), X_OK) == 0 &&
               fs::exists(app / "Contents/MacOS/taviro-exchange");
    };
    int killedAt = 0;
    for (int step = 1; step < 100; ++step) {
        fs::remove_all(app);
        writePackage(app, "old");
        if (!fs::exists(dir / "new/Taviro.app")) writePackage(dir / "new/Taviro.app", "new");
        auto run = test::runCaptured({platform::kSwapScriptInterpreter, script, app, dir / "new/Taviro.app", log},
                                     {{"BASH_ENV", (dir / "kill-at-step").string()}, {"KILL_AT", std::to_string(step)},
                                      {"STARTS", (dir / "starts").string()}});
        ASSERT_TRUE(whole()) << "killed before step " << step;
        if (run.status == 0) break;
        ASSERT_EQ(run.status, 128 + SIGKILL);
        killedAt = step;
        auto again = test::runCaptured({platform::kSwapScriptInterpreter, script, app, dir / "new/Taviro.app", log},
                                       {{"STARTS", (dir / "starts").string()}});
        EXPECT_EQ(again.status, 0) << test::readFile(log);
        EXPECT_EQ(test::readFile(app / "Contents/version"), "new") << "after a kill before step " << step;
    }
    EXPECT_GT(killedAt, 10) << "the script ran to its end without reaching its commands";
}
