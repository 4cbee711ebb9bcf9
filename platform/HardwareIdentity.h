#pragma once

#include <optional>
#include <string>

namespace taviro::platform {

// The machine's stable identifier as the system stores it (/etc/machine-id, else
// /var/lib/dbus/machine-id), unnormalised. Absent when neither can be read.
std::optional<std::string> platformUUID();

}  // namespace taviro::platform
