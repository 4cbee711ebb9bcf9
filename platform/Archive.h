#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace taviro::platform {

// The system tool that extracts a zip archive into a folder; exit status 0 means success.
// It refuses absolute and ".." entries and extraction through symbolic links.
inline constexpr const char* kZipExtractorPath = "/usr/bin/bsdtar";

std::vector<std::string> zipExtractArguments(const std::filesystem::path& archive, const std::filesystem::path& folder);

// True when the file starts like a zip archive. The extractor reads other archive formats too
// (tar can carry devices and hard links), so only zip files are handed to it.
bool looksLikeZipArchive(const std::filesystem::path& archive);

}  // namespace taviro::platform
