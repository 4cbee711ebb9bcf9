#include <gtest/gtest.h>


#include "platform/Keychain.h"
#include "platform/Paths.h"
#include "service/InstallationIdentity.h"
#include "tests/support/TestSupport.h"

using namespace taviro;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr const char* kService = "com.vorda.kinoloom.test";
constexpr const char* kChildMarker = "TAVIRO_PLATFORM_TEST_CHILD";

// Runs SecretServiceKeychainChild.`test` of this executable inside a private session bus that
// knows only the service `serviceExec` provides (the machine's own, its keyring among them, stay
// out), with a private home and no display, so nothing can read the user's keyrings or put up a
// prompt. Returns 0 (passed), 77 (skipped: no dbus-run-session) or 1, and the output.
std::pair<int, std::string> onPrivateBus(const test::TempDir& dir, const std::string& test, const std::string& serviceExec) {
    test::writeFile(dir / "services/secrets.service", "[D-BUS Service]\nName=org.freedesktop.secrets\nExec=" + serviceExec + "\n");
    test::writeFile(dir / "session.conf", "<busconfig><type>session</type><listen>unix:tmpdir=" + dir.path().string() + "</listen><servicedir>" +
                                              (dir / "services").string() + "</servicedir><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                                              "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
    auto run = test::runCaptured({"dbus-run-session", "--config-file=" + (dir / "session.conf").string(), "--", platform::executablePath().string(),
                                  "--gtest_filter=SecretServiceKeychainChild." + test},
                                 {{kChildMarker, "1"}, {"HOME", (dir / "home").string()}, {"XDG_DATA_HOME", std::nullopt}, {"XDG_CONFIG_HOME", std::nullopt},
                                  {"XDG_CACHE_HOME", std::nullopt}, {"XDG_RUNTIME_DIR", dir.path().string()}, {"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}});
    return {run.status == 127 ? 77 : run.status == 0 && run.out.contains("[       OK ]") ? 0 : 1, run.out + run.err};
}

}  // namespace

TEST(SecretServiceKeychain, WithoutASessionBusReadsNothingAndSavesNothingAtOnce) {
    test::TempDir dir;
    test::writeFile(dir / "bus", "");  // a leftover plain file where the socket would be
    for (const std::optional<std::string>& runtime : {std::optional(dir.path().string()), std::optional<std::string>()}) {
        test::ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
        env.set("XDG_RUNTIME_DIR", runtime);
        auto start = Clock::now();
        EXPECT_FALSE(platform::secretServiceKeychain()->read(kService, "device") || platform::secretServiceKeychain()->save(kService, "device", "secret"));
        EXPECT_LT(Clock::now() - start, 3s) << runtime.value_or("(no runtime folder)");
    }
}

TEST(SecretServiceKeychain, OnABusWhoseSecretServiceNeverAppearsEveryCallReturnsInTime) {
    // The bus starts a provider that never takes the name, which would keep a caller waiting for
    // the bus's activation timeout. It outlives the test by a few seconds and holds none of its output.
    test::TempDir dir;
    auto start = Clock::now();
    auto [status, output] = onPrivateBus(dir, "EveryCallReturnsInTime", "/bin/sleep 15");
    if (status == 77) GTEST_SKIP() << "dbus-run-session is not installed (scripts/setup installs it)";
    EXPECT_EQ(status, 0) << output;
    EXPECT_LT(Clock::now() - start, 10s);
}

TEST(SecretServiceKeychain, StoresReadsAndReplacesItemsInARealSecretService) {
    if (!std::filesystem::exists("/usr/bin/gnome-keyring-daemon")) GTEST_SKIP() << "gnome-keyring is not installed (scripts/setup installs it)";
    // The bus starts the keyring daemon on first use; it makes and unlocks a login keyring in the
    // private home and goes with the bus.
    test::TempDir dir;
    auto [status, output] = onPrivateBus(dir, "StoresReadsAndReplaces",
                                         "/bin/sh -c 'echo -n taviro-test | exec /usr/bin/gnome-keyring-daemon --foreground --unlock --components=secrets'");
    if (status == 77) GTEST_SKIP() << "dbus-run-session is not installed (scripts/setup installs it)";
    EXPECT_EQ(status, 0) << output;
}

// The halves below run only inside the session bus their parent test starts.

TEST(SecretServiceKeychainChild, EveryCallReturnsInTime) {
    if (!std::getenv(kChildMarker)) GTEST_SKIP() << "runs inside the session bus of its parent test";
    // A service start asks up to three times (read, save, read again); a keychain that does not
    // answer holds the start up once, not three times.
    auto keychain = platform::secretServiceKeychain();
    test::TempDir dataRoot;
    auto start = Clock::now();
    EXPECT_TRUE(InstallationIdentity::resolve({[] { return std::optional<std::string>(); }, keychain}, dataRoot.path()).deviceID.starts_with("device_"));
    EXPECT_LT(Clock::now() - start, 2500ms) << "identity resolution";
    EXPECT_FALSE(keychain->read(kService, "device") || keychain->save(kService, "device", "secret"));
    EXPECT_LT(Clock::now() - start, 5500ms) << "read and save";
}

TEST(SecretServiceKeychainChild, StoresReadsAndReplaces) {
    if (!std::getenv(kChildMarker)) GTEST_SKIP() << "runs inside the session bus of its parent test";
    auto keychain = platform::secretServiceKeychain();
    EXPECT_EQ(keychain->read(kService, "device"), std::nullopt);
    // Replaced, kept byte for byte, and told apart by both attributes.
    const std::string spaced = "  two\twords \n\r\n  \xC3\xA9  ";
    ASSERT_TRUE(keychain->save(kService, "device", "first value") && keychain->save(kService, "device", spaced));
    ASSERT_TRUE(keychain->save(kService, "other-account", "another"));
    EXPECT_EQ(std::make_tuple(keychain->read(kService, "device"), keychain->read("com.vorda.kinoloom.other", "device")), std::make_tuple(spaced, std::nullopt));
}
