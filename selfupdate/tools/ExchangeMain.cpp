// taviro-exchange FIRST SECOND: swaps the two paths in one step, for the update's swap script,
// so that the application's folder always holds a whole package, the old one or the new one.
// Exits kExchangeUnsupportedStatus when the file system has no such step (NFS, many FUSE mounts),
// so that the script can fall back to two renames.
#include <cerrno>
#include <cstdio>

#include "platform/Files.h"
#include "platform/UpdateSwapScript.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: taviro-exchange FIRST SECOND\n");
        return 2;
    }
    auto exchanged = taviro::platform::exchangePaths(argv[1], argv[2]);
    if (!exchanged) {
        std::fprintf(stderr, "taviro-exchange: %s\n", exchanged.error().description.c_str());
        const int code = exchanged.error().code;
        const bool unsupported = code == EINVAL || code == ENOSYS || code == EOPNOTSUPP;
        return unsupported ? taviro::platform::kExchangeUnsupportedStatus : 1;
    }
    return 0;
}
