#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace taviro::test {

// A fresh folder under the system temporary folder, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Variable changes (nullopt removes); what a program sees on top of the test's environment.
using Environment = std::vector<std::pair<std::string, std::optional<std::string>>>;

// Sets (or removes) environment variables for one scope and restores them after.
class ScopedEnv {
public:
    ScopedEnv() = default;
    ScopedEnv(const std::string& name, const std::optional<std::string>& value) { set(name, value); }
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
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
    ~SigningKey();
    SigningKey(const SigningKey&) = delete;
    SigningKey& operator=(const SigningKey&) = delete;
    std::string rawPublicKey() const;
    std::string sign(const std::string& message) const;  // 64 raw bytes
    // Writes {"key_id": keyId, "public_key_raw_base64": ...} and returns its path.
    std::filesystem::path writePublicKeyFile(const std::filesystem::path& file,
                                             const std::string& keyId = "feature-pack-ed25519-v1") const;

private:
    void* key_;  // EVP_PKEY
};

struct ProcessOutput {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs a program with `environment` applied and captures both output streams. It returns when
// the program ends, even if something it started still holds the streams.
ProcessOutput runCaptured(const std::vector<std::string>& argv, const Environment& environment = {},
                          const std::filesystem::path& workingDirectory = {});

}  // namespace taviro::test
