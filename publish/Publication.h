#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/Error.h"

namespace taviro::publish {

// The publisher's refusals and failures: domain "TaviroPublish".
Error publishError(const std::string& what);

// A private work folder beside an output, on its file system, removed with everything in it when
// this goes: what a publication builds is renamed into place only once it is whole.
class WorkFolder {
public:
    static Result<WorkFolder> beside(const std::filesystem::path& output);
    WorkFolder(WorkFolder&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }
    ~WorkFolder();
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    explicit WorkFolder(std::filesystem::path path) : path_(std::move(path)) {}
    std::filesystem::path path_;
};

// Writes a zip of `names` (relative to `root`, in that order) with the modes they have, through
// the same tool the application unpacks with.
VoidResult writeZip(const std::filesystem::path& archive, const std::filesystem::path& root,
                    const std::vector<std::string>& names);

// Renames `built` to `output`, which must not exist: a publication never replaces one.
VoidResult placeNew(const std::filesystem::path& built, const std::filesystem::path& output);

}  // namespace taviro::publish
