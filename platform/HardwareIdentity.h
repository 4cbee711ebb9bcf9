#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace taviro::platform {

// The machine's stable identifier as the system stores it (/etc/machine-id, else
// /var/lib/dbus/machine-id), unnormalised. Absent when neither can be read.
std::optional<std::string> platformUUID();

// The content of the first candidate that is a readable regular file holding more than white
// space; platformUUID() is this over the system's two locations.
std::optional<std::string> platformUUIDFrom(const std::vector<std::filesystem::path>& candidates);

}  // namespace taviro::platform
