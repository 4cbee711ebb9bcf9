#include <gtest/gtest.h>

#include <gio/gio.h>
#include <sys/stat.h>
#include <thread>

#include "platform/Browser.h"
#include "tests/platform/ChildTest.h"

using namespace taviro;

namespace {
constexpr const char* kHandlerId = "taviro-test-browser.desktop";
}

TEST(DesktopBrowser, HandsAddressesToTheDesktopsHandlerForTheirScheme) {
    test::TempDir dir;
    // The handler writes down what it was given, one address a line; only the test's folders
    // count, and there is no display or session bus to reach for.
    test::writeFile(dir / "handler.sh", "#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"" + (dir / "opened.txt").string() + "\"\n");
    ::chmod((dir / "handler.sh").c_str(), 0755);
    test::writeFile(dir / "data/applications" / kHandlerId,
                    "[Desktop Entry]\nType=Application\nName=Test browser\nExec=" + (dir / "handler.sh").string() +
                        " %u\nMimeType=x-scheme-handler/http;x-scheme-handler/https;\nNoDisplay=true\n");
    test::writeFile(dir / "config/mimeapps.list", std::string("[Default Applications]\nx-scheme-handler/http=") + kHandlerId +
                                                      "\nx-scheme-handler/https=" + kHandlerId + "\n");
    std::filesystem::create_directories(dir / "runtime");
    ::chmod((dir / "runtime").c_str(), 0700);
    test::Environment environment{
        {"HOME", (dir / "home").string()}, {"XDG_DATA_HOME", (dir / "data").string()}, {"XDG_CONFIG_HOME", (dir / "config").string()},
        {"XDG_CACHE_HOME", (dir / "cache").string()}, {"XDG_RUNTIME_DIR", (dir / "runtime").string()},
        {"XDG_DATA_DIRS", (dir / "none").string()}, {"XDG_CONFIG_DIRS", (dir / "none").string()}, {"XDG_CURRENT_DESKTOP", std::nullopt},
        {"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}, {"DBUS_SESSION_BUS_ADDRESS", std::nullopt}, {"BROWSER", std::nullopt}};
    environment.emplace_back("TAVIRO_TEST_OPENED_FILE", (dir / "opened.txt").string());
    auto run = test::runChildTest("DesktopBrowserChild.OpensThroughTheDefaultHandler", {}, environment);
    if (run.skipped) GTEST_SKIP() << run.output.out;
    EXPECT_TRUE(run.passed) << run.output.out << run.output.err;
}

// Runs only in the child process its parent test starts, whose GIO reads the test's folders.
TEST(DesktopBrowserChild, OpensThroughTheDefaultHandler) {
    if (!test::inChildProcess()) GTEST_SKIP() << "runs in a child process of its parent test";
    for (const char* scheme : {"http", "https"}) {
        GAppInfo* info = g_app_info_get_default_for_uri_scheme(scheme);
        std::string id = info != nullptr && g_app_info_get_id(info) != nullptr ? g_app_info_get_id(info) : "";
        g_clear_object(&info);
        if (id != kHandlerId) GTEST_SKIP() << "GIO picks \"" << id << "\" for " << scheme << " here, not the test handler";
    }
    std::filesystem::path opened = std::getenv("TAVIRO_TEST_OPENED_FILE");
    auto opener = platform::desktopBrowserOpener();
    // Each address reaches the handler as one argument, query and escapes intact.
    const std::vector<std::string> urls = {"http://127.0.0.1:8080/account?next=%2Fhome&lang=zh-CN", "https://example.com/help#s-2"};
    for (std::size_t i = 0; i < urls.size(); ++i) {
        auto start = std::chrono::steady_clock::now();
        opener->open(urls[i]);
        EXPECT_LT(test::secondsSince(start), 0.5) << "launching must not hold up the caller's loop";
        // One at a time, so that the order of the lines is known.
        for (int tries = 0; tries < 200 && test::readLines(opened).size() <= i; ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
    }
    EXPECT_EQ(test::readLines(opened), urls);
}
