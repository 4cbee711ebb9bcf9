#include <gtest/gtest.h>

#include <regex>

#include "platform/Crypto.h"
#include "service/InstallationIdentity.h"
#include "tests/support/ShellHarness.h"

using namespace taviro;

namespace {

IdentitySources sourcesWith(std::optional<std::string> uuid, std::shared_ptr<test::FakeKeychain> keychain) {
    return IdentitySources{[uuid] { return uuid; }, keychain};
}

std::string hardwareIdentityOf(const std::string& normalised) {
    return "device_v2_" + platform::sha256Hex("com.vorda.kinoloom.hwident.2:" + normalised);
}

}  // namespace

TEST(InstallationIdentity, HardwareIdentityIsTheSaltedDigestOfTheNormalisedUUID) {
    auto keychain = std::make_shared<test::FakeKeychain>();
    const std::string expected = hardwareIdentityOf("4c4c4544-0042-3510-8052-b4c04f4e4b32");
    for (const char* raw : {"4c4c4544-0042-3510-8052-b4c04f4e4b32", "4C4C4544-0042-3510-8052-B4C04F4E4B32",
                            "  4c4c4544-0042-3510-8052-b4c04f4e4b32\n", "\u3000\t4C4C4544-0042-3510-8052-B4C04F4E4B32\r\n"}) {
        auto identity = InstallationIdentity::hardwareDeviceID(sourcesWith(raw, keychain));
        ASSERT_TRUE(identity) << raw;
        EXPECT_EQ(*identity, expected) << raw;
        EXPECT_EQ(identity->size(), 74u);
    }
    for (std::optional<std::string> raw : {std::optional<std::string>(), std::optional<std::string>(""),
                                           std::optional<std::string>(" \n\t"), std::optional<std::string>("\xff\xfe")}) {
        EXPECT_FALSE(InstallationIdentity::hardwareDeviceID(sourcesWith(raw, keychain)));
    }
}

TEST(InstallationIdentity, LegacyFileIsReadStrictly) {
    test::TempDir dir;
    struct Case {
        std::optional<std::string> content;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt},
        {R"({"cloud": {"device_id": "abc-123"}})", "abc-123"},
        {R"({"cloud": {"device_id": "  padded\n"}, "other": 1})", "padded"},
        {R"({"cloud": {"device_id": 42}})", std::nullopt},
        {R"({"cloud": ["device_id", "x"]})", std::nullopt},
        {R"({"cloud": {"device_id": "   "}})", std::nullopt},
        {R"({"cloud": {}})", std::nullopt},
        {R"(["cloud"])", std::nullopt},
        {"{not json", std::nullopt},
        {R"({"cloud": {"device_id": "device_v2_kept"}})", "device_v2_kept"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(dir / "config.json");
        if (c.content) test::writeFile(dir / "config.json", *c.content);
        EXPECT_EQ(InstallationIdentity::legacyDeviceID(dir.path()), c.expected) << c.content.value_or("(no file)");
    }
}

TEST(InstallationIdentity, KeychainValuesAreTrimmedAndValidated) {
    auto keychain = std::make_shared<test::FakeKeychain>();
    auto sources = sourcesWith(std::nullopt, keychain);
    struct Case {
        std::optional<std::string> stored, expected;
    };
    const Case cases[] = {{std::nullopt, std::nullopt}, {"", std::nullopt}, {" \n", std::nullopt},
                          {" device_1234\n", "device_1234"}, {"\xc3\x28", std::nullopt}};
    for (const auto& c : cases) {
        keychain->setItem(c.stored);
        EXPECT_EQ(InstallationIdentity::keychainDeviceID(sources), c.expected);
    }
    EXPECT_FALSE(InstallationIdentity::saveDeviceIDToKeychain(sources, "\xff"));
    EXPECT_TRUE(InstallationIdentity::saveDeviceIDToKeychain(sources, "device_abc"));
    EXPECT_EQ(keychain->item(), "device_abc");
}

