#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace taviro::platform {

// The text value of `key` in the top-level dictionary of an XML property list; absent when the
// file cannot be read or parsed, the key is missing, or its value is not a <string>.
std::optional<std::string> infoPlistString(const std::filesystem::path& plist, const std::string& key);

}  // namespace taviro::platform
