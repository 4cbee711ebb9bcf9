#include "tests/support/ShellHarness.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <thread>

#include "app/DesktopLog.h"
#include "app/ProjectVersion.h"
#include "platform/Paths.h"
#include "tests/support/PackBuilder.h"

#ifndef TAVIRO_TEST_SUPPORT_DIR
#error "the build defines TAVIRO_TEST_SUPPORT_DIR"
#endif

namespace taviro::test {

ShellFixture::ShellFixture() {
    std::filesystem::create_directories(home);
    std::filesystem::create_directories(package.resources());
    writeFile(package.infoPlist(), std::string("<plist><dict><key>CFBundleShortVersionString</key><string>") +
                                       kProjectVersion + "</string></dict></plist>");
    env.set("HOME", home.string())
        .set("XDG_DATA_HOME", (dir / "data").string())
        .set("XDG_CONFIG_HOME", (dir / "config").string())
        .set("VORDA_FEATURE_PACK_TEST_ROOT", (dir / "store").string())
        .set("VORDA_FEATURE_PUBLIC_KEY", key.writePublicKeyFile(dir / "key.json").string())
        .set("SCRIPTED_SERVICE_RECORD", record.string())
        .set("SCRIPTED_SERVICE_MODE", std::nullopt);
}

ShellFixture::~ShellFixture() {
    // Quitting does not wait for connection workers; the queue's end does, before the pack store
    // they read goes.
    background.reset();
    // No scripted service may outlive its test.
    for (const auto& start : serviceStarts()) ::kill(start["pid"].get<int>(), SIGKILL);
}

void ShellFixture::installScriptedService(const std::string& mode) {
    auto target = package.serviceExecutable();
    std::filesystem::create_directories(target.parent_path());
    std::filesystem::copy_file(std::filesystem::path(TAVIRO_TEST_SUPPORT_DIR) / "scripted-service.py", target,
                               std::filesystem::copy_options::overwrite_existing);
    env.set("SCRIPTED_SERVICE_MODE", mode);
}

FeaturePackUpdater& ShellFixture::packs() {
    if (!packs_) packs_ = std::make_unique<FeaturePackUpdater>(kProjectVersion, appendDesktopLog);
    return *packs_;
}

std::shared_ptr<ServiceSupervisor> ShellFixture::makeSupervisor() {
    // No machine identifier and no keychain: each start gets a fresh random identity.
    auto noIdentifier = [this]() -> std::optional<std::string> {
        std::this_thread::sleep_for(std::chrono::duration<double>(identityDelaySeconds.load()));
        return std::nullopt;
    };
    auto supervisor = ServiceSupervisor::create(
        {platform::glibMainQueue(), background, platform::curlHttpClient(), IdentitySources{noIdentifier, nullptr},
         package, dataRootDirectory(), desktopLogPath(), "https://api.example.test", timing, appendDesktopLog},
        {[this]() -> FeaturePackUpdater& { return packs(); }, {}});
    supervisor->setWebView(webView);
    return supervisor;
}

long ShellFixture::logCount(const std::string& prefix) const {
    long count = 0;
    std::ifstream in(home / ".ostrelin-video-web" / "desktop-service.log");
    // "[2026-12-07T10:00:00Z] message"
    for (std::string line; std::getline(in, line);) {
        count += (line.size() > 23 && line[0] == '[' ? line.substr(23) : line).starts_with(prefix);
    }
    return count;
}

std::vector<nlohmann::json> ShellFixture::records(const char* key) const {
    std::vector<nlohmann::json> entries;
    std::ifstream in(record);
    for (std::string line; std::getline(in, line);) {
        auto entry = nlohmann::json::parse(line, nullptr, false);
        if (entry.is_object() && entry.contains(key)) entries.push_back(entry);
    }
    return entries;
}

bool ShellFixture::activatePack(int revision) {
    const std::string version = std::to_string(revision) + ".0.0", folder = (dir / ("pack" + version)).string();
    writePack(folder, {.revision = revision, .version = version}, key);
    auto archive = zipFolder(folder, folder + ".zip");
    const bool staged = packs().stageArchiveForTesting(archive, version, revision, sha256Hex(readFile(archive))).has_value();
    packs().prepareForLaunch();
    return staged;
}

bool ShellFixture::allStartsEnded(double timeoutSeconds, std::size_t first) const {
    // The shell's waiter thread reaps its children, so an ended child is gone.
    auto ended = [](const nlohmann::json& start) { return ::kill(start["pid"].get<int>(), 0) != 0; };
    return runMainLoopUntil([&] { return std::ranges::all_of(serviceStarts() | std::views::take(first), ended); }, timeoutSeconds);
}

}  // namespace taviro::test
