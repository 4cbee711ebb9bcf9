// Runs one automatic self-update against ORIGIN and times its preparation (download, digest
// check, unpack) from "downloading" to "ready", together with the longest stall of the GLib
// main loop meanwhile: the work belongs on background threads, and the window must keep
// answering while it runs.
//
// Usage: taviro_update_preparation_bench ORIGIN WORKDIR
// Prints one JSON line: {"state": ..., "prepare_seconds": ..., "longest_stall_ms": ...}; exits
// non-zero unless the update ended ready.
#include <glib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>

#include "platform/Executor.h"
#include "platform/HttpClient.h"
#include "platform/MainQueue.h"
#include "platform/Process.h"
#include "platform/WebView.h"
#include "selfupdate/SelfUpdater.h"

using namespace taviro;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr guint kTickMilliseconds = 1;
// A preparation that has not ended by then has hung; the figures would mean nothing.
constexpr auto kGiveUpAfter = std::chrono::minutes(10);

// The flow reports every step to a page; nobody reads them here.
class SilentWebView final : public platform::WebView {
public:
    void loadHTMLString(const std::string&) override {}
    void loadRequest(const std::string&, double) override {}
    std::optional<std::string> currentURL() const override { return std::nullopt; }
    void evaluateJavaScript(const std::string&) override {}
};

struct Measurement {
    std::shared_ptr<SelfUpdater> updater;
    GMainLoop* loop = nullptr;
    Clock::time_point started = Clock::now(), lastTick = started;
    std::optional<Clock::time_point> downloading, ready;
    double longestStallMilliseconds = 0;
};

bool hasEnded(UpdateFlowState state) {
    return state == UpdateFlowState::ready || (state != UpdateFlowState::idle && !isCoreUpdateInProgress(state));
}

// Every tick: how late it came, and where the flow stands.
gboolean tick(gpointer data) {
    auto& m = *static_cast<Measurement*>(data);
    const auto now = Clock::now();
    const double gap = std::chrono::duration<double, std::milli>(now - m.lastTick).count();
    m.longestStallMilliseconds = std::max(m.longestStallMilliseconds, gap - kTickMilliseconds);
    m.lastTick = now;
    const auto state = m.updater->updateState();
    // The later steps follow within a tick only for tiny packages; any of them means the download began.
    if (!m.downloading && state >= UpdateFlowState::downloading && state <= UpdateFlowState::ready) m.downloading = now;
    if (state == UpdateFlowState::ready) m.ready = now;
    if (hasEnded(state) || now - m.started > kGiveUpAfter) {
        g_main_loop_quit(m.loop);
        return G_SOURCE_REMOVE;
    }
    return G_SOURCE_CONTINUE;
}

double rounded(double value, double scale) { return std::round(value * scale) / scale; }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: taviro_update_preparation_bench ORIGIN WORKDIR\n";
        return 2;
    }
    const std::string origin = argv[1];
    const fs::path work = fs::absolute(argv[2]);
    // Only the version and a writable parent folder matter to the flow before the swap.
    const fs::path package = work / "Applications/Taviro.app";
    fs::create_directories(package / "Contents/MacOS");
    std::ofstream(package / "Contents/Info.plist")
        << "<plist><dict><key>CFBundleShortVersionString</key><string>1.0.0</string></dict></plist>\n";

    auto background = std::make_shared<platform::ConcurrentQueue>();
    SelfUpdater::Machine machine{platform::glibMainQueue(), background, platform::curlHttpClient(),
                                 [](const std::string& tool, const std::vector<std::string>& arguments) {
                                     return platform::runAndWait(tool, arguments).value_or(1);
                                 },
                                 package, "1.0.0", origin, work / "updates", [] { return 0; }, {}, {}, {}, {}};
    Measurement m;
    m.updater = SelfUpdater::create(std::move(machine));
    m.updater->attach(std::make_shared<SilentWebView>(), [] {});
    m.loop = g_main_loop_new(nullptr, FALSE);

    m.updater->startUpdateFlow(UpdateSource::automatic);
    m.started = m.lastTick = Clock::now();
    g_timeout_add(kTickMilliseconds, tick, &m);
    g_main_loop_run(m.loop);
    g_main_loop_unref(m.loop);

    const auto state = m.updater->updateState();
    nlohmann::ordered_json result = {{"state", std::string(rawValue(state))}, {"prepare_seconds", nullptr},
                                     {"longest_stall_ms", rounded(m.longestStallMilliseconds, 100)}};
    if (m.downloading && m.ready) {
        result["prepare_seconds"] = rounded(std::chrono::duration<double>(*m.ready - *m.downloading).count(), 1000);
    }
    std::cout << result.dump() << std::endl;
    return state == UpdateFlowState::ready ? 0 : 1;
}
