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

PackRecord record(std::int64_t revision) {
    return PackRecord{"v" + std::to_string(revision), revision, std::string(64, 'b'), "2026-12-07T10:00:00Z"};
}

int regularFilesIn(const std::filesystem::path& folder) {
    int count = 0;
    for (auto& entry : std::filesystem::directory_iterator(folder)) count += entry.is_regular_file();
    return count;
}

}  // namespace

TEST(StateFileInterruption, KilledWriterNeverLeavesATruncatedFile) {
    test::TempDir dir;
    test::ScopedEnv env("VORDA_FEATURE_PACK_TEST_ROOT", dir.path().string());
    for (int round = 0; round < 12; ++round) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Large states make each write long enough to be cut in the middle.
            FeaturePackUpdater updater("1.0.73", nullptr);
            for (std::int64_t n = 1;; ++n) {
                (void)updater.updateState([n](State& state) {
                    state.active = record(n);
                    state.lastError = std::string(512 * 1024 + n % 977, 'e');
                });
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + round * 13));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);

        auto path = dir / "state.json";
        if (!std::filesystem::exists(path)) continue;  // killed before the first rename
        auto decoded = decodeState(test::readFile(path));
        ASSERT_TRUE(decoded.has_value()) << "round " << round << ": state.json is not whole";
        ASSERT_TRUE(decoded->active.has_value());
        EXPECT_EQ(decoded->lastError.size(), 512u * 1024 + decoded->active->revision % 977);
        FeaturePackUpdater reader("1.0.73", nullptr);
        EXPECT_EQ(reader.activeRevision(), decoded->active->revision);
    }
}

TEST(StateFileInterruption, FullDiskFailsTheWriteAndKeepsTheOldFile) {
    test::TempDir dir;
    test::ScopedEnv env("VORDA_FEATURE_PACK_TEST_ROOT", dir.path().string());
    {
        FeaturePackUpdater updater("1.0.73", nullptr);
        ASSERT_TRUE(updater.updateState([](State& state) { state.active = record(4); }));
    }
    std::string before = test::readFile(dir / "state.json");

    // A file-size limit makes the kernel refuse the write part-way, as a full disk would, even
    // for a user whom permissions cannot stop.
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        FeaturePackUpdater updater("1.0.73", nullptr);
        auto result = updater.updateState([](State& state) {
            state.active = record(5);
            state.lastError = std::string(100000, 'f');
        });
        ::_exit(result ? 1 : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the write must report its failure";
    EXPECT_EQ(test::readFile(dir / "state.json"), before);
    EXPECT_EQ(regularFilesIn(dir.path()), 1) << "no partial temporary file left beside the state";
}
