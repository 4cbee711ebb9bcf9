#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Keychain.h"

namespace taviro {

// Where an installation identity can come from.
struct IdentitySources {
    // The machine's raw identifier, unnormalised.
    std::function<std::optional<std::string>()> platformUUID;
    std::shared_ptr<platform::Keychain> keychain;
};

struct ResolvedIdentity {
    std::string deviceID;
    std::optional<std::string> legacyDeviceID;
};

struct InstallationIdentity {
    static constexpr const char* keychainService = "com.vorda.kinoloom.device";
    static constexpr const char* keychainAccount = "installation-device-id";
    static constexpr const char* hardwarePrefix = "device_v2_";

    static std::optional<std::string> hardwareDeviceID(const IdentitySources& sources);
    static std::optional<std::string> legacyDeviceID(const std::filesystem::path& dataRoot);
    static std::optional<std::string> keychainDeviceID(const IdentitySources& sources);
    static bool saveDeviceIDToKeychain(const IdentitySources& sources, const std::string& identity);
    // "device_" + 32 lower-case hexadecimal digits from a fresh random UUID.
    static std::string randomDeviceID();

    // The identity for one service start, asking the sources in their fixed order.
    static ResolvedIdentity resolve(const IdentitySources& sources, const std::filesystem::path& dataRoot);
};

}  // namespace taviro
