#include <gtest/gtest.h>

#include <gio/gio.h>
#include <sys/stat.h>

#include "platform/Keychain.h"
#include "service/InstallationIdentity.h"
#include "tests/platform/ChildTest.h"

using namespace taviro;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kService = "com.vorda.kinoloom.test";

bool onPath(const std::string& tool) { return test::runCaptured({"/bin/sh", "-c", "command -v \"$0\"", tool}).status == 0; }

// Runs `child` inside a private session bus that knows only the services in dir/services (the
// machine's own, gnome-keyring among them, stay out), with a private home and no display, so
// nothing can read the user's keyrings or put up a prompt. `prelude` runs first inside the bus.
test::ChildRun onPrivateBus(const test::TempDir& dir, const std::string& child, const std::string& prelude = "") {
    std::filesystem::create_directories(dir / "services");
    std::filesystem::create_directories(dir / "runtime");
    ::chmod((dir / "runtime").c_str(), 0700);
    test::writeFile(dir / "session.conf", "<busconfig><type>session</type><listen>unix:tmpdir=" + dir.path().string() +
                                              "</listen><servicedir>" + (dir / "services").string() +
                                              "</servicedir><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                                              "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
    return test::runChildTest(child, {"/usr/bin/env", "dbus-run-session", "--config-file=" + (dir / "session.conf").string(),
                                      "--", "/bin/bash", "-c", prelude + "\n\"$0\" \"$@\""},
                              {{"HOME", (dir / "home").string()}, {"XDG_DATA_HOME", (dir / "data").string()},
                               {"XDG_CONFIG_HOME", (dir / "config").string()}, {"XDG_CACHE_HOME", (dir / "cache").string()},
                               {"XDG_RUNTIME_DIR", (dir / "runtime").string()}, {"DISPLAY", std::nullopt},
                               {"WAYLAND_DISPLAY", std::nullopt}, {"DBUS_SESSION_BUS_ADDRESS", std::nullopt}});
}

}  // namespace

TEST(SecretServiceKeychain, WithoutASessionBusReadsNothingAndSavesNothingAtOnce) {
    test::TempDir dir;
    test::writeFile(dir / "stale/bus", "");  // a leftover plain file where the socket would be
    std::filesystem::create_directories(dir / "empty");
    auto keychain = platform::secretServiceKeychain();
    for (const std::optional<std::string>& runtime : {std::optional((dir / "empty").string()),
                                                      std::optional((dir / "stale").string()), std::optional<std::string>()}) {
        test::ScopedEnv env;
        env.set("DBUS_SESSION_BUS_ADDRESS", std::nullopt).set("XDG_RUNTIME_DIR", runtime);
        auto start = Clock::now();
        EXPECT_FALSE(keychain->read(kService, "device").has_value());
        EXPECT_FALSE(keychain->save(kService, "device", "secret"));
        EXPECT_LT(test::secondsSince(start), 3.0) << runtime.value_or("(no runtime folder)");
    }
}

TEST(SecretServiceKeychain, OnABusWithoutASecretServiceEveryCallReturnsInTime) {
    if (!onPath("dbus-run-session")) GTEST_SKIP() << "dbus-run-session is not installed (scripts/setup installs dbus)";
    // Nothing provides the service, so the bus answers at once; or the bus starts a provider that
    // never appears, which would keep the caller waiting for the bus's activation timeout.
    for (bool activationHangs : {false, true}) {
        test::TempDir dir;
        if (activationHangs) {
            // Stays until the test's folder is gone, a minute at most, holding none of its output.
            test::writeFile(dir / "never-ready.sh", "#!/bin/sh\nexec </dev/null >/dev/null 2>&1\nfor _ in $(seq 300); do [ -e '" +
                                                        dir.path().string() + "' ] || exit 0; sleep 0.2; done\n");
            ::chmod((dir / "never-ready.sh").c_str(), 0755);
            test::writeFile(dir / "services/org.freedesktop.secrets.service",
                            "[D-BUS Service]\nName=org.freedesktop.secrets\nExec=" + (dir / "never-ready.sh").string() + "\n");
        }
        auto start = Clock::now();
        auto run = onPrivateBus(dir, "SecretServiceKeychainChild.EveryCallReturnsInTime");
        EXPECT_TRUE(run.passed) << activationHangs << "\n" << run.output.out << run.output.err;
        EXPECT_LT(test::secondsSince(start), 10.0) << activationHangs;
    }
}

