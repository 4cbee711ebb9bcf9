#include "platform/Archive.h"

#include <cstring>
#include <unistd.h>

#include "platform/Files.h"

namespace taviro::platform {

std::vector<std::string> zipExtractArguments(const std::filesystem::path& archive, const std::filesystem::path& folder) {
    return {"-x", "-f", archive.string(), "-C", folder.string()};
}

bool looksLikeZipArchive(const std::filesystem::path& archive) {
    auto opened = openRegularFileForReading(archive);
    if (!opened) return false;
    char magic[4] = {};
    ssize_t count = ::read(*opened, magic, sizeof magic);
    ::close(*opened);
    // A local file header, or the end record of an archive with no entries.
    return count == 4 && (std::memcmp(magic, "PK\x03\x04", 4) == 0 || std::memcmp(magic, "PK\x05\x06", 4) == 0);
}

}  // namespace taviro::platform
