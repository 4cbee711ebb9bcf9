#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "platform/HttpClient.h"

// What each target's input becomes before it reaches the production function.
namespace taviro::fuzz {

inline std::string text(const std::uint8_t* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// An HTTP 200 answer carrying the input as its body.
inline Result<platform::HttpResponse> answer(const std::uint8_t* data, std::size_t size) {
    return platform::HttpResponse{200, text(data, size)};
}

// A folder of this process's own under /tmp, made on first use.
inline const std::filesystem::path& scratchFolder() {
    static const std::filesystem::path folder = [] {
        auto made = std::filesystem::temp_directory_path() / ("taviro-fuzz-" + std::to_string(::getpid()));
        std::filesystem::create_directories(made);
        return made;
    }();
    return folder;
}

// Writes the input to `file` (replacing it) for the parsers that read files.
inline void writeInput(const std::filesystem::path& file, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace taviro::fuzz
