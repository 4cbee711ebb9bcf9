#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/Keychain.h"
#include "service/InstallationIdentity.h"
#include "tests/platform/ChildTest.h"
#include "tests/support/TestSupport.h"

using namespace taviro;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kService = "com.vorda.kinoloom.test";

bool onPath(const std::string& tool) {
    return test::runCaptured({"/bin/sh", "-c", "command -v \"$0\" >/dev/null", tool}).status == 0;
}

// A session bus that knows only the services in `services`: the machine's own activatable
// services (gnome-keyring among them) stay out of the test.
std::filesystem::path writeBusConfig(const test::TempDir& dir, const std::filesystem::path& services) {
    std::filesystem::create_directories(services);
    auto config = dir / "session.conf";
    test::writeFile(config, R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=)" + dir.path().string() + R"(</listen>
  <servicedir>)" + services.string() + R"(</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)");
    return config;
}

// A private home, so that neither a keyring daemon nor libsecret sees the user's files, and no
// display, so that nothing can put up a prompt.
std::vector<std::pair<std::string, std::optional<std::string>>> isolatedEnvironment(const test::TempDir& dir) {
    auto runtime = dir / "runtime";
    std::filesystem::create_directories(runtime);
    ::chmod(runtime.c_str(), 0700);
    return {{"HOME", (dir / "home").string()},
            {"XDG_DATA_HOME", (dir / "data").string()},
            {"XDG_CONFIG_HOME", (dir / "config").string()},
            {"XDG_CACHE_HOME", (dir / "cache").string()},
            {"XDG_RUNTIME_DIR", runtime.string()},
            {"DISPLAY", std::nullopt},
            {"WAYLAND_DISPLAY", std::nullopt},
            {"DBUS_SESSION_BUS_ADDRESS", std::nullopt}};
}

std::optional<std::string> childSkipReason(const test::ChildRun& run) {
    if (run.skipped) return run.skipReason;
    if (run.output.status == 77) return run.output.out + run.output.err;
    return std::nullopt;
}

}  // namespace

TEST(SecretServiceKeychain, WithoutASessionBusReadsNothingAndSavesNothingAtOnce) {
    test::TempDir dir;
    auto emptyRuntime = dir / "empty";
    auto staleRuntime = dir / "stale";
    std::filesystem::create_directories(emptyRuntime);
    // A leftover plain file where the bus socket would be is no bus either.
    test::writeFile(staleRuntime / "bus", "");

    struct Case {
        const char* name;
        std::optional<std::string> runtime;
    } cases[] = {
        {"empty runtime folder", emptyRuntime.string()},
        {"no socket, only a file", staleRuntime.string()},
        {"no runtime folder at all", std::nullopt},
    };
    auto keychain = platform::secretServiceKeychain();
    for (const auto& c : cases) {
        test::ScopedEnv env;
        env.set("DBUS_SESSION_BUS_ADDRESS", std::nullopt).set("XDG_RUNTIME_DIR", c.runtime);

        auto start = Clock::now();
        EXPECT_FALSE(keychain->read(kService, "device").has_value()) << c.name;
        EXPECT_LT(test::secondsSince(start), 1.5) << c.name;

        start = Clock::now();
        EXPECT_FALSE(keychain->save(kService, "device", "secret")) << c.name;
        EXPECT_LT(test::secondsSince(start), 1.5) << c.name;
    }
}

TEST(SecretServiceKeychain, OnABusWithoutASecretServiceEveryCallReturnsInTime) {
    if (!onPath("dbus-run-session")) GTEST_SKIP() << "dbus-run-session is not installed (scripts/setup installs dbus)";

    struct Case {
        const char* name;
        bool activationHangs;
    } cases[] = {
        // Nothing can provide the service: the bus answers at once with an error.
        {"no such service", false},
        // The bus starts a provider that never appears, and would keep the caller waiting for
        // its activation timeout.
        {"activation never completes", true},
    };
    for (const auto& c : cases) {
        test::TempDir dir;
        auto services = dir / "services";
        auto config = writeBusConfig(dir, services);
        if (c.activationHangs) {
            auto provider = dir / "never-ready.sh";
            // Stays until the test's folder is gone (a minute at most), holding none of the test's
            // output pipes. Its parent may linger as a zombie, so that is no sign of the end.
            test::writeFile(provider, "#!/bin/sh\nexec </dev/null >/dev/null 2>&1\nfor _ in $(seq 300); do\n  [ -e '" +
                                          config.string() + "' ] || exit 0\n  sleep 0.2\ndone\n");
            ::chmod(provider.c_str(), 0755);
            test::writeFile(services / "org.freedesktop.secrets.service",
                            "[D-BUS Service]\nName=org.freedesktop.secrets\nExec=" + provider.string() + "\n");
        }
        auto start = Clock::now();
        auto run = test::runChildTest("SecretServiceKeychainChild.EveryCallReturnsInTime",
                                      {"/usr/bin/env", "dbus-run-session", "--config-file=" + config.string(), "--"},
                                      isolatedEnvironment(dir));
        if (auto reason = childSkipReason(run)) GTEST_SKIP() << c.name << ": " << *reason;
        EXPECT_TRUE(run.passed) << c.name << "\n" << run.output.out << run.output.err;
        EXPECT_LT(test::secondsSince(start), 10.0) << c.name;
    }
}

