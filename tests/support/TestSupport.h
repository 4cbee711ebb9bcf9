#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace taviro::test {

// A fresh folder under the system temporary folder, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir() { std::error_code ignored; std::filesystem::remove_all(path_, ignored); }
    TempDir(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Variable changes in order, the last for a name winning (nullopt removes).
using Environment = std::vector<std::pair<std::string, std::optional<std::string>>>;

// Sets (or removes) environment variables for one scope and restores them after.
class ScopedEnv {
public:
    ScopedEnv() = default;
    ScopedEnv(const std::string& name, const std::optional<std::string>& value) { set(name, value); }
    explicit ScopedEnv(const Environment& changes) { for (const auto& [name, value] : changes) set(name, value); }
    ~ScopedEnv();
    ScopedEnv& set(const std::string& name, const std::optional<std::string>& value);

private:
    Environment saved_;
};

void writeFile(const std::filesystem::path& file, const std::string& content);
std::string readFile(const std::filesystem::path& file);
std::vector<std::string> readLines(const std::filesystem::path& file);
std::string base64(const std::string& bytes);

// A freshly generated Ed25519 key pair; the private half never leaves the test process.
class SigningKey {
public:
    SigningKey();
    std::string sign(const std::string& message) const;  // 64 raw bytes
    // Writes {"key_id": keyId, "public_key_raw_base64": ...} and returns its path.
    std::filesystem::path writePublicKeyFile(const std::filesystem::path& file,
                                             const std::string& keyId = "feature-pack-ed25519-v1") const;

private:
    std::array<std::uint8_t, 32> privateKey_;
};

// Runs the default GLib main context until `done` holds or `timeoutSeconds` pass; returns
// whether `done` held.
bool runMainLoopUntil(const std::function<bool()>& done, double timeoutSeconds = 20);
inline void runMainLoopFor(double seconds) { runMainLoopUntil([] { return false; }, seconds); }

struct ProcessOutput {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
};

// Runs a program with `environment` applied and captures both output streams. It returns when
// the program ends, even if something it started still holds the streams.
ProcessOutput runCaptured(const std::vector<std::string>& argv, const Environment& environment = {},
                          const std::filesystem::path& workingDirectory = {});

// Runs `body` in a forked child that is not root, so that file modes bind it as they bind a
// user: when the tests run as root it becomes the user "nobody". Returns the child's exit
// status (`body`'s result), or 128 + signal.
int runUnprivileged(const std::function<int()>& body);

}  // namespace taviro::test
