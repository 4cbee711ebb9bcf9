#include "tests/support/TestSupport.h"

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

extern char** environ;

namespace taviro::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "taviro-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ScopedEnv& ScopedEnv::set(const std::string& name, const std::optional<std::string>& value) {
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
    return *this;
}

ScopedEnv::~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
        it->second ? ::setenv(it->first.c_str(), it->second->c_str(), 1) : ::unsetenv(it->first.c_str());
    }
}

void writeFile(const std::filesystem::path& file, const std::string& content) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream stream(file, std::ios::binary | std::ios::trunc);
    stream << content;
    if (!stream) throw std::runtime_error("cannot write " + file.string());
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
    out.resize(static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                                        reinterpret_cast<const unsigned char*>(bytes.data()),
                                                        static_cast<int>(bytes.size()))));
    return out;
}

SigningKey::SigningKey() : key_(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519")) {
    if (key_ == nullptr) throw std::runtime_error("Ed25519 key generation failed");
}

SigningKey::~SigningKey() { EVP_PKEY_free(static_cast<EVP_PKEY*>(key_)); }

std::string SigningKey::rawPublicKey() const {
    std::string raw(32, '\0');
    std::size_t length = raw.size();
    EVP_PKEY_get_raw_public_key(static_cast<EVP_PKEY*>(key_), reinterpret_cast<unsigned char*>(raw.data()), &length);
    return raw;
}

std::string SigningKey::sign(const std::string& message) const {
    std::string signature(64, '\0');
    std::size_t length = signature.size();
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    bool signed_ = EVP_DigestSignInit(context, nullptr, nullptr, nullptr, static_cast<EVP_PKEY*>(key_)) == 1 &&
                   EVP_DigestSign(context, reinterpret_cast<unsigned char*>(signature.data()), &length,
                                  reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
    EVP_MD_CTX_free(context);
    if (!signed_) throw std::runtime_error("Ed25519 signing failed");
    return signature;
}

std::filesystem::path SigningKey::writePublicKeyFile(const std::filesystem::path& file, const std::string& keyId) const {
    writeFile(file, "{\"key_id\":\"" + keyId + "\",\"public_key_raw_base64\":\"" + base64(rawPublicKey()) + "\"}");
    return file;
}

namespace {

std::string readBack(int fd) {
    std::string content;
    char buffer[4096];
    ::lseek(fd, 0, SEEK_SET);
    for (ssize_t count; (count = ::read(fd, buffer, sizeof buffer)) > 0;) content.append(buffer, std::size_t(count));
    ::close(fd);
    return content;
}

}  // namespace

ProcessOutput runCaptured(const std::vector<std::string>& argv, const Environment& environment,
                          const std::filesystem::path& workingDirectory) {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text(*entry);
        if (auto equals = text.find('='); equals != std::string::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [name, value] : environment) {
        if (value) variables[name] = *value;
        else variables.erase(name);
    }
    std::vector<std::string> envStrings;
    for (const auto& [name, value] : variables) envStrings.push_back(name + "=" + value);
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    for (const auto& e : envStrings) envp.push_back(const_cast<char*>(e.c_str()));
    args.push_back(nullptr);
    envp.push_back(nullptr);

    // Memory files instead of pipes: nothing to drain while the program runs.
    int out = ::memfd_create("out", MFD_CLOEXEC), err = ::memfd_create("err", MFD_CLOEXEC);
    pid_t child = ::fork();
    if (child == 0) {
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (!workingDirectory.empty() && ::chdir(workingDirectory.c_str()) != 0) ::_exit(126);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), readBack(out), readBack(err)};
}

}  // namespace taviro::test
