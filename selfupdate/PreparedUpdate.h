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
    std::filesystem::path archive() const { return folder / "update.zip"; }
    std::filesystem::path staged() const { return folder / "staged"; }
    std::filesystem::path newApp() const { return staged() / "Taviro.app"; }
    std::filesystem::path script() const;
    std::filesystem::path log() const { return folder / "update.log"; }
    std::filesystem::path record() const { return folder / "manifest.json"; }
};

// A prepared update as its record describes it.
struct PreparedUpdate {
    std::string version;
    std::filesystem::path script;
    std::filesystem::path newApp;
    std::filesystem::path log;
};

// ~/.local/share/Taviro/updates (or under $XDG_DATA_HOME).
std::filesystem::path updateRootDirectory();

// The record of a finished preparation: pretty-printed, keys sorted.
std::string preparedUpdateRecord(const UpdateFolder& folder, const ReleaseDescription& release,
                                 const std::string& preparedAt);
// The four members a launch needs; absent unless each is text and every path is absolute.
std::optional<PreparedUpdate> readPreparedUpdateRecord(std::string_view json);

// The first version folder, in descending plain-text order of the names, whose record is
// newer than `runningVersion` and whose script and new package are in place.
std::optional<PreparedUpdate> findPreparedUpdate(const std::filesystem::path& updateRoot, std::string_view runningVersion);

// Compares versions part by part at ".", each part as a decimal integer (0 when it is not one).
int compareDottedVersions(std::string_view a, std::string_view b);

// The script is an executable file and something lies at the new package's path.
bool isPreparedUpdateComplete(const std::filesystem::path& script, const std::filesystem::path& newApp);

}  // namespace taviro
