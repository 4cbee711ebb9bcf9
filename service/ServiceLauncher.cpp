// Choosing a port and starting the bundled service with its environment.
#include <random>
#include <unistd.h>

#include "lib/DecimalParsing.h"
#include "platform/LogFile.h"
#include "platform/Paths.h"
#include "platform/PortProbe.h"
#include "service/ServiceSupervisor.h"

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

int ServiceSupervisor::findAvailablePort() {
    const int port = platform::freeLoopbackPort();
    return port > 1023 ? port : randomPort();
}

std::map<std::string, std::string> ServiceSupervisor::serviceEnvironment(std::map<std::string, std::string> environment) {
    const std::filesystem::path resources = machine_.package->resources();
    const std::filesystem::path& dataRoot = machine_.dataRoot;
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
    environment["GENERATION_GATEWAY_URL"] = machine_.remoteApiOrigin;

    // The first start takes the look-up made at launch; every later one (on the worker, in the
    // background) looks again, since the service may have written its config.json meanwhile.
    std::optional<ResolvedIdentity> identity;
    if (identity_.valid() && !identityTaken_.exchange(true)) {
        try {
            identity = identity_.get();
        } catch (const std::future_error&) {
            // The lookup never ran (the queue had closed): look it up here.
        }
    }
    if (!identity) identity = InstallationIdentity::resolve(machine_.identity, dataRoot);
    environment["VORDA_DEVICE_ID"] = identity->deviceID;
    if (identity->legacyDeviceID) environment["VORDA_LEGACY_DEVICE_ID"] = *identity->legacyDeviceID;

    environment["VORDA_PORT"] = std::to_string(localPort());
    environment["VORDA_INTEGRATION_ENABLED"] = "1";
    environment["PYTHONUNBUFFERED"] = "1";
    for (const auto& [name, value] : hooks_.featurePacks().environment()) environment[name] = value;
    return environment;
}

void ServiceSupervisor::resolveIdentityInBackground() {
    auto background = machine_.background.lock();
    if (identity_.valid() || !background) return;
    auto answer = std::make_shared<std::promise<ResolvedIdentity>>();
    identity_ = answer->get_future().share();
    background->post([answer, sources = machine_.identity, dataRoot = machine_.dataRoot] {
        answer->set_value(InstallationIdentity::resolve(sources, dataRoot));
    });
}

bool ServiceSupervisor::startBundledService() {
    // Starts are serialised by their own lock: the slow part (keychain look-ups, the spawn) never
    // holds the one the quit sequence takes.
    std::lock_guard start(startMutex_);
    if (auto running = currentBackendProcess(); running && running->isRunning()) return true;
    // After the quit sequence has stopped the service, nothing may start another one.
    if (quitting_) return false;

    if (!machine_.package) return false;
    const std::filesystem::path executable = machine_.package->serviceExecutable();
    if (!isExecutableFile(executable)) {
        machine_.log("bundled service is not executable: " + executable.string());
        return false;
    }

    platform::ChildProcessOptions options;
    options.executable = executable;
    options.workingDirectory = machine_.package->resources();
    options.environment = serviceEnvironment(platform::processEnvironment());
    const auto revision = parseSignedDecimal(options.environment["VORDA_FEATURE_PACK_REVISION"]).value_or(0);

    std::error_code ignored;
    std::filesystem::create_directories(machine_.dataRoot, ignored);
    // Through a pipe, so that the log can be rotated under a service that runs for days.
    if (auto log = platform::openLogPipe(machine_.logFile)) options.output = *log;
    std::weak_ptr<ServiceSupervisor> weakSelf = weak_from_this();
    options.onExit = [weakSelf, log = machine_.log](int status) {
        if (!weakSelf.expired()) log("bundled service exited with status " + std::to_string(status));
    };

    if (quitting_) return false;
    auto launched = platform::ChildProcess::launch(std::move(options));
    if (!launched) {
        machine_.log("failed to launch bundled service: " + launched.error().description);
        return false;
    }
    machine_.log("bundled service launched on port " + std::to_string(localPort()));
    {
        std::lock_guard lock(backendMutex_);
        startedRevision_ = revision;
        backendProcess_ = *launched;
    }
    // The quit sequence marks quitting before it looks for a child under the lock: it has seen
    // this one, or this sees that it quits. Either way the child is asked to stop.
    if (quitting_) {
        (*launched)->terminate();
        return false;
    }
    return true;
}

std::shared_ptr<platform::ChildProcess> ServiceSupervisor::currentBackendProcess() {
    std::lock_guard lock(backendMutex_);
    return backendProcess_;
}

void ServiceSupervisor::abandonBackendProcess(const std::string& reason) {
    std::lock_guard lock(backendMutex_);
    if (backendProcess_ && backendProcess_->isRunning()) {
        machine_.log("bundled service on port " + std::to_string(localPort()) + " stopped: " + reason);
        backendProcess_->terminate();
    }
    backendProcess_.reset();
}

}  // namespace taviro
