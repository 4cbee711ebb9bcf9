#include <gtest/gtest.h>

#include "platform/Files.h"
#include "tests/support/TestSupport.h"

using namespace taviro;
namespace fs = std::filesystem;

// Two packages trade places in one step; with one of them missing nothing moves at all.
TEST(Files, ExchangePathsSwapsBothOrNeither) {
    test::TempDir dir;
    test::writeFile(dir / "app/Contents/version", "old");
    test::writeFile(dir / "new/Contents/version", "new");
    ASSERT_TRUE(platform::exchangePaths(dir / "app", dir / "new"));
    EXPECT_EQ(test::readFile(dir / "app/Contents/version") + test::readFile(dir / "new/Contents/version"), "newold");
    auto refused = platform::exchangePaths(dir / "app", dir / "missing");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code, ENOENT);
    EXPECT_EQ(test::readFile(dir / "app/Contents/version"), "new");
    EXPECT_FALSE(fs::exists(dir / "missing"));
}
