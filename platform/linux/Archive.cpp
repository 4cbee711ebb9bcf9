#include "platform/Archive.h"

#include <archive.h>
#include <archive_entry.h>
#include <cerrno>
#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/Files.h"

namespace taviro::platform {
namespace {

constexpr mode_t kFolderMode = 0755;
constexpr mode_t kFileMode = 0644;

using ArchiveReader = std::unique_ptr<archive, decltype(&archive_read_free)>;

Error refused(const std::string& what) { return Error{"Archive", 1, what}; }

// The entry's name as relative components ("." parts dropped, so "./" is the folder itself);
// absent when the name could reach outside the folder.
std::optional<std::vector<std::string>> safeComponents(std::string_view name) {
    if (name.ends_with('/')) name.remove_suffix(1);  // a folder entry's own slash
    if (name.empty() || name.front() == '/') return std::nullopt;
    std::vector<std::string> components;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = std::min(name.find('/', start), name.size());
        std::string_view part = name.substr(start, end - start);
        if (part.empty() || part == "..") return std::nullopt;
        if (part != ".") components.emplace_back(part);
        start = end + 1;
    }
    return components;
}

// Creates each of the first `count` folders of `components` under `path` that does not exist
// yet, leaving `path` at the last. A component
// that exists must be a real folder: nothing is followed.
VoidResult makeFolders(std::filesystem::path& path, const std::vector<std::string>& components, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        path /= components[i];
        struct stat info{};
        if (::lstat(path.c_str(), &info) == 0) {
            if (!S_ISDIR(info.st_mode)) return std::unexpected(refused("archive entry crosses a file: " + path.string()));
            continue;
        }
        if (::mkdir(path.c_str(), kFolderMode) != 0) return std::unexpected(posixError(errno, "cannot create " + path.string()));
    }
    return {};
}

VoidResult writeEntryData(archive* reader, const std::filesystem::path& path, const ExtractionLimits& limits,
                          std::int64_t& total) {
    int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
    if (descriptor < 0) return std::unexpected(posixError(errno, "cannot create " + path.string()));
    std::int64_t written = 0;
    VoidResult result;
    char buffer[65536];
    for (;;) {
        la_ssize_t count = archive_read_data(reader, buffer, sizeof buffer);
        if (count == 0) break;
        if (count < 0) {
            result = std::unexpected(refused(std::string("cannot unpack: ") + archive_error_string(reader)));
            break;
        }
        written += count;
        total += count;
        if (written > limits.maxEntryBytes || total > limits.maxTotalBytes) {
            result = std::unexpected(refused("archive unpacks to more than allowed: " + path.string()));
            break;
        }
        if (!writeAll(descriptor, buffer, static_cast<std::size_t>(count))) {
            result = std::unexpected(posixError(errno, "cannot write " + path.string()));
            break;
        }
    }
    ::close(descriptor);
    return result;
}

}  // namespace

bool looksLikeZipArchive(const std::filesystem::path& archive) {
    auto opened = openRegularFileForReading(archive);
    if (!opened) return false;
    char magic[4] = {};
    ssize_t count = ::read(*opened, magic, sizeof magic);
    ::close(*opened);
    // A local file header, or the end record of an archive with no entries.
    return count == 4 && (std::memcmp(magic, "PK\x03\x04", 4) == 0 || std::memcmp(magic, "PK\x05\x06", 4) == 0);
}

Result<ArchiveTotals> zipDeclaredTotals(const std::filesystem::path& archive) {
    if (!looksLikeZipArchive(archive)) return std::unexpected(refused("not a zip archive: " + archive.string()));
    // The seekable reader takes the sizes from the central directory and skips data unread.
    ArchiveReader reader(archive_read_new(), archive_read_free);
    if (!reader || archive_read_support_format_zip_seekable(reader.get()) != ARCHIVE_OK ||
        archive_read_open_filename(reader.get(), archive.c_str(), 65536) != ARCHIVE_OK) {
        return std::unexpected(refused("cannot open " + archive.string()));
    }
    ArchiveTotals totals;
    archive_entry* entry = nullptr;
    for (;;) {
        int next = archive_read_next_header(reader.get(), &entry);
        if (next == ARCHIVE_EOF) return totals;
        if (next != ARCHIVE_OK) {
            return std::unexpected(refused(std::string("cannot read archive: ") + archive_error_string(reader.get())));
        }
        ++totals.entries;
        if (archive_entry_size_is_set(entry)) totals.bytes += std::max<la_int64_t>(0, archive_entry_size(entry));
    }
}

VoidResult extractZip(const std::filesystem::path& archive, const std::filesystem::path& folder,
                      const ExtractionLimits& limits) {
    if (!looksLikeZipArchive(archive)) return std::unexpected(refused("not a zip archive: " + archive.string()));
    // Zip only: other formats carry devices, hard links and sparse files.
    ArchiveReader reader(archive_read_new(), archive_read_free);
    if (!reader || archive_read_support_format_zip(reader.get()) != ARCHIVE_OK ||
        archive_read_open_filename(reader.get(), archive.c_str(), 65536) != ARCHIVE_OK) {
        return std::unexpected(refused("cannot open " + archive.string()));
    }
    std::int64_t entries = 0;
    std::int64_t total = 0;
    archive_entry* entry = nullptr;
    for (;;) {
        int next = archive_read_next_header(reader.get(), &entry);
        if (next == ARCHIVE_EOF) break;
        if (next != ARCHIVE_OK) {
            return std::unexpected(refused(std::string("cannot read archive: ") + archive_error_string(reader.get())));
        }
        const char* rawName = archive_entry_pathname(entry);
        std::string name = rawName != nullptr ? rawName : "";
        if (++entries > limits.maxEntries) return std::unexpected(refused("archive has too many entries"));
        const mode_t type = archive_entry_filetype(entry);
        const bool isFolder = type == AE_IFDIR;
        if ((type != AE_IFREG && !isFolder) || archive_entry_hardlink(entry) != nullptr ||
            archive_entry_symlink(entry) != nullptr) {
            return std::unexpected(refused("archive entry is neither a file nor a folder: " + name));
        }
        auto components = safeComponents(name);
        if (!components || (components->empty() && !isFolder)) {
            return std::unexpected(refused("archive entry name is not allowed: " + name));
        }
        if (archive_entry_size_is_set(entry) && archive_entry_size(entry) > limits.maxEntryBytes) {
            return std::unexpected(refused("archive entry is too large: " + name));
        }
        std::filesystem::path path = folder;
        if (auto made = makeFolders(path, *components, components->size() - (isFolder ? 0 : 1)); !made) return made;
        if (isFolder) continue;
        path /= components->back();
        if (auto written = writeEntryData(reader.get(), path, limits, total); !written) return written;
    }
    return {};
}

}  // namespace taviro::platform
