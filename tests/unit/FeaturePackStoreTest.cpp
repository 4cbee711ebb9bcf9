// The state file: read strictly, and written so that a kill or a full disk leaves the previous one whole.
#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>

#include "featurepack/FeaturePackUpdater.h"
#include "tests/support/TestSupport.h"

using namespace taviro;
namespace fs = std::filesystem;

namespace {

State stateOf(std::int64_t revision, std::size_t errorLength = 0) {
    return {PackRecord{"v" + std::to_string(revision), revision, "ab", "t"}, {}, {}, {}, std::string(errorLength, 'e'), {}};
}

// Runs `body` in a forked child, killed after `killAfter` when given; its exit status, or -1 when killed.
template <typename Body>
int inChild(Body body, std::optional<std::chrono::milliseconds> killAfter = {}) {
    pid_t child = ::fork();
    if (child == 0) ::_exit(body());
    if (killAfter) std::this_thread::sleep_for(*killAfter), ::kill(child, SIGKILL);
    int status = 0;
    return ::waitpid(child, &status, 0), WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(FeaturePackStore, TheStateFileIsReadStrictlyAndReadingNeverRewritesIt) {
    const std::string active = R"("active":{"version":"v7","revision":7,"archiveSHA256":"ab","verifiedAt":"t"})",
                      whole = "{" + active + R"(,"quarantinedRevisions":[3],"lastError":"x"})";
    // One change to a whole file, and the active revision read from it; -1: refused as a whole. Malformed
    // files beyond one cut short are the fuzz target's.
    const std::tuple<std::string, std::string, std::int64_t> cases[] = {
        {"", "", 7}, {"{", R"({"extra":1,"previous":null,)", 7}, {"7,", "7.0,", 7}, {active, R"("active":null)", 0},
        {"7,", "7.5,", -1}, {"7,", R"("7",)", -1}, {"[3]", R"(["3"])", -1}, {R"("x")", "null", -1},  // wrong types
        {R"(,"verifiedAt":"t")", "", -1}, {R"("quarantinedRevisions":[3],)", "", -1}, {R"("x"})", R"("x")", -1},  // missing
    };
    for (auto [from, to, active] : cases) {
        auto decoded = decodeState(std::string(whole).replace(whole.find(from), from.size(), to));
        EXPECT_EQ(decoded ? (decoded->active ? decoded->active->revision : 0) : -1, active) << from << " -> " << to;
    }
}

TEST(FeaturePackStore, ARefusedFileIsKeptAndAKilledWriterOrAFullDiskLeavesThePreviousFileWhole) {
    test::TempDir dir;
    test::ScopedEnv env("VORDA_FEATURE_PACK_TEST_ROOT", dir.path().string());
    // A refused file gives the built-in rules and stays as it was.
    test::writeFile(dir / "state.json", "{}");
    EXPECT_EQ(FeaturePackUpdater("1.0.73", nullptr).snapshot(), State::empty());
    EXPECT_EQ(test::readFile(dir / "state.json"), "{}");
    ASSERT_TRUE(FeaturePackUpdater("1.0.73", nullptr).updateState([](State& state) { state = stateOf(4, 1); }));
    const std::string written = test::readFile(dir / "state.json");  // the lifecycle tests read states back
    EXPECT_EQ(fs::status(dir / "state.json").permissions(), fs::perms::owner_read | fs::perms::owner_write);
    // A file-size limit makes the kernel refuse the write part-way, as a full disk would, even
    // for a user whom permissions cannot stop.
    EXPECT_EQ(inChild([] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        return FeaturePackUpdater("1.0.73", nullptr).updateState([](State& s) { s = stateOf(5, 100000); }) ? 1 : 0;
    }), 0) << "the write must report its failure";
    EXPECT_EQ(test::readFile(dir / "state.json"), written);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 4) << "only versions, staging, the state and its lock";
    // Large states make each write long enough to be cut in the middle.
    for (int round = 0; round < 12; ++round) {
        inChild([] {
            FeaturePackUpdater updater("1.0.73", nullptr);
            for (long n = 1;; ++n) (void)updater.updateState([n](State& s) { s = stateOf(n, 512 * 1024 + n % 977); });
            return 0;
        }, std::chrono::milliseconds(20 + round * 13));
        auto decoded = decodeState(test::readFile(dir / "state.json"));
        ASSERT_TRUE(decoded && decoded->active) << "round " << round << ": state.json is not whole";
        auto size = std::int64_t(decoded->lastError.size());
        EXPECT_TRUE(size == 1 || size == 512 * 1024 + decoded->active->revision % 977) << "round " << round;
    }
}
