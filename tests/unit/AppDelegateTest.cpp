#include <gtest/gtest.h>

#include "tests/support/ShellHarness.h"

using namespace taviro;

// The launch sequence, the menu and a crashed web process are tested end to end (tests/e2e); the
// fuzz target feeds the reader malformed files.
TEST(AppDelegate, TheUpdaterVersionComesFromThePackage) {
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {R"(<?xml version="1.0" encoding="UTF-8"?><!DOCTYPE plist PUBLIC "-//T//DTD PLIST 1.0//EN" "plist.dtd">
<plist version="1.0"><dict><key>CFBundleName</key><string>Taviro</string>
<key>CFBundleShortVersionString</key><string>1.0.73</string></dict></plist>)", "1.0.73"},
        {R"(<plist><dict><key>CFBundleShortVersionString</key><integer>2</integer></dict></plist>)", "0"},
        {R"(<plist><dict><key>CFBundleShortVersionString</key><string>1.0)", "0"}, {std::nullopt, "0"},  // cut short, none
    };
    for (const auto& [plist, version] : cases) {
        test::ShellFixture shell;
        std::filesystem::remove(shell.package.infoPlist());
        if (plist) test::writeFile(shell.package.infoPlist(), *plist);
        EXPECT_EQ(shell.makeDelegate()->featurePackUpdater().appVersion(), version) << plist.value_or("(none)");
    }
}
