#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "platform/Files.h"
#include "platform/HardwareIdentity.h"
#include "tests/platform/ChildTest.h"
#include "tests/support/TestSupport.h"

using namespace taviro;

TEST(HardwareIdentity, TheFirstCandidateWithContentWins) {
    test::TempDir dir;
    auto first = dir / "first";
    auto second = dir / "second";
    auto empty = dir / "empty";
    auto blank = dir / "blank";
    auto missing = dir / "missing";
    auto folder = dir / "folder";
    test::writeFile(first, "0123ABCDEF\n");
    test::writeFile(second, "fedcba9876");
    test::writeFile(empty, "");
    test::writeFile(blank, " \n");
    std::filesystem::create_directories(folder);

    struct Case {
        const char* name;
        std::vector<std::filesystem::path> candidates;
        std::optional<std::string> expected;
    } cases[] = {
        // Returned as stored, line break and capitals included: the caller normalises.
        {"first readable", {first, second}, "0123ABCDEF\n"},
        {"missing falls through", {missing, second}, "fedcba9876"},
        {"empty falls through", {empty, second}, "fedcba9876"},
        {"white space only falls through", {blank, second}, "fedcba9876"},
        {"a folder falls through", {folder, second}, "fedcba9876"},
        {"nothing usable", {missing, empty, folder}, std::nullopt},
        {"no candidates", {}, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(platform::platformUUIDFrom(c.candidates), c.expected) << c.name;
}

TEST(HardwareIdentity, AFifoIsRefusedWithoutWaitingForAWriter) {
    test::TempDir dir;
    auto fifo = dir / "machine-id";
    auto second = dir / "second";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    test::writeFile(second, "fedcba9876");

    // Should the read ever block on the FIFO, a writer turns up after two seconds and ends it, so
    // that a regression fails on the time bound instead of hanging the test run.
    std::atomic<bool> done{false};
    std::thread rescuer([&] {
        auto start = std::chrono::steady_clock::now();
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (test::secondsSince(start) < 2.0) continue;
            int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (writer >= 0) ::close(writer);
        }
    });
    auto start = std::chrono::steady_clock::now();
    auto identity = platform::platformUUIDFrom({fifo, second});
    double elapsed = test::secondsSince(start);
    done = true;
    rescuer.join();

    EXPECT_EQ(identity, "fedcba9876");
    EXPECT_LT(elapsed, 1.0);
}

TEST(HardwareIdentity, ReadsTheSystemsOwnLocations) {
    // Whatever this machine has, platformUUID() reports the same as reading its two files.
    std::optional<std::string> expected;
    for (const char* file : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
        auto content = platform::readFile(file);
        if (content && content->find_first_not_of(" \t\r\n") != std::string::npos) {
            expected = *content;
            break;
        }
    }
    EXPECT_EQ(platform::platformUUID(), expected);
}
