#include "tests/support/TestSupport.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <openssl/evp.h>
#include <sstream>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace taviro::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "taviro-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScopedEnv& ScopedEnv::set(const std::string& name, const std::optional<std::string>& value) {
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
    return *this;
}

ScopedEnv::~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) it->second ? ::setenv(it->first.c_str(), it->second->c_str(), 1) : ::unsetenv(it->first.c_str());
}

void writeFile(const std::filesystem::path& file, const std::string& content) {
    std::filesystem::create_directories(file.parent_path());
    if (!(std::ofstream(file, std::ios::binary | std::ios::trunc) << content)) throw std::runtime_error("cannot write " + file.string());
}

std::string readFile(const std::filesystem::path& file) {
    std::ostringstream content;
    content << std::ifstream(file, std::ios::binary).rdbuf();
    return content.str();
}

std::vector<std::string> readLines(const std::filesystem::path& file) {
    std::vector<std::string> lines;
    std::istringstream stream(readFile(file));
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

std::string base64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    out.resize(std::size_t(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                           reinterpret_cast<const unsigned char*>(bytes.data()), int(bytes.size()))));
    return out;
}

SigningKey::SigningKey() : key_(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), [](void* key) { EVP_PKEY_free(static_cast<EVP_PKEY*>(key)); }) {
    if (key_ == nullptr) throw std::runtime_error("Ed25519 key generation failed");
}

std::string SigningKey::sign(const std::string& message) const {
    std::string signature(64, '\0');
    std::size_t length = signature.size();
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, static_cast<EVP_PKEY*>(key_.get())) != 1 ||
        EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1) {
        throw std::runtime_error("Ed25519 signing failed");
    }
    return signature;
}

std::filesystem::path SigningKey::writePublicKeyFile(const std::filesystem::path& file, const std::string& keyId) const {
    std::string raw(32, '\0');
    std::size_t length = raw.size();
    EVP_PKEY_get_raw_public_key(static_cast<EVP_PKEY*>(key_.get()), reinterpret_cast<unsigned char*>(raw.data()), &length);
    writeFile(file, "{\"key_id\":\"" + keyId + "\",\"public_key_raw_base64\":\"" + base64(raw) + "\"}");
    return file;
}

ProcessOutput runCaptured(const std::vector<std::string>& argv, const Environment& environment,
                          const std::filesystem::path& workingDirectory) {
    // env(1) applies the variables and the working directory, so the forked child only execs.
    std::map<std::string, std::optional<std::string>> changes;
    for (const auto& [name, value] : environment) changes[name] = value;
    std::vector<std::string> command{"/usr/bin/env"};
    for (const auto& [name, value] : changes) if (!value) command.insert(command.end(), {"-u", name});
    if (!workingDirectory.empty()) command.insert(command.end(), {"-C", workingDirectory.string()});
    command.push_back("--");
    for (const auto& [name, value] : changes) if (value) command.push_back(name + "=" + *value);
    command.insert(command.end(), argv.begin(), argv.end());
    std::vector<char*> args(command.size() + 1);  // ends in a null pointer
    std::ranges::transform(command, args.begin(), [](std::string& argument) { return argument.data(); });

    // Memory files instead of pipes: nothing to drain while the program runs.
    int fds[2] = {::memfd_create("out", MFD_CLOEXEC), ::memfd_create("err", MFD_CLOEXEC)};
    pid_t child = ::fork();
    if (child == 0) {
        ::dup2(fds[0], 1), ::dup2(fds[1], 2);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    ProcessOutput output{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), readFile("/proc/self/fd/" + std::to_string(fds[0])),
                         readFile("/proc/self/fd/" + std::to_string(fds[1]))};
    ::close(fds[0]), ::close(fds[1]);
    return output;
}

}  // namespace taviro::test
