#include "platform/NativeExecutable.h"

#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/ReleasePlatform.h"

namespace taviro::platform {

bool isNativeExecutable(const std::filesystem::path& file) {
    struct stat info{};
    if (::lstat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || ::access(file.c_str(), X_OK) != 0) return false;
    const int descriptor = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (descriptor < 0) return false;
    Elf64_Ehdr header{};
    const bool whole = ::pread(descriptor, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header);
    ::close(descriptor);
    // Both architectures we release for are 64-bit little-endian.
    return whole && std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 && header.e_ident[EI_CLASS] == ELFCLASS64 &&
           header.e_ident[EI_DATA] == ELFDATA2LSB && (header.e_type == ET_EXEC || header.e_type == ET_DYN) &&
           header.e_machine == kReleaseElfMachine;
}

}  // namespace taviro::platform
