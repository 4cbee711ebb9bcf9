#include <gtest/gtest.h>

#include <regex>

#include "platform/Crypto.h"
#include "service/InstallationIdentity.h"
#include "tests/support/ShellHarness.h"

using namespace taviro;
using Text = std::optional<std::string>;

namespace {

IdentitySources sourcesWith(Text uuid, std::shared_ptr<test::FakeKeychain> keychain) {
    return IdentitySources{[uuid] { return uuid; }, std::move(keychain)};
}

std::string hardwareIdentityOf(const std::string& normalised) {
    return "device_v2_" + platform::sha256Hex("com.vorda.kinoloom.hwident.2:" + normalised);
}

}  // namespace

TEST(InstallationIdentity, EachSourceIsTrimmedAndRefusesWhatIsNotText) {
    auto keychain = std::make_shared<test::FakeKeychain>();
    const std::string uuid = "4c4c4544-0042-3510-8052-b4c04f4e4b32";
    for (const Text& raw : {Text(uuid), Text("4C4C4544-0042-3510-8052-B4C04F4E4B32"), Text("\u3000\t" + uuid + "\r\n")}) {
        EXPECT_EQ(InstallationIdentity::hardwareDeviceID(sourcesWith(raw, keychain)), hardwareIdentityOf(uuid)) << *raw;
    }
    for (const Text& raw : {Text(), Text(""), Text(" \n\t"), Text("\xff\xfe")}) {
        EXPECT_EQ(InstallationIdentity::hardwareDeviceID(sourcesWith(raw, keychain)), std::nullopt);
        keychain->setItem(raw);
        EXPECT_EQ(InstallationIdentity::keychainDeviceID(sourcesWith(std::nullopt, keychain)), std::nullopt);
    }
    keychain->setItem(" device_1234\n");
    EXPECT_EQ(InstallationIdentity::keychainDeviceID(sourcesWith(std::nullopt, keychain)), "device_1234");
    EXPECT_FALSE(InstallationIdentity::saveDeviceIDToKeychain(sourcesWith(std::nullopt, keychain), "\xff"));
    EXPECT_EQ(keychain->item(), " device_1234\n");

    test::TempDir dir;
    const std::pair<Text, Text> legacyFiles[] = {
        {std::nullopt, std::nullopt}, {R"({"cloud": {"device_id": "  padded\n"}, "other": 1})", "padded"},
        {R"({"cloud": {"device_id": 42}})", std::nullopt}, {R"({"cloud": ["device_id", "x"]})", std::nullopt},
        {R"({"cloud": {"device_id": "   "}})", std::nullopt}, {R"({"cloud": {}})", std::nullopt},
        {R"(["cloud"])", std::nullopt}, {"{not json", std::nullopt},
    };
    for (const auto& [content, expected] : legacyFiles) {
        std::filesystem::remove(dir / "config.json");
        if (content) test::writeFile(dir / "config.json", *content);
        EXPECT_EQ(InstallationIdentity::legacyDeviceID(dir.path()), expected) << content.value_or("(no file)");
    }
}

TEST(InstallationIdentity, ResolutionOrder) {
    const std::string hardware = hardwareIdentityOf("machine-1");
    struct Case {
        const char* name;
        Text uuid, legacyFile, keychainItem;
        Text deviceID;       // nullopt: a fresh random identity
        Text legacyID;       // "=device": the same as the device identity
        Text keychainAfter;  // "=device": the device identity
    };
    const Case cases[] = {
        {"hardware only", "machine-1", {}, {}, hardware, {}, {}},
        {"hardware wins, legacy file passed on", "machine-1", "legacy-1", "device_old", hardware, "legacy-1", "device_old"},
        {"hardware wins, keychain passed on", "machine-1", {}, "device_old", hardware, "device_old", "device_old"},
        {"hardware-form values are never legacy", "machine-1", "device_v2_x", "device_v2_y", hardware, {}, "device_v2_y"},
        {"legacy file adopted and saved", {}, "legacy-1", "device_old", "legacy-1", "legacy-1", "legacy-1"},
        {"keychain used, nothing saved", {}, {}, "device_old", "device_old", "device_old", "device_old"},
        {"v2 legacy becomes the device but not the legacy", {}, "device_v2_z", {}, "device_v2_z", {}, "device_v2_z"},
        {"nothing: random, saved", {}, {}, {}, {}, "=device", "=device"},
        {"blank keychain: random replaces it", {}, {}, "  ", {}, "=device", "=device"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dataRoot;
        if (c.legacyFile) test::writeFile(dataRoot / "config.json", nlohmann::json{{"cloud", {{"device_id", *c.legacyFile}}}}.dump());
        auto keychain = std::make_shared<test::FakeKeychain>();
        keychain->setItem(c.keychainItem);
        int savesBefore = keychain->saves();
        auto resolved = InstallationIdentity::resolve(sourcesWith(c.uuid, keychain), dataRoot.path());
        EXPECT_TRUE(c.deviceID ? resolved.deviceID == *c.deviceID : std::regex_match(resolved.deviceID, std::regex("device_[0-9a-f]{32}")))
            << resolved.deviceID;
        auto expand = [&](const Text& value) { return value == "=device" ? Text(resolved.deviceID) : value; };
        EXPECT_EQ(resolved.legacyDeviceID, expand(c.legacyID));
        EXPECT_EQ(keychain->item(), expand(c.keychainAfter));
        EXPECT_TRUE(!c.uuid || keychain->saves() == savesBefore) << "a hardware identity is never saved";
    }
}

TEST(InstallationIdentity, ARandomIdentityIsKeptForTheNextStartAndLaterBecomesTheLegacyOne) {
    test::TempDir dataRoot;
    auto keychain = std::make_shared<test::FakeKeychain>();
    auto first = InstallationIdentity::resolve(sourcesWith(std::nullopt, keychain), dataRoot.path());
    EXPECT_EQ(InstallationIdentity::resolve(sourcesWith(std::nullopt, keychain), dataRoot.path()).deviceID, first.deviceID);
    EXPECT_NE(first.deviceID, InstallationIdentity::randomDeviceID());
    auto withHardware = InstallationIdentity::resolve(sourcesWith("machine-2", keychain), dataRoot.path());
    EXPECT_EQ(withHardware.deviceID, hardwareIdentityOf("machine-2"));
    EXPECT_EQ(withHardware.legacyDeviceID, first.deviceID);
}
