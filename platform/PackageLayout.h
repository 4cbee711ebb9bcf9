#pragma once

#include <filesystem>

namespace taviro::platform {

// Where things lie inside an application package Taviro.app: the executable at
// Contents/MacOS/Taviro, so two levels above it lies Contents with Info.plist and Resources.
struct PackageLayout {
    std::filesystem::path contents;

    // The package around the running executable (from /proc/self/exe).
    static PackageLayout running();
    static PackageLayout ofExecutable(const std::filesystem::path& executable);

    std::filesystem::path executable() const { return contents / "MacOS" / "Taviro"; }
    std::filesystem::path infoPlist() const { return contents / "Info.plist"; }
    std::filesystem::path resources() const { return contents / "Resources"; }
    std::filesystem::path serviceExecutable() const {
        return resources() / "server" / "vorda-web-server" / "vorda-web-server";
    }
    std::filesystem::path featurePackPublicKey() const { return resources() / "feature-pack-public-key.json"; }
    // Present only where the deployment signs its releases.
    std::filesystem::path updatePublicKey() const { return resources() / "update-public-key.json"; }
};

}  // namespace taviro::platform