TEST(SecretServiceKeychain, StoresReadsAndReplacesItemsInARealSecretService) {
    if (!onPath("dbus-run-session") || !onPath("gnome-keyring-daemon") || !onPath("dbus-send")) {
        GTEST_SKIP() << "dbus-run-session, dbus-send or gnome-keyring-daemon is missing "
                        "(scripts/setup installs dbus and gnome-keyring)";
    }
    test::TempDir dir;
    auto config = writeBusConfig(dir, dir / "services");
    // The daemon creates and unlocks a login keyring in the private home (it creates none for an
    // empty password, so the default alias would point nowhere); the test runs once the default
    // collection is there, and the daemon is stopped after it.
    const std::string script = R"(
echo -n "taviro-test" | gnome-keyring-daemon --foreground --unlock --components=secrets >/dev/null 2>&1 &
keyring=$!
ready=
for _ in $(seq 100); do
  if dbus-send --session --print-reply --dest=org.freedesktop.secrets /org/freedesktop/secrets \
       org.freedesktop.Secret.Service.ReadAlias string:default 2>/dev/null | grep -q 'object path "/org/'; then
    ready=1; break
  fi
  kill -0 "$keyring" 2>/dev/null || break
  sleep 0.05
done
if [ -z "$ready" ]; then
  echo "gnome-keyring-daemon provided no default collection on the test bus"
  kill "$keyring" 2>/dev/null; wait "$keyring" 2>/dev/null
  exit 77
fi
"$0" "$@"
status=$?
kill "$keyring" 2>/dev/null; wait "$keyring" 2>/dev/null
exit $status
)";
    auto run = test::runChildTest("SecretServiceKeychainChild.StoresReadsAndReplaces",
                                  {"/usr/bin/env", "dbus-run-session", "--config-file=" + config.string(), "--",
                                   "/bin/bash", "-c", script},
                                  isolatedEnvironment(dir));
    if (auto reason = childSkipReason(run)) GTEST_SKIP() << *reason;
    EXPECT_TRUE(run.passed) << run.output.out << run.output.err;
}

// The halves below run only inside the session bus their parent test starts.

TEST(SecretServiceKeychainChild, EveryCallReturnsInTime) {
    if (!test::inChildProcess()) GTEST_SKIP() << "runs inside the session bus of its parent test";
    auto keychain = platform::secretServiceKeychain();
    // A service start asks the keychain up to three times (read, save, read again); one that does
    // not answer holds the start up once, not three times. A hang guard with a loose bound.
    test::TempDir dataRoot;
    auto start = Clock::now();
    auto resolved = InstallationIdentity::resolve(IdentitySources{[] { return std::optional<std::string>(); }, keychain},
                                                  dataRoot.path());
    EXPECT_LT(test::secondsSince(start), 2.5) << "identity resolution";
    EXPECT_TRUE(resolved.deviceID.starts_with("device_"));

    // Each call on its own: far below any D-Bus timeout. The second read comes while the earlier
    // calls may still be winding down.
    start = Clock::now();
    EXPECT_FALSE(keychain->read(kService, "device").has_value());
    EXPECT_LT(test::secondsSince(start), 3.0) << "read";

    start = Clock::now();
    EXPECT_FALSE(keychain->save(kService, "device", "secret"));
    EXPECT_LT(test::secondsSince(start), 3.0) << "save";

    start = Clock::now();
    EXPECT_FALSE(keychain->read(kService, "device").has_value());
    EXPECT_LT(test::secondsSince(start), 3.0) << "second read";
}

TEST(SecretServiceKeychainChild, StoresReadsAndReplaces) {
    if (!test::inChildProcess()) GTEST_SKIP() << "runs inside the session bus of its parent test";
    auto keychain = platform::secretServiceKeychain();

    EXPECT_EQ(keychain->read(kService, "device"), std::nullopt);

    ASSERT_TRUE(keychain->save(kService, "device", "first value"));
    EXPECT_EQ(keychain->read(kService, "device"), "first value");

    ASSERT_TRUE(keychain->save(kService, "device", "second value"));
    EXPECT_EQ(keychain->read(kService, "device"), "second value");

    // Kept byte for byte: leading, trailing and inner white space, line breaks, non-ASCII.
    const std::string spaced = "  two\twords \n\r\n  \xC3\xA9  ";
    ASSERT_TRUE(keychain->save(kService, "device", spaced));
    EXPECT_EQ(keychain->read(kService, "device"), spaced);

    // Items are told apart by both attributes.
    EXPECT_EQ(keychain->read(kService, "other-account"), std::nullopt);
    EXPECT_EQ(keychain->read("com.vorda.kinoloom.other", "device"), std::nullopt);
    ASSERT_TRUE(keychain->save(kService, "other-account", "another"));
    EXPECT_EQ(keychain->read(kService, "device"), spaced);
    EXPECT_EQ(keychain->read(kService, "other-account"), "another");

    // Without a machine identifier, a generated installation identity is kept here and found
    // again by the next start.
    IdentitySources sources{[] { return std::optional<std::string>(); }, keychain};
    test::TempDir dataRoot;
    auto first = InstallationIdentity::resolve(sources, dataRoot.path());
    EXPECT_EQ(keychain->read(InstallationIdentity::keychainService, InstallationIdentity::keychainAccount), first.deviceID);
    auto second = InstallationIdentity::resolve(sources, dataRoot.path());
    EXPECT_EQ(second.deviceID, first.deviceID);
}
