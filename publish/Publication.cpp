#include "publish/Publication.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "platform/Archive.h"
#include "platform/Files.h"
#include "platform/Process.h"

namespace taviro::publish {

Error publishError(const std::string& what) { return Error{"TaviroPublish", 1, what}; }

Result<WorkFolder> WorkFolder::beside(const std::filesystem::path& output) {
    std::filesystem::path parent = output.has_parent_path() ? output.parent_path() : ".";
    std::error_code code;
    std::filesystem::create_directories(parent, code);
    std::string pattern = (parent / ("." + output.filename().string() + ".publish-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        return std::unexpected(posixError(errno, "cannot make a work folder in " + parent.string()));
    }
    return WorkFolder(pattern);
}

WorkFolder::~WorkFolder() {
    if (!path_.empty()) (void)platform::removeTree(path_);
}

VoidResult writeZip(const std::filesystem::path& archive, const std::filesystem::path& root,
                    const std::vector<std::string>& names) {
    // The names go through a list file, so that none is ever read as an option.
    const auto list = archive.string() + ".names";
    std::string text;
    for (const auto& name : names) {
        if (name.find('\n') != std::string::npos) return std::unexpected(publishError("a file name holds a line break: " + name));
        text += name + "\n";
    }
    if (auto written = platform::writeFileAtomically(list, text, 0600); !written) return std::unexpected(written.error());
    auto status = platform::runAndWait(platform::kZipUnpackTool,
                                       {"--format", "zip", "-cf", archive.string(), "-C", root.string(), "-T", list});
    std::remove(list.c_str());
    if (!status) return std::unexpected(status.error());
    if (*status != 0) return std::unexpected(publishError(std::string(platform::kZipUnpackTool) + " could not write " + archive.string()));
    return {};
}

VoidResult placeNew(const std::filesystem::path& built, const std::filesystem::path& output) {
    // A hard link fails when the name is taken, where a rename would replace.
    if (::link(built.c_str(), output.c_str()) != 0) {
        return std::unexpected(posixError(errno, "cannot publish " + output.string()));
    }
    std::remove(built.c_str());
    return {};
}

}  // namespace taviro::publish