TEST(SecretServiceKeychain, StoresReadsAndReplacesItemsInARealSecretService) {
    if (!onPath("dbus-run-session") || !onPath("gnome-keyring-daemon") || !onPath("dbus-send")) {
        GTEST_SKIP() << "dbus-run-session, dbus-send or gnome-keyring-daemon is missing (scripts/setup installs them)";
    }
    // The daemon makes and unlocks a login keyring in the private home; the child runs once the
    // default collection is there, and the daemon goes with the bus.
    test::TempDir dir;
    auto run = onPrivateBus(dir, "SecretServiceKeychainChild.StoresReadsAndReplaces", R"(
echo -n taviro-test | gnome-keyring-daemon --foreground --unlock --components=secrets >/dev/null 2>&1 &
trap 'kill $!' EXIT
for _ in $(seq 100); do
  dbus-send --session --reply-timeout=500 --print-reply --dest=org.freedesktop.secrets /org/freedesktop/secrets \
    org.freedesktop.Secret.Service.ReadAlias string:default 2>/dev/null | grep -q 'object path "/org/' && ready=1 && break
  sleep 0.05
done
[ -n "$ready" ] || { echo "gnome-keyring-daemon provided no default collection"; exit 77; })");
    if (run.skipped) GTEST_SKIP() << run.output.out << run.output.err;
    EXPECT_TRUE(run.passed) << run.output.out << run.output.err;
}

// The halves below run only inside the session bus their parent test starts.

TEST(SecretServiceKeychainChild, EveryCallReturnsInTime) {
    if (!test::inChildProcess()) GTEST_SKIP() << "runs inside the session bus of its parent test";
    // The bus itself answers, so a quick failure below is the keychain's own doing.
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    ASSERT_NE(bus, nullptr);
    GVariant* names = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                                  "ListNames", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr);
    EXPECT_NE(names, nullptr) << "the test bus does not answer";
    if (names) g_variant_unref(names);
    g_object_unref(bus);
    auto keychain = platform::secretServiceKeychain();
    // A service start asks up to three times (read, save, read again); a keychain that does not
    // answer holds the start up once, not three times.
    test::TempDir dataRoot;
    auto start = Clock::now();
    auto resolved = InstallationIdentity::resolve({[] { return std::optional<std::string>(); }, keychain}, dataRoot.path());
    EXPECT_LT(test::secondsSince(start), 2.5) << "identity resolution";
    EXPECT_TRUE(resolved.deviceID.starts_with("device_"));
    start = Clock::now();
    EXPECT_FALSE(keychain->read(kService, "device").has_value());
    EXPECT_FALSE(keychain->save(kService, "device", "secret"));
    EXPECT_LT(test::secondsSince(start), 3.0) << "read and save";
}

TEST(SecretServiceKeychainChild, StoresReadsAndReplaces) {
    if (!test::inChildProcess()) GTEST_SKIP() << "runs inside the session bus of its parent test";
    auto keychain = platform::secretServiceKeychain();
    EXPECT_EQ(keychain->read(kService, "device"), std::nullopt);
    // Replaced, kept byte for byte, and told apart by both attributes.
    const std::string spaced = "  two\twords \n\r\n  \xC3\xA9  ";
    for (const std::string& value : {std::string("first value"), spaced}) {
        ASSERT_TRUE(keychain->save(kService, "device", value));
        EXPECT_EQ(keychain->read(kService, "device"), value);
    }
    EXPECT_EQ(keychain->read("com.vorda.kinoloom.other", "device"), std::nullopt);
    ASSERT_TRUE(keychain->save(kService, "other-account", "another"));
    EXPECT_EQ(keychain->read(kService, "device"), spaced);
    // Without a machine identifier, a generated identity is kept here and found by the next start.
    IdentitySources sources{[] { return std::optional<std::string>(); }, keychain};
    test::TempDir dataRoot;
    auto first = InstallationIdentity::resolve(sources, dataRoot.path());
    EXPECT_EQ(keychain->read(InstallationIdentity::keychainService, InstallationIdentity::keychainAccount), first.deviceID);
    EXPECT_EQ(InstallationIdentity::resolve(sources, dataRoot.path()).deviceID, first.deviceID);
}
