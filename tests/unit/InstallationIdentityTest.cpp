#include <gtest/gtest.h>

#include <regex>

#include "platform/Crypto.h"
#include "service/InstallationIdentity.h"
#include "tests/support/TestSupport.h"

using namespace taviro;
using Text = std::optional<std::string>;

// The identity's keychain item in memory; any other item is refused.
struct FakeKeychain final : platform::Keychain {
    static bool isItem(const std::string& service, const std::string& account) {
        return service == InstallationIdentity::keychainService && account == InstallationIdentity::keychainAccount;
    }
    Text read(const std::string& service, const std::string& account) override { return isItem(service, account) ? item : Text(); }
    bool save(const std::string& s, const std::string& a, const std::string& data) override {
        return isItem(s, a) && (item = data, ++saves, true);
    }
    Text item;
    int saves = 0;
};

TEST(InstallationIdentity, ResolutionOrderAndWhatEachSourceRefuses) {
    const std::string uuid = "4c4c4544-0042";
    const std::string hardware = "device_v2_" + platform::sha256Hex("com.vorda.kinoloom.hwident.2:" + uuid);
    auto config = [](std::string id) { return R"({"cloud": {"device_id": ")" + id + R"("}, "other": 1})"; };
    // The sources, then the identity (nullopt: a fresh random one), the legacy identity and the
    // keychain item after, where "=device" stands for the identity.
    struct Case { const char* name; Text uuid, configFile, keychainItem, deviceID, legacyID, keychainAfter; };
    const Case cases[] = {
        {"hardware, trimmed and lower-cased", "\u3000\t4C4C4544-0042\r\n", {}, {}, hardware, {}, {}},
        {"config passed on", uuid, config("  legacy-1\\n"), "device_old", hardware, "legacy-1", "device_old"},
        {"keychain passed on", uuid, {}, " device_old\n", hardware, "device_old", " device_old\n"},
        {"v2 values are never legacy", uuid, config("device_v2_x"), "device_v2_y", hardware, {}, "device_v2_y"},
        {"config adopted and saved", {}, config("legacy-1"), "device_old", "legacy-1", "legacy-1", "legacy-1"},
        {"keychain used, nothing saved", " \n\t", {}, "device_old", "device_old", "device_old", "device_old"},
        {"nothing: random, saved", "\xff\xfe", {}, {}, {}, "=device", "=device"},
        {"random replaces the blank item", "", R"({"cloud": {"device_id": 42}})", "  ", {}, "=device", "=device"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dataRoot;
        if (c.configFile) test::writeFile(dataRoot / "config.json", *c.configFile);
        auto keychain = std::make_shared<FakeKeychain>();
        keychain->item = c.keychainItem;
        auto resolved = InstallationIdentity::resolve({[&] { return c.uuid; }, keychain}, dataRoot.path());
        auto expand = [&](const Text& value) { return value == "=device" ? Text(resolved.deviceID) : value; };
        EXPECT_EQ(std::tuple(resolved.deviceID, resolved.legacyDeviceID, keychain->item),
                  std::tuple(c.deviceID.value_or(resolved.deviceID), expand(c.legacyID), expand(c.keychainAfter)));
        EXPECT_TRUE(c.deviceID || std::regex_match(resolved.deviceID, std::regex("device_[0-9a-f]{32}"))) << "random";
        EXPECT_TRUE(c.deviceID != hardware || keychain->saves == 0) << "a hardware identity is never saved";
    }
}