TEST(InstallationIdentity, ResolutionOrder) {
    const std::string hardware = hardwareIdentityOf("machine-1");
    struct Case {
        const char* name;
        std::optional<std::string> uuid;
        std::optional<std::string> legacyFile;  // device_id in config.json
        std::optional<std::string> keychainItem;
        std::optional<std::string> deviceID;    // nullopt: a fresh random identity
        std::optional<std::string> legacyID;    // "=device": the same as the device identity
        std::optional<std::string> keychainAfter;  // "=device": the device identity
    };
    const Case cases[] = {
        {"hardware only", "machine-1", std::nullopt, std::nullopt, hardware, std::nullopt, std::nullopt},
        {"hardware wins, legacy file passed on", "machine-1", "legacy-1", "device_old", hardware, "legacy-1", "device_old"},
        {"hardware wins, keychain passed on", "machine-1", std::nullopt, "device_old", hardware, "device_old", "device_old"},
        {"hardware-form values are never legacy", "machine-1", "device_v2_x", "device_v2_y", hardware, std::nullopt, "device_v2_y"},
        {"legacy file adopted and saved", std::nullopt, "legacy-1", "device_old", "legacy-1", "legacy-1", "legacy-1"},
        {"keychain used, nothing saved", std::nullopt, std::nullopt, "device_old", "device_old", "device_old", "device_old"},
        {"v2 legacy becomes the device but not the legacy", std::nullopt, "device_v2_z", std::nullopt, "device_v2_z", std::nullopt, "device_v2_z"},
        {"nothing: random, saved", std::nullopt, std::nullopt, std::nullopt, std::nullopt, "=device", "=device"},
        {"blank keychain: random replaces it", std::nullopt, std::nullopt, "  ", std::nullopt, "=device", "=device"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dataRoot;
        if (c.legacyFile) test::writeFile(dataRoot / "config.json", nlohmann::json{{"cloud", {{"device_id", *c.legacyFile}}}}.dump());
        auto keychain = std::make_shared<test::FakeKeychain>();
        keychain->setItem(c.keychainItem);
        int savesBefore = keychain->saves();

        auto resolved = InstallationIdentity::resolve(sourcesWith(c.uuid, keychain), dataRoot.path());
        if (c.deviceID) {
            EXPECT_EQ(resolved.deviceID, *c.deviceID);
        } else {
            EXPECT_TRUE(std::regex_match(resolved.deviceID, std::regex("device_[0-9a-f]{32}"))) << resolved.deviceID;
        }
        auto expand = [&](const std::optional<std::string>& value) {
            return value == "=device" ? std::optional(resolved.deviceID) : value;
        };
        EXPECT_EQ(resolved.legacyDeviceID, expand(c.legacyID));
        EXPECT_EQ(keychain->item(), expand(c.keychainAfter));
        if (c.uuid) {
            EXPECT_EQ(keychain->saves(), savesBefore) << "a hardware identity is never saved";
        }
    }
}

TEST(InstallationIdentity, ARandomIdentityIsKeptForTheNextStartAndLaterBecomesTheLegacyOne) {
    test::TempDir dataRoot;
    auto keychain = std::make_shared<test::FakeKeychain>();
    auto first = InstallationIdentity::resolve(sourcesWith(std::nullopt, keychain), dataRoot.path());
    auto second = InstallationIdentity::resolve(sourcesWith(std::nullopt, keychain), dataRoot.path());
    EXPECT_EQ(first.deviceID, second.deviceID);
    EXPECT_NE(first.deviceID, InstallationIdentity::randomDeviceID());

    auto withHardware = InstallationIdentity::resolve(sourcesWith("machine-2", keychain), dataRoot.path());
    EXPECT_EQ(withHardware.deviceID, hardwareIdentityOf("machine-2"));
    EXPECT_EQ(withHardware.legacyDeviceID, first.deviceID);
}
