#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "selfupdate/ReleaseCheck.h"

namespace taviro {

// One version folder of the update root and the files a preparation leaves in it.
struct UpdateFolder {
    std::filesystem::path folder;

    static UpdateFolder of(const std::filesystem::path& updateRoot, const std::string& version) {
        return {updateRoot / version};
    }
    std::filesystem::path archive() const;
    std::filesystem::path staged() const;
    std::filesystem::path newApp() const { return staged() / "Taviro.app"; }
    std::filesystem::path script() const;
    std::filesystem::path log() const { return folder / "update.log"; }
    std::filesystem::path record() const;
    // Written by the swap script: the version was rolled back or could not be swapped in.
    std::filesystem::path refusedMarker() const;
};

// A prepared update as its record describes it.
struct PreparedUpdate {
    std::string version;
    std::filesystem::path script;
    std::filesystem::path newApp;
    std::filesystem::path log;
    // The package it was prepared for; empty in a record that names none.
    std::filesystem::path appPath;
};

// ~/.local/share/Taviro/updates (or under $XDG_DATA_HOME).
std::filesystem::path updateRootDirectory();

// The record of a finished preparation for the package at `appPath`: pretty-printed, keys sorted.
std::string preparedUpdateRecord(const UpdateFolder& folder, const ReleaseDescription& release,
                                 const std::filesystem::path& appPath, const std::string& preparedAt);
// The members a launch needs; absent unless the four it cannot do without are text and every
// path is absolute.
std::optional<PreparedUpdate> readPreparedUpdateRecord(std::string_view json);

// The first version folder, in descending plain-text order of the names, whose record was
// prepared for `appPackage`, is newer than `runningVersion` (as the release check orders them), was not refused, and whose script
// and new package are in place.
std::optional<PreparedUpdate> findPreparedUpdate(const std::filesystem::path& updateRoot, std::string_view runningVersion,
                                                 const std::filesystem::path& appPackage);

// Launch: retires the version folders whose record names no package, or names `appPackage`
// at or below `runningVersion` (installed, or superseded). Their logs stay.
void retireFinishedUpdates(const std::filesystem::path& updateRoot, std::string_view runningVersion,
                           const std::filesystem::path& appPackage);
// Removes the record first, so that a folder half removed is never restored, then the archive
// and the unpacked package.
void retireUpdateFolder(const UpdateFolder& folder);

// The swap script refused this version on this machine; `version` is a plain version or the
// name of a folder in the update root.
bool isRefusedVersion(const std::filesystem::path& updateRoot, const std::string& version);

// The script is an executable file and something lies at the new package's path.
bool isPreparedUpdateComplete(const std::filesystem::path& script, const std::filesystem::path& newApp);

}  // namespace taviro
