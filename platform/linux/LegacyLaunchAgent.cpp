#include "platform/LegacyLaunchAgent.h"

#include "platform/Paths.h"

namespace taviro::platform {

std::filesystem::path legacyAgentUnitFile() {
    return homeDirectory() / ".config" / "systemd" / "user" / kLegacyAgentUnit;
}

}  // namespace taviro::platform
