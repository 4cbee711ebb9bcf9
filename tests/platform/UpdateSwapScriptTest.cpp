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

// A package whose executable notes each start of it in $STARTS, prints a line, and proves that it
// started as a version that showed its first page does; with the exchange tool beside it.
void writePackage(const fs::path& package, const std::string& version) {
    const fs::path bin = package / "Contents/MacOS";
    test::writeFile(package / "Contents/version", version);
    test::writeFile(bin / "Taviro", "#!/bin/sh\necho " + version + " >> \"$STARTS\"\necho output\n"
                                    ": > \"${TAVIRO_UPDATE_LAUNCH_PROOF:-/dev/null}\"\n");
    fs::copy_file(TAVIRO_EXCHANGE_TOOL, bin / "taviro-exchange", fs::copy_options::overwrite_existing);
    fs::permissions(bin / "Taviro", fs::perms(0755));
}

class UpdateSwapScript : public ::testing::Test {
protected:
    // An installed package "old" and the version folder "v" prepared with the package "new".
    void SetUp() override {
        fs::remove_all(app);
        fs::remove_all(folder);
        writePackage(app, "old");
        writePackage(newApp, "new");
        test::writeFile(folder / "manifest.json", "{}");
        test::writeFile(script, platform::updateSwapScript());
    }
    // Runs the script; the versions it starts note themselves in the file `starts`.
    test::ProcessOutput run(const std::string& starts, test::Environment env = {}, const std::string& oldPid = "") {
        env.emplace_back("STARTS", (dir / starts).string());
        return test::runCaptured({platform::kSwapScriptInterpreter, script, app, newApp, log, oldPid, dir / "desktop.log"}, env);
    }
    // What the versions started by the last run noted, once they have had time to (and time for
    // one start more, were there one).
    std::string started(const std::string& starts, const std::string& expected) {
        test::runMainLoopUntil([&] { return test::readFile(dir / starts) == expected; }, 5);
        test::runMainLoopFor(0.3);
        return test::readFile(dir / starts);
    }
    std::string installed() { return test::readFile(app / "Contents/version"); }

    test::TempDir dir;
    const fs::path app = dir / "Taviro.app", folder = dir / "v", newApp = folder / "staged/Taviro.app";
    const fs::path script = folder / platform::kSwapScriptName, log = folder / "update.log";
};

}  // namespace

// Killed before any of its commands the script leaves a whole package, and a run afterwards (while
// the record is there) finishes the update; a run to its end starts the new version once and
// leaves nothing beside the package.
TEST_F(UpdateSwapScript, KilledAtAnyStepItLeavesAWholePackageAndARunAfterwardFinishesTheUpdate) {
    // Bash reads $BASH_ENV before the script: a trap there kills the script before its Nth command.
    test::writeFile(dir / "kill-at-step", "taviro_step=0\n"
                                          "trap 'taviro_step=$((taviro_step + 1)); "
                                          "[ \"$taviro_step\" = \"$KILL_AT\" ] && kill -9 $$' DEBUG\n");
    int step = 1;
    for (; step < 400; ++step) {
        SetUp();
        auto killed = run("starts-" + std::to_string(step),
                          {{"BASH_ENV", (dir / "kill-at-step").string()}, {"KILL_AT", std::to_string(step)}});
        // A whole package: one version's files, all of them.
        ASSERT_TRUE((installed() == "old" || installed() == "new") && ::access((app / "Contents/MacOS/Taviro").c_str(), X_OK) == 0 &&
                    fs::exists(app / "Contents/MacOS/taviro-exchange")) << "killed before step " << step;
        if (killed.status == 0) break;
        ASSERT_EQ(killed.status, 128 + SIGKILL) << test::readFile(log);
        if (!fs::exists(folder / "manifest.json")) continue;  // retired: nobody runs it again
        EXPECT_EQ(run("starts-again").status, 0) << test::readFile(log);
        EXPECT_EQ(installed(), "new") << "after a kill before step " << step;
    }
    EXPECT_GT(step, 10) << "the script ran to its end without reaching its commands";
    EXPECT_EQ(started("starts-" + std::to_string(step), "new\n"), "new\n");
    for (const char* left : {"Taviro.app.tmp-update", "Taviro.app.previous-update"}) EXPECT_FALSE(fs::exists(dir / left));
}

// One run each: the package installed afterwards, the versions started, the line the update log
// gains (never the versions' own output), and whether the version folder was retired.
TEST_F(UpdateSwapScript, OneRunEndsInAWholeStartedPackageWhateverGoesWrong) {
    // Each row's arrangement gives the old process's pid, if any: here this test's own.
    int lock = -1;
    const std::tuple<std::function<std::string()>, test::Environment, const char*, const char*, const char*> rows[] = {
        {[&] { fs::permissions(newApp / "Contents/MacOS/Taviro", fs::perms(0644)); return ""; },
         {}, "old", "old\n", "is not an executable file; the installed version stays"},
        {[&] { ::flock(lock = ::open((dir / "Taviro.app.update-lock").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644), LOCK_EX); return ""; },
         {}, "old", "", "another update of this package is under way; nothing changed"},
        {[] { return std::to_string(::getpid()); },
         {{platform::kSwapWaitVariable, "1"}}, "old", "", "the old version still runs after 1 s; nothing changed"},
        // A file system without a one-step exchange (NFS, many FUSE mounts).
        {[&] { test::writeFile(newApp / "Contents/MacOS/taviro-exchange", "#!/bin/sh\nexit 3\n"); return ""; },
         {}, "new", "new\n", "cannot exchange the packages in one step: two renames instead"},
    };
    for (const auto& [arrange, env, version, starts, logLine] : rows) {
        SCOPED_TRACE(logLine);
        SetUp();
        run("v/starts", env, arrange());
        EXPECT_EQ(installed(), version);
        EXPECT_EQ(started("v/starts", starts), starts);
        EXPECT_TRUE(test::readFile(log).contains(logLine) && !test::readFile(log).contains("output")) << test::readFile(log);
        EXPECT_EQ(fs::exists(folder / "manifest.json"), version == std::string("old"));
        if (lock >= 0) ::close(std::exchange(lock, -1));
    }
}

// The old process is waited for by its pid too (one started by a relative path does not name the
// package), and a backup that will not go (an immutable file in it; for a normal user a read-only
// folder) leaves the new version in place and started, with a warning.
TEST_F(UpdateSwapScript, TheOldProcessIsWaitedForByItsPidAndABackupThatWillNotGoKeepsTheNewVersion) {
    const pid_t old = ::fork();
    if (old == 0) {
        ::execl("/bin/sh", "sh", "-c", ("sleep 1; echo gone >> " + (dir / "order").string()).c_str(), nullptr);
        ::_exit(127);
    }
    test::writeFile(app / "Contents/locked", "");
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(test::runCaptured({"chattr", "+i", app / "Contents/locked"}).status, 0);
    } else {
        fs::permissions(app / "Contents", fs::perms(0555));
    }
    EXPECT_EQ(run("order", {}, std::to_string(old)).status, 0);
    ::waitpid(old, nullptr, 0);
    EXPECT_EQ(started("order", "gone\nnew\n"), "gone\nnew\n");
    EXPECT_TRUE(test::readFile(log).contains("warning: could not remove")) << test::readFile(log);
    const fs::path backup = dir / "Taviro.app.previous-update";
    if (root) test::runCaptured({"chattr", "-i", backup / "Contents/locked"});
    if (!root) fs::permissions(backup / "Contents", fs::perms(0755));
}
