#include <gtest/gtest.h>

#include "tests/support/ShellHarness.h"

using namespace taviro;

// The launch sequence, the menu and a crashed web process are tested end to end (tests/e2e).
TEST(AppDelegate, TheUpdaterVersionComesFromThePackage) {
    const struct {
        std::optional<std::string> plist;
        std::string version;
    } cases[] = {
        {R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict><key>CFBundleName</key><string>Taviro</string>
<key>CFBundleShortVersionString</key><string>1.0.73</string></dict></plist>)", "1.0.73"},
        {R"(<plist><dict><key>CFBundleShortVersionString</key><integer>2</integer></dict></plist>)", "0"},
        {R"(<plist><dict><key>CFBundleShortVersionString</key><string>1.0)", "0"},  // cut short
        {std::nullopt, "0"},
    };
    for (const auto& c : cases) {
        test::ShellFixture shell;
        std::filesystem::remove(shell.package.infoPlist());
        if (c.plist) test::writeFile(shell.package.infoPlist(), *c.plist);
        EXPECT_EQ(shell.makeDelegate()->featurePackUpdater().appVersion(), c.version) << c.plist.value_or("(none)");
    }
}
