#pragma once

#include <nlohmann/json.hpp>

#include "platform/Crypto.h"
#include "tests/support/TestSupport.h"

namespace taviro::test {

using platform::sha256Hex;

// A signed pack built on disk the way a publisher would build it.
struct PackContents {
    std::int64_t revision = 1;
    std::string version = "1.0.0";
    std::map<std::string, std::string> files = {
        {"ui.json", R"({"title":"混剪"})"}, {"generation_rules.json", R"({"rules":[]})"},
        {"ui-overrides.css", ".toolbar { background: url(assets/bg.png); }"}};
    // Changes the manifest before it is serialised and signed.
    std::function<void(nlohmann::json&)> editManifest = {};
};

// Writes the content files, manifest.json and manifest.sig into `folder`.
inline void writePack(const std::filesystem::path& folder, const PackContents& pack, const SigningKey& key) {
    nlohmann::json files = nlohmann::json::array();
    for (const auto& [path, content] : pack.files) {
        writeFile(folder / path, content);
        files.push_back({{"path", path}, {"size", content.size()}, {"sha256", sha256Hex(content)}});
    }
    nlohmann::json manifest = {{"schema_version", 1}, {"component", "ui-rules"}, {"version", pack.version},
                               {"revision", pack.revision}, {"key_id", "feature-pack-ed25519-v1"}, {"engine_api", 1},
                               {"min_app_version", "1.0.0"}, {"max_app_version_exclusive", "2.0.0"},
                               {"created_at", "2026-12-01T00:00:00Z"}, {"files", files}};
    if (pack.editManifest) pack.editManifest(manifest);
    writeFile(folder / "manifest.json", manifest.dump());
    writeFile(folder / "manifest.sig", base64(key.sign(manifest.dump())) + "\n");
}

// One zip entry written exactly as given, which hostile input needs: `mode` 0 is a regular file,
// a link's content is its target, and `zeros` bytes of zeros replace the content when set.
struct ZipEntry {
    std::string name, content;
    unsigned mode = 0;
    std::size_t zeros = 0;
};

inline std::filesystem::path writeZip(const std::filesystem::path& archive, const std::vector<ZipEntry>& entries) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& e : entries) list.push_back({e.name, e.content, e.mode, e.zeros});
    auto result = runCaptured({"/usr/bin/python3", "-c", "import json, sys, zipfile\n"
                               "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
                               "    for name, content, mode, zeros in json.loads(sys.argv[2]):\n"
                               "        i = zipfile.ZipInfo(name)\n"
                               "        i.create_system, i.external_attr = 3, (mode or 0o100644) << 16\n"
                               "        z.writestr(i, bytes(zeros) if zeros else content, zipfile.ZIP_DEFLATED)\n",
                               archive, list.dump()});
    if (result.status != 0) throw std::runtime_error("zip failed: " + result.err);
    return archive;
}

// Zips `entries`, then the regular files in `folder`, and returns the archive path.
inline std::filesystem::path zipFolder(const std::filesystem::path& folder, const std::filesystem::path& archive,
                                       std::vector<ZipEntry> entries = {}) {
    for (const auto& file : std::filesystem::recursive_directory_iterator(folder)) {
        if (file.is_regular_file()) entries.push_back({relative(file.path(), folder), readFile(file.path())});
    }
    return writeZip(archive, entries);
}

}  // namespace taviro::test
