// The swap script run for real on copied packages (the whole update at a quit, and the rollback of
// a version that cannot start, are in the windowed end-to-end update tests).
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/UpdateSwapScript.h"
#include "tests/support/TestSupport.h"

using namespace taviro;
namespace fs = std::filesystem;

namespace {

// A package whose executable notes each start of it in $STARTS and prints a line; one that
// `proves` creates the launch proof it is given, as a version that showed its first page does.
void writePackage(const fs::path& package, const std::string& version, bool proves = true) {
    const fs::path bin = package / "Contents/MacOS";
    test::writeFile(package / "Contents/version", version);
    test::writeFile(bin / "Taviro", "#!/bin/sh\necho " + version + " >> \"$STARTS\"\necho output of " + version + "\n" +
                                        (proves ? "[ -z \"${TAVIRO_UPDATE_LAUNCH_PROOF:-}\" ] || : > \"$TAVIRO_UPDATE_LAUNCH_PROOF\"\n" : ""));
    fs::copy_file(TAVIRO_EXCHANGE_TOOL, bin / "taviro-exchange", fs::copy_options::overwrite_existing);
    fs::permissions(bin / "Taviro", fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
}

// An installed package "old" and the version folder "v" prepared with the package "new".
struct Swap {
    Swap() {
        test::writeFile(script, platform::updateSwapScript());
        writePackage(app, "old");
        writePackage(newApp, "new");
        test::writeFile(folder / "manifest.json", "{}");
        test::writeFile(folder / "update.zip", "");
    }
    // Runs the script; the versions it starts note themselves in the file `starts`.
    test::ProcessOutput run(const std::string& starts, test::Environment env = {}, const std::string& oldPid = "") {
        env.emplace_back("STARTS", (dir / starts).string());
        return test::runCaptured({platform::kSwapScriptInterpreter, script, app, newApp, log, oldPid, desktopLog}, env);
    }
    // What the versions started by the last run noted, once they have had time to.
    std::string started(const std::string& starts, const std::string& expected) {
        test::runMainLoopUntil([&] { return test::readFile(dir / starts) == expected; }, 5);
        test::runMainLoopFor(0.3);  // time for one start more, were there one
        return test::readFile(dir / starts);
    }

    test::TempDir dir;
    const fs::path app = dir / "Taviro.app", folder = dir / "v", newApp = folder / "staged/Taviro.app";
    const fs::path script = folder / platform::kSwapScriptName, log = folder / "update.log", desktopLog = dir / "desktop.log";
};

}  // namespace

// Killed before any of its commands the script leaves a whole package, and a run afterwards (the
// record is still there) finishes the update; a run to its end starts the new version once and
// leaves nothing beside the package.
TEST(UpdateSwapScript, KilledAtAnyStepItLeavesAWholePackageAndARunAfterwardFinishesTheUpdate) {
    Swap swap;
    // Bash reads $BASH_ENV before the script: a trap there kills the script before its Nth command.
    test::writeFile(swap.dir / "kill-at-step", "taviro_step=0\n"
                                               "trap 'taviro_step=$((taviro_step + 1)); "
                                               "[ \"$taviro_step\" = \"$KILL_AT\" ] && kill -9 $$' DEBUG\n");
    int step = 1;
    for (; step < 400; ++step) {
        fs::remove_all(swap.app);
        writePackage(swap.app, "old");
        fs::remove_all(swap.newApp);
        writePackage(swap.newApp, "new");
        test::writeFile(swap.folder / "manifest.json", "{}");
        auto killed = swap.run("starts-" + std::to_string(step),
                               {{"BASH_ENV", (swap.dir / "kill-at-step").string()}, {"KILL_AT", std::to_string(step)}});
        // A whole package: one version's files, all of them.
        const std::string version = test::readFile(swap.app / "Contents/version");
        ASSERT_TRUE((version == "old" || version == "new") && ::access((swap.app / "Contents/MacOS/Taviro").c_str(), X_OK) == 0 &&
                    fs::exists(swap.app / "Contents/MacOS/taviro-exchange")) << "killed before step " << step;
        if (killed.status == 0) break;
        ASSERT_EQ(killed.status, 128 + SIGKILL) << test::readFile(swap.log);
        if (!fs::exists(swap.folder / "manifest.json")) continue;  // retired: nobody runs it again
        EXPECT_EQ(swap.run("starts-again").status, 0) << test::readFile(swap.log);
        EXPECT_EQ(test::readFile(swap.app / "Contents/version"), "new") << "after a kill before step " << step;
    }
    EXPECT_GT(step, 10) << "the script ran to its end without reaching its commands";
    EXPECT_EQ(swap.started("starts-" + std::to_string(step), "new\n"), "new\n");
    for (const char* left : {"Taviro.app.tmp-update", "Taviro.app.previous-update"}) EXPECT_FALSE(fs::exists(swap.dir / left));
}

// One run each, from an installed "old" and a prepared "new": what is installed afterwards, what
// was started, the line the update log gains, and whether the version folder was retired (its
// record, archive and unpacked copy gone, its log kept) and the version refused.
TEST(UpdateSwapScript, OneRunEndsInAWholeStartedPackageWhateverGoesWrong) {
    struct Row {
        const char* name;
        std::function<void(Swap&)> arrange;
        test::Environment env;
        const char* installed;
        const char* started;
        const char* logLine;
        bool retired, refused;
    };
    int lock = -1;
    pid_t old = -1;
    const Row rows[] = {
        {"a new program that is not executable", [](Swap& s) { fs::permissions(s.newApp / "Contents/MacOS/Taviro", fs::perms(0644)); },
         {}, "old", "old\n", "is not an executable file; the installed version stays", false, false},
        {"another swap of the package under way", [&](Swap& s) {
             lock = ::open((s.dir / "Taviro.app.update-lock").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
             ::flock(lock, LOCK_EX);
         }, {}, "old", "", "another update of this package is under way; nothing changed", false, false},
        {"the old version still runs after the wait", [&](Swap&) {
             old = ::fork();
             if (old == 0) { ::execl("/bin/sleep", "sleep", "5", nullptr); ::_exit(127); }
         }, {{platform::kSwapWaitVariable, "1"}}, "old", "", "the old version still runs after 1 s; nothing changed", false, false},
        {"a file system without a one-step exchange", [](Swap& s) {
             test::writeFile(s.newApp / "Contents/MacOS/taviro-exchange", "#!/bin/sh\nexit 3\n");
             fs::permissions(s.newApp / "Contents/MacOS/taviro-exchange", fs::perms(0755));
         }, {}, "new", "new\n", "cannot exchange the packages in one step: two renames instead", true, false},
        {"a new version that ends before its first page", [](Swap& s) { writePackage(s.newApp, "new", false); },
         {}, "old", "new\nold\n", "update rolled back version=v: it ended before showing a page", true, true},
        {"a new version that shows its first page", [](Swap&) {}, {}, "new", "new\n", "finish update", true, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Swap swap;
        row.arrange(swap);
        swap.run("starts", row.env, old > 0 ? std::to_string(old) : "");
        EXPECT_EQ(test::readFile(swap.app / "Contents/version"), row.installed);
        EXPECT_EQ(swap.started("starts", row.started), row.started);
        EXPECT_TRUE(test::readFile(swap.log).contains(row.logLine)) << test::readFile(swap.log);
        // The versions' own output is not the script's.
        EXPECT_FALSE(test::readFile(swap.log).contains("output of")) << test::readFile(swap.log);
        EXPECT_EQ(!fs::exists(swap.folder / "manifest.json") && !fs::exists(swap.folder / "update.zip") &&
                  !fs::exists(swap.folder / "staged"), row.retired);
        EXPECT_EQ(fs::exists(swap.folder / "refused"), row.refused);
        if (row.refused) {
            EXPECT_TRUE(test::readFile(swap.desktopLog).contains("] update rolled back version=v"));
        }
        for (const char* left : {"Taviro.app.tmp-update", "Taviro.app.previous-update"}) EXPECT_FALSE(fs::exists(swap.dir / left));
        if (lock >= 0) ::close(std::exchange(lock, -1));
        if (old > 0) ::kill(old, SIGKILL), ::waitpid(std::exchange(old, -1), nullptr, 0);
    }
}

// The old process is waited for by its pid too (one started by a relative path does not name the
// package), and a backup that will not go (an immutable file in it; for a normal user a read-only
// folder) leaves the new version in place and started, with a warning.
TEST(UpdateSwapScript, TheOldProcessIsWaitedForByItsPidAndABackupThatWillNotGoKeepsTheNewVersion) {
    Swap swap;
    const pid_t old = ::fork();
    if (old == 0) {
        ::execl("/bin/sh", "sh", "-c", ("sleep 1; echo gone >> " + (swap.dir / "order").string()).c_str(), nullptr);
        ::_exit(127);
    }
    test::writeFile(swap.app / "Contents/locked", "");
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(test::runCaptured({"chattr", "+i", swap.app / "Contents/locked"}).status, 0);
    } else {
        fs::permissions(swap.app / "Contents", fs::perms(0555));
    }
    EXPECT_EQ(swap.run("order", {}, std::to_string(old)).status, 0);
    ::waitpid(old, nullptr, 0);
    EXPECT_EQ(swap.started("order", "gone\nnew\n"), "gone\nnew\n");
    EXPECT_TRUE(test::readFile(swap.log).contains("warning: could not remove")) << test::readFile(swap.log);
    const fs::path backup = swap.dir / "Taviro.app.previous-update";
    if (root) test::runCaptured({"chattr", "-i", backup / "Contents/locked"});
    if (!root) fs::permissions(backup / "Contents", fs::perms(0755));
}
