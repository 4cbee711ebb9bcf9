#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "tests/support/TestSupport.h"

namespace taviro::test {

std::string sha256Hex(const std::string& bytes);

// A signed pack built on disk the way a publisher would build it.
struct PackSpec {
    std::int64_t revision = 1;
    std::string version = "1.0.0";
    std::map<std::string, std::string> files = {
        {"ui.json", R"({"title":"混剪"})"},
        {"ui-overrides.css", ".toolbar { background: url(assets/bg.png); }"},
        {"generation_rules.json", R"({"rules":[]})"},
    };
    // Changes the manifest before it is serialised and signed.
    std::function<void(nlohmann::json&)> editManifest = {};
    // Replaces the serialised manifest bytes outright (still signed).
    std::function<std::string(std::string)> editManifestBytes = {};
};

// Writes the content files, manifest.json and manifest.sig into `folder`.
void writePack(const std::filesystem::path& folder, const PackSpec& spec, const SigningKey& key);

// Zips the folder's contents with the system archiver and returns the archive path.
std::filesystem::path zipFolder(const std::filesystem::path& folder, const std::filesystem::path& archive);

// A zip entry stored exactly as given; a symbolic-link mode (0120777) makes content its target.
struct ZipEntry {
    std::string name;
    std::string content;
    unsigned mode = 0;  // 0: a regular file, 0644
};
std::filesystem::path writeCraftedZip(const std::filesystem::path& archive, const std::vector<ZipEntry>& entries);

}  // namespace taviro::test
