#include "platform/linux/SessionBus.h"

#include <cstdlib>
#include <string>
#include <sys/stat.h>

namespace taviro::platform {

bool sessionBusMayExist() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address != nullptr && *address != '\0') return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || *runtime == '\0') return false;
    struct stat info{};
    std::string socket = std::string(runtime) + "/bus";
    return ::stat(socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

}  // namespace taviro::platform
