// Choosing a port and starting the bundled service with its environment.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

#include "app/AppDelegate.h"
#include "app/DesktopLog.h"
#include "platform/Paths.h"

namespace taviro {
namespace {

constexpr const char* kDefaultSearchPath = "/usr/bin:/bin:/usr/sbin:/sbin";

int randomPort() {
    static thread_local std::mt19937 generator{std::random_device{}()};
    return 20000 + std::uniform_int_distribution<int>(0, 40999)(generator);
}

bool isExecutableFile(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

int AppDelegate::findAvailablePort() {
    int socketDescriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socketDescriptor < 0) return randomPort();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int port = 0;
    socklen_t length = sizeof(address);
    if (::bind(socketDescriptor, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::getsockname(socketDescriptor, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(socketDescriptor);
    return port > 1023 ? port : randomPort();
}

std::map<std::string, std::string> AppDelegate::serviceEnvironment(std::map<std::string, std::string> environment,
                                                                   const std::filesystem::path& resources) {
    const std::filesystem::path dataRoot = dataRootDirectory();
    const std::string bin = (resources / "bin").string();
    auto inheritedPath = environment.find("PATH");
    environment["PATH"] = bin + ":" + (inheritedPath != environment.end() ? inheritedPath->second : kDefaultSearchPath);
    environment["VORDA_BIN_DIR"] = bin;
    environment["VORDA_DATA_ROOT"] = dataRoot.string();
    environment["OSTRELIN_WORKFLOW_DIR"] = (resources / "workflows").string();
    environment["VORDA_FONTS_DIR"] = (resources / "fonts").string();
    environment["VORDA_BUILTIN_BGM_DIR"] = (resources / "bgm").string();
    environment["VORDA_DEFAULT_BGM"] = (resources / "default_bgm.m4a").string();
    environment["VORDA_PROJECT_ROOT"] = (dataRoot / "projects").string();
    environment["GENERATION_GATEWAY_URL"] = platform_.remoteApiOrigin;

    ResolvedIdentity identity = InstallationIdentity::resolve(platform_.identity, dataRoot);
    environment["VORDA_DEVICE_ID"] = identity.deviceID;
    if (identity.legacyDeviceID) environment["VORDA_LEGACY_DEVICE_ID"] = *identity.legacyDeviceID;

    environment["VORDA_PORT"] = std::to_string(localPort.load());
    environment["VORDA_INTEGRATION_ENABLED"] = "1";
    environment["PYTHONUNBUFFERED"] = "1";
    for (const auto& [name, value] : featurePackUpdater().environment()) environment[name] = value;
    return environment;
}

bool AppDelegate::startBundledService() {
    std::lock_guard lock(backendMutex_);
    if (backendProcess && backendProcess->isRunning()) return true;
    // After the quit sequence has stopped the service, nothing may start another one.
    if (quitting_) return false;

    auto resources = platform_.resourcesFolder ? platform_.resourcesFolder() : std::nullopt;
    if (!resources) return false;
    const std::filesystem::path executable = *resources / "server" / "vorda-web-server" / "vorda-web-server";
    if (!isExecutableFile(executable)) {
        appendDesktopLog("bundled service is not executable: " + executable.string());
        return false;
    }

    platform::ChildProcessOptions options;
    options.executable = executable;
    options.workingDirectory = *resources;
    options.environment = serviceEnvironment(platform::processEnvironment(), *resources);

    std::error_code ignored;
    std::filesystem::create_directories(dataRootDirectory(), ignored);
    if (auto log = platform::openForAppending(desktopLogPath())) {
        backendLogHandle = *log;
        options.output = *log;
    }
    std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
    options.onExit = [weakSelf](int status) {
        if (!weakSelf.expired()) appendDesktopLog("bundled service exited with status " + std::to_string(status));
    };

    auto launched = platform::ChildProcess::launch(std::move(options));
    if (!launched) {
        appendDesktopLog("failed to launch bundled service: " + launched.error().description);
        return false;
    }
    appendDesktopLog("bundled service launched on port " + std::to_string(localPort.load()));
    backendProcess = *launched;
    return true;
}

std::shared_ptr<platform::ChildProcess> AppDelegate::currentBackendProcess() {
    std::lock_guard lock(backendMutex_);
    return backendProcess;
}

void AppDelegate::abandonBackendProcess() {
    std::lock_guard lock(backendMutex_);
    if (backendProcess && backendProcess->isRunning()) backendProcess->terminate();
    backendProcess.reset();
}

}  // namespace taviro
