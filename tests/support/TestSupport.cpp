#include "tests/support/TestSupport.h"

#include <cerrno>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <glib.h>
#include <grp.h>
#include <thread>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "lib/Base64.h"
#include "platform/Crypto.h"

namespace taviro::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "taviro-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

static void setVariable(const std::string& name, const std::optional<std::string>& value) {
    value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
}

ScopedEnv& ScopedEnv::set(const std::string& name, const std::optional<std::string>& value) {
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    return setVariable(name, value), *this;
}

ScopedEnv::~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) setVariable(it->first, it->second);
}

void writeFile(const std::filesystem::path& file, const std::string& content) {
    std::filesystem::create_directories(file.parent_path());
    if (!(std::ofstream(file, std::ios::binary) << content)) throw std::runtime_error("cannot write " + file.native());
}

std::string readFile(const std::filesystem::path& file) {
    return (std::ostringstream() << std::ifstream(file, std::ios::binary).rdbuf()).str();
}

std::vector<std::string> readLines(const std::filesystem::path& file) {
    std::vector<std::string> lines;
    std::istringstream stream(readFile(file));
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

std::string base64(const std::string& bytes) { return encodeBase64(bytes); }

SigningKey::SigningKey() : privateKey_(platform::ed25519GenerateKeyPair().value().privateKey) {}

std::string SigningKey::sign(const std::string& message) const {
    auto signature = platform::ed25519Sign(privateKey_, std::span(reinterpret_cast<const std::uint8_t*>(message.data()), message.size()));
    return std::string(signature.begin(), signature.end());
}

std::filesystem::path SigningKey::writePublicKeyFile(const std::filesystem::path& file,
                                                     const std::string& keyId) const {
    auto raw = platform::ed25519PublicKey(privateKey_);
    writeFile(file, "{\"key_id\":\"" + keyId + "\",\"public_key_raw_base64\":\"" +
                        base64(std::string(raw.begin(), raw.end())) + "\"}");
    return file;
}

bool runMainLoopUntil(const std::function<bool()>& done, double timeoutSeconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (!g_main_context_iteration(nullptr, FALSE)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

ProcessOutput runCaptured(const std::vector<std::string>& argv, const Environment& environment,
                          const std::filesystem::path& workingDirectory) {
    // env(1) applies the variables and the working directory, so the forked child only execs.
    std::map<std::string, std::optional<std::string>> changes;
    for (const auto& [name, value] : environment) changes[name] = value;  // the last wins
    std::vector<std::string> command{"/usr/bin/env"}, set;
    for (const auto& [name, value] : changes) {
        value ? set.push_back(name + "=" + *value) : (void)command.insert(command.end(), {"-u", name});
    }
    if (!workingDirectory.empty()) command.insert(command.end(), {"-C", workingDirectory.string()});
    command.push_back("--"), command.insert(command.end(), set.begin(), set.end());
    command.insert(command.end(), argv.begin(), argv.end());
    std::vector<char*> args(command.size() + 1);  // ends in a null pointer
    for (std::size_t i = 0; i < command.size(); ++i) args[i] = command[i].data();

    // Memory files instead of pipes: nothing to drain while the program runs.
    int fds[2] = {::memfd_create("out", MFD_CLOEXEC), ::memfd_create("err", MFD_CLOEXEC)};
    pid_t child = ::fork();
    if (child == 0) ::dup2(fds[0], 1), ::dup2(fds[1], 2), ::execv(args[0], args.data()), ::_exit(127);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    auto captured = [&](int fd) { return readFile("/proc/self/fd/" + std::to_string(fd)); };
    ProcessOutput output{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), captured(fds[0]),
                         captured(fds[1])};
    return ::close(fds[0]), ::close(fds[1]), output;
}

int runUnprivileged(const std::function<int()>& body) {
    constexpr uid_t nobody = 65534;
    pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0)) {
            ::_exit(126);
        }
        ::_exit(body());
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace taviro::test
