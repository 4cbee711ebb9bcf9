#include <gtest/gtest.h>

#include <unistd.h>

#include "platform/Files.h"
#include "tests/support/TestSupport.h"

using namespace taviro;
namespace fs = std::filesystem;

// Replaceable only when both the package and its folder take a change from this user and no
// package manager installed it, and the probe folder never stays behind. A package's inner folder
// has its mode too: a read-only tree, as older unpacking left them in the store, still goes whole.
// Run as a user that file modes bind (not root).
TEST(Files, APackageIsReplaceableInPlaceOnlyWhenItAndItsFolderAreWritableAndAnyTreeIsRemoved) {
    const int mismatches = test::runUnprivileged([] {
        const auto readOnly = fs::perms::owner_read | fs::perms::owner_exec;
        const std::tuple<fs::perms, fs::perms, bool, bool> cases[] = {
            {fs::perms::owner_all, fs::perms::owner_all, false, true},
            {readOnly, fs::perms::owner_all, false, false},  // the folder holding the package
            {fs::perms::owner_all, readOnly, false, false},  // the package itself
            {fs::perms::owner_all, fs::perms::owner_all, true, false},
        };
        const fs::path folder = fs::temp_directory_path() / ("taviro-replace-" + std::to_string(::getpid()));
        int mismatches = 0;
        for (const auto& [folderMode, packageMode, managed, replaceable] : cases) {
            test::writeFile(folder / "Taviro.app/Contents/Info.plist", "");
            if (managed) test::writeFile(folder / "Taviro.app" / platform::kPackageManagerMarker, "dpkg\n");
            fs::permissions(folder / "Taviro.app/Contents", packageMode);
            fs::permissions(folder / "Taviro.app", packageMode);
            fs::permissions(folder, folderMode);
            mismatches += platform::canReplaceInPlace(folder / "Taviro.app", ".probe-") != replaceable;
            fs::permissions(folder, fs::perms::owner_all);
            mismatches += std::distance(fs::directory_iterator(folder), {}) != 1;
            mismatches += !platform::removeTree(folder) || fs::exists(folder);
        }
        return mismatches;
    });
    EXPECT_EQ(mismatches, 0);
}
