// A state write cut short, by a kill or by a full disk, must leave the previous state.json whole.
#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "featurepack/FeaturePackUpdater.h"
#include "tests/support/TestSupport.h"

using namespace taviro;

namespace {

PackRecord record(std::int64_t revision) { return PackRecord{"v" + std::to_string(revision), revision, "b", "t"}; }

// Runs `body` in a forked child and returns its exit status, or -1 when it was killed.
template <typename Body>
int inChild(Body body, std::chrono::milliseconds killAfter = std::chrono::milliseconds::max()) {
    pid_t child = ::fork();
    if (child == 0) ::_exit(body());
    if (killAfter != std::chrono::milliseconds::max()) {
        std::this_thread::sleep_for(killAfter);
        ::kill(child, SIGKILL);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(StateFileInterruption, AKilledWriterNeverLeavesATruncatedFile) {
    test::TempDir dir;
    test::ScopedEnv env("VORDA_FEATURE_PACK_TEST_ROOT", dir.path().string());
    for (int round = 0; round < 12; ++round) {
        // Large states make each write long enough to be cut in the middle.
        inChild([] {
            FeaturePackUpdater updater("1.0.73", nullptr);
            for (std::int64_t n = 1;; ++n) {
                (void)updater.updateState([n](State& state) {
                    state.active = record(n), state.lastError = std::string(512 * 1024 + n % 977, 'e');
                });
            }
            return 0;
        }, std::chrono::milliseconds(20 + round * 13));
        if (!std::filesystem::exists(dir / "state.json")) continue;  // killed before the first rename
        auto decoded = decodeState(test::readFile(dir / "state.json"));
        ASSERT_TRUE(decoded && decoded->active) << "round " << round << ": state.json is not whole";
        EXPECT_EQ(decoded->lastError.size(), 512u * 1024 + decoded->active->revision % 977);
        EXPECT_EQ(FeaturePackUpdater("1.0.73", nullptr).activeRevision(), decoded->active->revision);
    }
}

TEST(StateFileInterruption, AFullDiskFailsTheWriteAndKeepsTheOldFile) {
    test::TempDir dir;
    test::ScopedEnv env("VORDA_FEATURE_PACK_TEST_ROOT", dir.path().string());
    ASSERT_TRUE(FeaturePackUpdater("1.0.73", nullptr).updateState([](State& state) { state.active = record(4); }));
    std::string before = test::readFile(dir / "state.json");
    // A file-size limit makes the kernel refuse the write part-way, as a full disk would, even
    // for a user whom permissions cannot stop.
    int status = inChild([] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        auto result = FeaturePackUpdater("1.0.73", nullptr).updateState([](State& state) {
            state.active = record(5), state.lastError = std::string(100000, 'f');
        });
        return result ? 1 : 0;
    });
    EXPECT_EQ(status, 0) << "the write must report its failure";
    EXPECT_EQ(test::readFile(dir / "state.json"), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 3) << "only versions, staging and the state";
}
