#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "featurepack/FeaturePackUpdater.h"
#include "service/ServiceSupervisor.h"
#include "tests/support/TestSupport.h"

namespace taviro::test {

// Records what it is asked to show; main thread only.
class RecordingWebView final : public platform::WebView {
public:
    void loadHTMLString(const std::string& html) override { loads.push_back(html); current = "about:blank"; }
    void loadRequest(const std::string& url, double) override { loads.push_back(url); current = url; }
    std::optional<std::string> currentURL() const override { return current; }
    void evaluateJavaScript(const std::string& script) override { scripts.push_back(script); }
    bool shows(const std::string& text) const { return !loads.empty() && loads.back().find(text) != std::string::npos; }

    std::vector<std::string> loads;  // each page's HTML, or the requested address
    std::vector<std::string> scripts;
    std::optional<std::string> current;
};

// A home, a pack store and a package whose service is the scripted test service (or any other
// executable), with the service supervision or the whole application wired to real HTTP,
// processes and the GLib main loop.
class ShellFixture {
public:
    ShellFixture();
    ~ShellFixture();

    // Installs the scripted service (tests/support/scripted-service.py) as the package's service.
    void installScriptedService(const std::string& mode);
    std::shared_ptr<ServiceSupervisor> makeSupervisor();
    FeaturePackUpdater& packs();

    long logCount(const std::string& prefix) const;  // messages starting with `prefix`, time stamps aside
    // One per start of the scripted service, and one per SIGTERM it got ({"terminated": pid}).
    std::vector<nlohmann::json> records(const char* key) const;
    std::vector<nlohmann::json> serviceStarts() const { return records("pid"); }
    // Waits until every recorded start's process has ended.
    bool allStartsEnded(double timeoutSeconds, std::size_t first = SIZE_MAX) const;
    // Stages a signed pack of `revision` (version "N.0.0") and activates it as a launch would.
    bool activatePack(int revision);

    TempDir dir;
    ScopedEnv env;
    std::filesystem::path home = dir / "home";
    platform::PackageLayout package{dir / "Taviro.app" / "Contents"};
    std::filesystem::path record = dir / "service-starts.jsonl";
    // The supervisors' worker threads; the fixture owns them.
    std::shared_ptr<platform::ConcurrentQueue> background = std::make_shared<platform::ConcurrentQueue>();
    // Short waits so a failed cycle takes about two seconds instead of a minute; a loaded machine may take most
    // of a start attempt's second to start Python.
    ServiceTiming timing{
        .healthRequestTimeout = 0.3, .healthCheckPause = 0.05, .startAttemptWait = 1.0, .finalWait = 0.2, .reconnectDelay = 0.3};
    std::shared_ptr<RecordingWebView> webView = std::make_shared<RecordingWebView>();
    // How long each start's look-up of the machine identifier takes.
    std::atomic<double> identityDelaySeconds{0};
    SigningKey key;

private:
    std::unique_ptr<FeaturePackUpdater> packs_;
};

}  // namespace taviro::test
