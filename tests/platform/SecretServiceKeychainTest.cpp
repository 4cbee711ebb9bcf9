#include <gtest/gtest.h>

#include "platform/Keychain.h"
#include "platform/Paths.h"
#include "service/InstallationIdentity.h"
#include "tests/support/TestSupport.h"

using namespace taviro;
using Clock = std::chrono::steady_clock;
using Text = std::optional<std::string>;
using namespace std::chrono_literals;

namespace {

constexpr const char* kService = "com.vorda.kinoloom.test";
constexpr const char* kChildMarker = "TAVIRO_PLATFORM_TEST_CHILD";

// Runs SecretServiceKeychainChild.Part, doing `part`, inside a private session bus that
// knows only the service `serviceExec` provides (the machine's own, its keyring among them, stay
// out), with a private home and no display, so nothing can read the user's keyrings or put up a
// prompt.
void onPrivateBus(const std::string& part, const std::string& serviceExec) {
    test::TempDir dir;
    const std::string root = dir.path();
    test::writeFile(dir / "services/secrets.service", "[D-BUS Service]\nName=org.freedesktop.secrets\nExec=" + serviceExec);
    test::writeFile(dir / "session.conf", "<busconfig><type>session</type><listen>unix:tmpdir=" + root + "</listen>"
                    "<servicedir>" + root + R"(/services</servicedir><policy context="default"><allow own="*"/>)"
                    R"(<allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/></policy></busconfig>)");
    auto run = test::runCaptured({"/usr/bin/dbus-run-session", "--config-file=" + root + "/session.conf", "--",
                                  platform::executablePath(), "--gtest_filter=SecretServiceKeychainChild.Part"},
                                 {{kChildMarker, part}, {"HOME", root + "/home"}, {"XDG_DATA_HOME", {}},
                                  {"XDG_CONFIG_HOME", {}}, {"XDG_CACHE_HOME", {}}, {"XDG_RUNTIME_DIR", root},
                                  {"DISPLAY", {}}, {"WAYLAND_DISPLAY", {}}});
    EXPECT_TRUE(run.status == 0 && run.out.contains("[       OK ]")) << run.out << run.err;
}

// A service start asks up to three times (read, save, read again); a keychain that does not
// answer holds the start up once, not three times, and reads and saves nothing.
void everyCallReturnsInTime() {
    auto keychain = platform::secretServiceKeychain();
    test::TempDir dataRoot;
    auto start = Clock::now();
    auto identity = InstallationIdentity::resolve({[] { return Text(); }, keychain}, dataRoot.path());
    EXPECT_TRUE(identity.deviceID.starts_with("device_"));
    EXPECT_LT(Clock::now() - start, 2500ms) << "identity resolution";
    EXPECT_FALSE(keychain->read(kService, "device") || keychain->save(kService, "device", "secret"));
    EXPECT_LT(Clock::now() - start, 5500ms) << "read and save";
}

}  // namespace

// No session bus, with or without a leftover plain file where its socket would be.
TEST(SecretServiceKeychain, WithoutASessionBusEveryCallReturnsInTime) {
    test::TempDir dir;
    test::writeFile(dir / "bus", "");
    for (const Text& runtime : {Text(dir.path()), Text()}) {
        test::ScopedEnv env{{{"DBUS_SESSION_BUS_ADDRESS", {}}, {"XDG_RUNTIME_DIR", runtime}}};
        SCOPED_TRACE(runtime.value_or("(no runtime folder)"));
        everyCallReturnsInTime();
    }
}

// The bus starts a provider that never takes the name, which would keep a caller waiting for the
// bus's activation timeout. It outlives the test by a few seconds and holds none of its output.
TEST(SecretServiceKeychain, OnABusWhoseSecretServiceNeverAppearsEveryCallReturnsInTime) {
    onPrivateBus("timing", "/bin/sleep 15");
}

TEST(SecretServiceKeychain, StoresReadsAndReplacesItemsInARealSecretService) {
    if (!std::filesystem::exists("/usr/bin/gnome-keyring-daemon")) GTEST_SKIP() << "gnome-keyring is not installed";
    // The bus starts the keyring daemon on first use; it makes and unlocks a login keyring in the
    // private home and goes with the bus.
    onPrivateBus("store", "/bin/sh -c 'echo -n taviro-test | exec /usr/bin/gnome-keyring-daemon "
                          "--foreground --unlock --components=secrets'");
}

// The halves of the tests above, run only inside the session bus their parent test starts.
TEST(SecretServiceKeychainChild, Part) {
    const char* part = std::getenv(kChildMarker);
    if (part == nullptr) GTEST_SKIP() << "runs inside the session bus of its parent test";
    if (part == std::string("timing")) return everyCallReturnsInTime();
    auto keychain = platform::secretServiceKeychain();
    EXPECT_EQ(keychain->read(kService, "device"), std::nullopt);
    // Replaced, kept byte for byte, and told apart by both attributes.
    const std::string spaced = "  two\twords \n\r\n  \xC3\xA9  ";
    ASSERT_TRUE(keychain->save(kService, "device", "first value") && keychain->save(kService, "device", spaced));
    ASSERT_TRUE(keychain->save(kService, "other-account", "another"));
    EXPECT_EQ(keychain->read(kService, "device"), spaced);
    EXPECT_EQ(keychain->read("com.vorda.kinoloom.other", "device"), std::nullopt);
}
