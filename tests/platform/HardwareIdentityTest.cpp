#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "platform/Files.h"
#include "platform/HardwareIdentity.h"
#include "tests/platform/ChildTest.h"

using namespace taviro;

TEST(HardwareIdentity, TheFirstRegularFileWithMoreThanWhiteSpaceWins) {
    test::TempDir dir;
    test::writeFile(dir / "first", "0123ABCDEF\n");
    test::writeFile(dir / "second", "fedcba9876");
    test::writeFile(dir / "empty", "");
    test::writeFile(dir / "blank", " \n");
    std::filesystem::create_directories(dir / "folder");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    // Should the read ever block on the FIFO, a writer turns up after two seconds and ends it, so
    // that a regression fails on the time bound instead of hanging the test run.
    std::atomic<bool> done{false};
    std::thread rescuer([&] {
        auto start = std::chrono::steady_clock::now();
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            int writer = test::secondsSince(start) > 2.0 ? ::open((dir / "fifo").c_str(), O_WRONLY | O_NONBLOCK) : -1;
            if (writer >= 0) ::close(writer);
        }
    });
    const std::pair<std::vector<std::string>, std::optional<std::string>> cases[] = {
        {{"first", "second"}, "0123ABCDEF\n"},  // as stored: the caller normalises
        {{"missing", "empty", "blank", "folder", "fifo", "second"}, "fedcba9876"},
        {{"missing", "empty", "folder"}, std::nullopt},
        {{}, std::nullopt},
    };
    auto start = std::chrono::steady_clock::now();
    for (const auto& [names, expected] : cases) {
        std::vector<std::filesystem::path> candidates;
        for (const auto& name : names) candidates.push_back(dir / name);
        EXPECT_EQ(platform::platformUUIDFrom(candidates), expected) << names.size();
    }
    EXPECT_LT(test::secondsSince(start), 1.0);
    done = true;
    rescuer.join();

    // platformUUID() is the same rule over the system's two locations.
    std::optional<std::string> system;
    for (const char* file : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
        auto content = platform::readFile(file);
        if (!system && content && content->find_first_not_of(" \t\r\n") != std::string::npos) system = *content;
    }
    EXPECT_EQ(platform::platformUUID(), system);
}
