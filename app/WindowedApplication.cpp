#include "app/WindowedApplication.h"

#include <cstdlib>

#include "app/ProcessRunner.h"
#include "app/RemoteApiOrigin.h"
#include "platform/ApplicationRunner.h"
#include "platform/HardwareIdentity.h"
#include "platform/LogFile.h"
#include "platform/PackageLayout.h"
#include "platform/Paths.h"
#include "platform/UpdateSwapScript.h"

namespace taviro {
namespace {

constexpr const char* kApplicationID = "com.taviro.desktop";
constexpr double kLogDrainSeconds = 1.0;

}  // namespace

ServiceTiming connectionTiming() {
    ServiceTiming timing;
    auto text = platform::environmentValue("TAVIRO_CONNECTION_TIME_SCALE");
    if (!text) return timing;
    char* end = nullptr;
    double scale = std::strtod(text->c_str(), &end);
    if (end == text->c_str() || *end != '\0' || !(scale > 0.0) || scale > 1.0) return timing;
    // The pause before the next cycle keeps its length, so each page stays long enough to see.
    for (double* seconds : {&timing.healthCheckPause, &timing.startAttemptWait, &timing.finalWait}) {
        *seconds *= scale;
    }
    return timing;
}

AppDelegate::Platform packagedPlatform() {
    AppDelegate::Platform platform;
    // Read once and not handed on (before any thread starts): the service has no use for it.
    if (auto proof = platform::environmentValue(platform::kLaunchProofVariable)) {
        if (std::filesystem::path(*proof).is_absolute()) platform.updateLaunchProof = *proof;
        ::unsetenv(platform::kLaunchProofVariable);
    }
    platform.mainQueue = platform::glibMainQueue();
    platform.background = std::make_shared<platform::ConcurrentQueue>("taviro-worker");
    platform.http = platform::curlHttpClient();
    platform.browser = platform::desktopBrowserOpener();
    platform.identity = IdentitySources{[] { return platform::platformUUID(); }, platform::secretServiceKeychain()};
    auto package = platform::PackageLayout::running();
    std::error_code error;
    if (std::filesystem::is_directory(package.resources(), error)) platform.package = package;
    platform.runProcess = [](const std::string& tool, const std::vector<std::string>& arguments) {
        return runProcess(tool, arguments);
    };
    auto origin = remoteApiOrigin();
    platform.remoteApiOrigin = origin.origin;
    platform.refusedRemoteApiOrigin = origin.refusedOverride;
    platform.timing = connectionTiming();
    return platform;
}

int runWindowedApplication(int argc, char** argv) {
    auto platform = packagedPlatform();
    // A version the update's swap started must show its own window to prove that it starts,
    // whatever else (another installation) holds the application's name.
    const bool unique = !platform.updateLaunchProof;
    auto delegate = AppDelegate::create(std::move(platform));
    platform::ApplicationCallbacks callbacks;
    callbacks.didFinishLaunching = [delegate](platform::ApplicationHost& host) { delegate->applicationDidFinishLaunching(host); };
    callbacks.willTerminate = [delegate] { delegate->applicationWillTerminate(); };
    const int status = platform::runApplication(kApplicationID, argc, argv, std::move(callbacks), unique);
    // The service's last lines, written as it stops, still reach the log.
    platform::drainLogPipes(kLogDrainSeconds);
    return status;
}

}  // namespace taviro
