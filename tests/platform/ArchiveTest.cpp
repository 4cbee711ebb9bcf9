// Unpacking archives that come from outside: folders and regular files only, only inside the
// target folder, within the bounds. Removing what older unpacking left: FilesTest.
#include <gtest/gtest.h>

#include "platform/Archive.h"
#include "tests/support/PackBuilder.h"

using namespace taviro;
using test::ZipEntry;
namespace fs = std::filesystem;

TEST(Archive, UnpacksOnlyFoldersAndFilesInsideTheFolderWithinTheBounds) {
    test::TempDir dir;
    const auto outside = dir / "outside";
    test::writeFile(outside / "victim.txt", "untouched");
    const platform::ExtractionLimits limits{6, 1 << 20, 3 << 19};  // six entries, 1 MiB each, 1.5 MiB in all
    const std::pair<bool, std::vector<std::vector<ZipEntry>>> cases[] = {
        {true, {{{"./", "", 040755}, {"./a/b.txt", "x"}, {"ro/", "", 040555}, {"ro/x.txt", "y", 0104777}},
                {{"big", "", 0, 1 << 20}}}},
        {false,
         {{{outside / "absolute.txt", "x"}}, {{"../../outside/dotdot.txt", "x"}},
          {{"a/../../../outside/victim.txt", "overwritten"}}, {{"link", outside, 0120777}},
          {{"assets", "../../../outside", 0120777}, {"assets/through.png", "x"}},
          {{"a.txt", "1"}, {"a.txt", "2"}}, {{"a", "file"}, {"a/b.txt", "x"}}, {{"a//b.txt", "x"}},
          {{"bomb", "", 0, (1 << 20) + 1}}, {{"1", "", 0, 800 << 10}, {"2", "", 0, 800 << 10}},
          {{"1", ""}, {"2", ""}, {"3", ""}, {"4", ""}, {"5", ""}, {"6", ""}, {"7", ""}}}},
    };
    int run = 0;
    for (const auto& [accepted, archives] : cases) {
        for (const auto& entries : archives) {
            auto folder = dir / ("out" + std::to_string(run++));
            fs::create_directory(folder);
            auto result = platform::extractZip(test::writeZip(dir / "a.zip", entries), folder, limits);
            EXPECT_EQ(result.has_value(), accepted) << entries[0].name;
            EXPECT_EQ(std::distance(fs::directory_iterator(outside), {}), 1);
            EXPECT_EQ(test::readFile(outside / "victim.txt"), "untouched");
        }
    }
    // The modes are ours, whatever the archive asked for.
    EXPECT_EQ(fs::status(dir / "out0/ro").permissions(), fs::perms(0755));
    EXPECT_EQ(fs::status(dir / "out0/ro/x.txt").permissions(), fs::perms(0644));
    EXPECT_EQ(test::readFile(dir / "out0/a/b.txt"), "x");
}
