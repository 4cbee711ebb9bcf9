#include <gtest/gtest.h>

#include <sys/stat.h>

#include "platform/HardwareIdentity.h"
#include "tests/support/TestSupport.h"

using namespace taviro;

// A FIFO among the candidates must be passed over, not waited on for a writer that never comes.
TEST(HardwareIdentity, TheFirstRegularFileWithMoreThanWhiteSpaceWinsAndAFifoIsNeverWaitedFor) {
    test::TempDir dir;
    test::writeFile(dir / "second", "fedcba9876");
    test::writeFile(dir / "empty", ""), test::writeFile(dir / "blank", " \n");
    std::filesystem::create_directories(dir / "folder");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    auto start = std::chrono::steady_clock::now();
    using platform::platformUUIDFrom;
    EXPECT_EQ(platformUUIDFrom({dir / "missing", dir / "empty", dir / "blank", dir / "folder", dir / "fifo",
                                dir / "second"}), "fedcba9876");
    EXPECT_EQ(platformUUIDFrom({dir / "missing", dir / "empty", dir / "folder"}), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}
