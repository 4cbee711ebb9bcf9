#include "service/InstallationIdentity.h"

#include <nlohmann/json.hpp>

#include "lib/Utf8.h"
#include "platform/Crypto.h"
#include "platform/Files.h"
#include "platform/Uuid.h"
#include "lib/Text.h"

namespace taviro {
namespace {

constexpr const char* kHardwareSalt = "com.vorda.kinoloom.hwident.2:";

std::optional<std::string> nonEmpty(std::string text) {
    if (text.empty()) return std::nullopt;
    return text;
}

bool isHardwareIdentity(const std::string& identity) { return identity.starts_with(InstallationIdentity::hardwarePrefix); }

}  // namespace

std::optional<std::string> InstallationIdentity::hardwareDeviceID(const IdentitySources& sources) {
    if (!sources.platformUUID) return std::nullopt;
    auto raw = sources.platformUUID();
    // A value that is not text (not UTF-8) is no identifier.
    if (!raw || !isValidUtf8(*raw)) return std::nullopt;
    std::string normalised = lowercaseASCII(trimWhitespaceAndNewlines(*raw));
    if (normalised.empty()) return std::nullopt;
    return hardwarePrefix + platform::sha256Hex(kHardwareSalt + normalised);
}

std::optional<std::string> InstallationIdentity::legacyDeviceID(const std::filesystem::path& dataRoot) {
    auto bytes = platform::readFile(dataRoot / "config.json");
    if (!bytes) return std::nullopt;
    auto document = nlohmann::json::parse(*bytes, nullptr, false);
    if (document.is_discarded() || !document.is_object()) return std::nullopt;
    auto cloud = document.find("cloud");
    if (cloud == document.end() || !cloud->is_object()) return std::nullopt;
    auto deviceID = cloud->find("device_id");
    if (deviceID == cloud->end() || !deviceID->is_string()) return std::nullopt;
    return nonEmpty(trimWhitespaceAndNewlines(deviceID->get<std::string>()));
}

std::optional<std::string> InstallationIdentity::keychainDeviceID(const IdentitySources& sources) {
    if (!sources.keychain) return std::nullopt;
    auto data = sources.keychain->read(keychainService, keychainAccount);
    if (!data || !isValidUtf8(*data)) return std::nullopt;
    return nonEmpty(trimWhitespaceAndNewlines(*data));
}

bool InstallationIdentity::saveDeviceIDToKeychain(const IdentitySources& sources, const std::string& identity) {
    if (!sources.keychain || !isValidUtf8(identity)) return false;
    return sources.keychain->save(keychainService, keychainAccount, identity);
}

std::string InstallationIdentity::randomDeviceID() {
    std::string digits;
    for (char c : platform::randomUuid()) {
        if (c != '-') digits.push_back(c);
    }
    return "device_" + lowercaseASCII(digits);
}

ResolvedIdentity InstallationIdentity::resolve(const IdentitySources& sources, const std::filesystem::path& dataRoot) {
    ResolvedIdentity resolved;
    if (auto hardware = hardwareDeviceID(sources)) {
        resolved.deviceID = *hardware;
    } else if (auto legacy = legacyDeviceID(dataRoot)) {
        resolved.deviceID = *legacy;
        saveDeviceIDToKeychain(sources, *legacy);
    } else if (auto stored = keychainDeviceID(sources)) {
        resolved.deviceID = *stored;
    } else {
        resolved.deviceID = randomDeviceID();
        saveDeviceIDToKeychain(sources, resolved.deviceID);
    }

    // The sources are asked again: the device identity may have just been saved.
    if (auto legacy = legacyDeviceID(dataRoot); legacy && !isHardwareIdentity(*legacy)) {
        resolved.legacyDeviceID = *legacy;
    } else if (auto stored = keychainDeviceID(sources); stored && !isHardwareIdentity(*stored)) {
        resolved.legacyDeviceID = *stored;
    }
    return resolved;
}

}  // namespace taviro
