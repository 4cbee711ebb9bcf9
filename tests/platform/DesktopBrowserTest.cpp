#include <gtest/gtest.h>

#include <gio/gio.h>
#include <sys/stat.h>
#include <thread>

#include "platform/Browser.h"
#include "tests/platform/ChildTest.h"
#include "tests/support/TestSupport.h"

using namespace taviro;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kHandlerId = "taviro-test-browser.desktop";
constexpr const char* kOpenedFileVariable = "TAVIRO_TEST_OPENED_FILE";

// Polls until `file` holds `lines` lines or the time is up.
std::vector<std::string> waitForLines(const std::filesystem::path& file, std::size_t lines, double seconds) {
    auto start = Clock::now();
    for (;;) {
        auto content = test::readLines(file);
        if (content.size() >= lines || test::secondsSince(start) > seconds) return content;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
}

}  // namespace

TEST(DesktopBrowser, HandsAddressesToTheDesktopsHandlerForTheirScheme) {
    test::TempDir dir;
    auto dataHome = dir / "data";
    auto configHome = dir / "config";
    auto opened = dir / "opened.txt";

    // The handler writes down what it was given, one address a line.
    auto handler = dir / "handler.sh";
    test::writeFile(handler, "#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"" + opened.string() + "\"\n");
    ::chmod(handler.c_str(), 0755);
    test::writeFile(dataHome / "applications" / kHandlerId,
                    "[Desktop Entry]\nType=Application\nName=Taviro test browser\nExec=" + handler.string() +
                        " %u\nMimeType=x-scheme-handler/http;x-scheme-handler/https;\nNoDisplay=true\n");
    const std::string defaults = std::string("[Default Applications]\nx-scheme-handler/http=") + kHandlerId +
                                 "\nx-scheme-handler/https=" + kHandlerId + "\n";
    test::writeFile(configHome / "mimeapps.list", defaults);
    test::writeFile(dataHome / "applications" / "mimeapps.list", defaults);
    std::filesystem::create_directories(dir / "system-data");
    std::filesystem::create_directories(dir / "system-config");
    std::filesystem::create_directories(dir / "runtime");
    ::chmod((dir / "runtime").c_str(), 0700);

    // Only the test's folders count, and there is no display or session bus to reach for.
    auto run = test::runChildTest("DesktopBrowserChild.OpensThroughTheDefaultHandler", {},
                                  {{"HOME", (dir / "home").string()},
                                   {"XDG_DATA_HOME", dataHome.string()},
                                   {"XDG_CONFIG_HOME", configHome.string()},
                                   {"XDG_DATA_DIRS", (dir / "system-data").string()},
                                   {"XDG_CONFIG_DIRS", (dir / "system-config").string()},
                                   {"XDG_CACHE_HOME", (dir / "cache").string()},
                                   {"XDG_RUNTIME_DIR", (dir / "runtime").string()},
                                   {"XDG_CURRENT_DESKTOP", std::nullopt},
                                   {"DISPLAY", std::nullopt},
                                   {"WAYLAND_DISPLAY", std::nullopt},
                                   {"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
                                   {"BROWSER", std::nullopt},
                                   {kOpenedFileVariable, opened.string()}});
    if (run.skipped) GTEST_SKIP() << run.skipReason;
    EXPECT_TRUE(run.passed) << run.output.out << run.output.err;
}

// Runs only in the child process its parent test starts, whose GIO reads the test's folders.
TEST(DesktopBrowserChild, OpensThroughTheDefaultHandler) {
    if (!test::inChildProcess()) GTEST_SKIP() << "runs in a child process of its parent test";
    const char* openedFile = std::getenv(kOpenedFileVariable);
    ASSERT_NE(openedFile, nullptr);

    for (const char* scheme : {"http", "https"}) {
        GAppInfo* info = g_app_info_get_default_for_uri_scheme(scheme);
        std::string id = info != nullptr && g_app_info_get_id(info) != nullptr ? g_app_info_get_id(info) : "";
        if (info != nullptr) g_object_unref(info);
        if (id != kHandlerId) {
            GTEST_SKIP() << "GIO does not pick the test handler for " << scheme << " here (it picks \"" << id << "\")";
        }
    }

    auto opener = platform::desktopBrowserOpener();
    // The address reaches the handler as one argument, query and escapes intact.
    const std::vector<std::string> urls = {"http://127.0.0.1:8080/account?next=%2Fhome&lang=zh-CN",
                                           "https://example.com/help#section-2"};
    for (const auto& url : urls) {
        auto start = Clock::now();
        opener->open(url);
        // Launching happens elsewhere; the caller's loop is not held up.
        EXPECT_LT(test::secondsSince(start), 0.5) << url;
        // One at a time, so that the order of the lines is known.
        waitForLines(openedFile, static_cast<std::size_t>(&url - urls.data() + 1), 5.0);
    }
    EXPECT_EQ(test::readLines(openedFile), urls);
}
