// The self-update against a real update server on 127.0.0.1: the flow's states and reports, the
// preparation on disk, the restore at launch, the install gate and the swap at quit.
#include <gtest/gtest.h>

#include <thread>

#include "platform/ChildProcess.h"
#include "platform/Crypto.h"
#include "platform/Process.h"
#include "selfupdate/SelfUpdater.h"
#include "tests/support/ShellHarness.h"
#include "tests/support/UpdateServer.h"

using namespace taviro;
namespace fs = std::filesystem;
using Reports = std::vector<std::string>;
using test::UpdateServer;

namespace {

const std::string kDownloading = SelfUpdater::updateDownloadingMessage, kReady = SelfUpdater::updateReadyMessage;


// A small application package: its plist is all the update server needs to make a release of it.
void writePackage(const fs::path& app, const std::string& version) {
    test::writeFile(app / "Contents/Info.plist", "<plist><dict><key>CFBundleShortVersionString</key><string>" + version +
                                                     "</string></dict></plist>\n");
}

// One application: its package, update root and page, with the update server as its origin.
struct Flow {
    explicit Flow(const UpdateServer& server, std::optional<fs::path> package = std::nullopt)
        : servicePortFile(server.root / "port") {
        writePackage(dir / "Applications/Taviro.app", "1.0.9");
        SelfUpdater::Machine machine{platform::glibMainQueue(), std::make_shared<platform::ConcurrentQueue>(),
                                     platform::curlHttpClient(),
                                     [](const std::string& tool, const std::vector<std::string>& arguments) {
                                         return platform::runAndWait(tool, arguments).value_or(1);
                                     },
                                     package.value_or(dir / "Applications/Taviro.app"), "1.0.9", server.origin,
                                     dir / "updates", [this] { return std::stoi(test::readFile(servicePortFile)); }};
        updater = SelfUpdater::create(std::move(machine));
        updater->attach(view, [this] { ++quits; });
    }

    // Every report the page has had, as "state message [version] [download_url]".
    Reports reports() const {
        Reports reports;
        const std::string prefix = "window.__receiveUpdateStatus && window.__receiveUpdateStatus(";
        for (const auto& script : view->scripts) {
            auto report = nlohmann::json::parse(script.substr(prefix.size(), script.size() - prefix.size() - 2));
            std::string line = report["state"].get<std::string>() + " " + report["message"].get<std::string>();
            for (const char* key : {"version", "download_url"}) {
                if (report.contains(key)) line += " " + report[key].get<std::string>();
            }
            reports.push_back(line);
        }
        return reports;
    }
    // Runs the loop until the flow is ready or rests in a state that waits for the next start.
    void settle() {
        test::runMainLoopUntil([&] {
            auto state = updater->updateState();
            return state == UpdateFlowState::ready || (state != UpdateFlowState::idle && !isCoreUpdateInProgress(state));
        }, 20);
        test::runMainLoopFor(0.05);
    }

    // The local service's install-safety answers come from a test server too.
    fs::path servicePortFile;
    test::TempDir dir;
    std::shared_ptr<test::RecordingWebView> view = std::make_shared<test::RecordingWebView>();
    std::shared_ptr<SelfUpdater> updater;
    int quits = 0;
};

// Writes a zip whose only entry claims to unpack to more than it holds.
void writeLyingZip(const fs::path& zip) {
    auto made = test::runCaptured({"python3", "-c", R"(
import struct, sys, zipfile
path = sys.argv[1]
with zipfile.ZipFile(path, "w") as z:
    z.writestr("Taviro.app/a", b"x")
    z.writestr("Taviro.app/b", b"x")
data = bytearray(open(path, "rb").read())
for signature, offset in ((b"PK\x03\x04", 22), (b"PK\x01\x02", 24)):
    at = data.find(signature)
    while at >= 0:
        struct.pack_into("<I", data, at + offset, 0xF0000000)
        at = data.find(signature, at + 4)
open(path, "wb").write(data)
)", zip});
    EXPECT_EQ(made.status, 0) << made.err;
}

}  // namespace

TEST(SelfUpdater, EveryFailedCheckOrPreparationEndsReportedWithNoVersionFolderLeft) {
    UpdateServer server;
    const std::string failed = "failed 更新失败，请重新点击或重新官网下载";
    const std::string checking = "checking 检查中...", downloading = "downloading " + kDownloading + " 2.0.0";
    const std::string verifying = "verifying 正在校验更新包... 2.0.0", preparing = "preparing 正在准备安装... 2.0.0";
    test::TempDir packages;
    writePackage(packages / "Taviro.app", "1.0.9");
    const auto digest = server.publish(packages / "Taviro.app", "2.0.0");
    test::writeFile(packages / "not-an-app/readme", "no application here");
    test::runCaptured({"bsdtar", "--format", "zip", "-cf", server.root / "downloads/empty.zip", "-C", packages.path(), "not-an-app"});
    writeLyingZip(server.root / "downloads/lying.zip");
    const auto lying = platform::sha256HexOfFile(server.root / "downloads/lying.zip").value();
    test::writeFile(server.root / "downloads/huge.zip", "x");
    test::writeFile(server.root / "downloads/huge.zip.length", std::to_string((2ULL << 30) + 1));
    const std::string url = server.origin + "/downloads/r.zip";
    auto release = [&](const std::string& file, const std::optional<std::string>& signature) {
        nlohmann::json r = {{"version", "2.0.0"}, {"download_url", server.origin + "/downloads/" + file}};
        if (signature) r["signature"] = *signature;
        return nlohmann::json{{"update_available", true}, {"release", r}};
    };
    std::string upper = digest;
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

    struct Case { std::optional<nlohmann::json> answer; UpdateSource source; UpdateFlowState state; Reports reports; bool kept = false; bool replaceable = true; };
    const auto manual = UpdateSource::manual, automatic = UpdateSource::automatic;
    const Case cases[] = {
        {std::nullopt, manual, UpdateFlowState::failed, {checking, failed}},  // the server answers 404
        {std::nullopt, automatic, UpdateFlowState::failed, {}},
        {nlohmann::json{{"update_available", true}}, manual, UpdateFlowState::noUpdate, {checking, "no_update 当前已是最新版"}},
        {release("r.zip", (digest[0] == '0' ? "1" : "0") + digest.substr(1)), automatic, UpdateFlowState::failed, {downloading, verifying, failed}},
        {release("r.zip", digest + " "), automatic, UpdateFlowState::failed, {downloading, verifying, failed}},
        {release("r.zip", upper), automatic, UpdateFlowState::ready, {downloading, verifying, preparing, "ready " + kReady + " 2.0.0"}, true},
        // Plain http and no digest: nobody could tell this package from a swapped one.
        {release("r.zip", "  "), automatic, UpdateFlowState::failed, {failed}},
        {release("missing.zip", digest), automatic, UpdateFlowState::failed, {downloading, failed}},
        {release("huge.zip", digest), automatic, UpdateFlowState::failed, {downloading, failed}},  // announced beyond 2 GiB
        {release("empty.zip", platform::sha256HexOfFile(server.root / "downloads/empty.zip").value()), automatic,
         UpdateFlowState::failed, {downloading, verifying, preparing, failed}},
        {release("lying.zip", lying), automatic, UpdateFlowState::failed, {downloading, verifying, preparing, failed}},
        {release("r.zip", digest), automatic, UpdateFlowState::fallback,
         {"fallback 当前安装位置无法自动替换，请重新官网下载新版覆盖安装 2.0.0 " + url}, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer ? c.answer->dump() : "no answer");
        fs::remove(server.root / "answer.json");
        if (c.answer) test::writeFile(server.root / "answer.json", c.answer->dump());
        Flow flow(server, c.replaceable ? std::nullopt : std::optional<fs::path>("/nonexistent/Taviro.app"));
        fs::create_directories(flow.dir / "updates/2.0.0/staged");  // an earlier, unfinished run of this version
        flow.updater->startUpdateFlow(c.source);
        flow.settle();
        EXPECT_EQ(flow.updater->updateState(), c.state);
        EXPECT_EQ(flow.reports(), c.reports);
        EXPECT_FALSE(flow.updater->updateShouldRestartWhenReady());
        if (c.reports.empty()) continue;
        EXPECT_EQ(fs::exists(flow.dir / "updates/2.0.0/staged/Taviro.app"), c.kept);
        if (c.reports.front() == downloading) {
            EXPECT_EQ(fs::exists(flow.dir / "updates/2.0.0"), c.kept);
        }
    }

}

// Over TLS a blank signature skips the digest check. A click installs a prepared update only on
// the local service's word; its silence, or prepared files that went away, do not.
TEST(SelfUpdater, ClicksOverTlsPrepareOnceAndInstallOnlyOnTheServicesWord) {
    UpdateServer server(/*tls=*/true), service;
    test::ScopedEnv trust({{"CURL_CA_BUNDLE", std::nullopt}, {"SSL_CERT_FILE", (server.root / "cert.pem").string()}});
    Flow flow(server);
    flow.servicePortFile = service.root / "port";
    server.publish(flow.dir / "Applications/Taviro.app", "1.0.10");
    server.offer({{"version", "1.0.10"}, {"download_url", server.origin + "/downloads/r.zip"}, {"signature", " \n"}});
    const std::string unconfirmed = "blocked 更新前未能确认任务状态，请稍后重试 1.0.10";
    const Reports prepared{"checking 检查中...", "downloading " + kDownloading + " 1.0.10", "verifying 正在校验更新包... 1.0.10",
                           "preparing 正在准备安装... 1.0.10", "ready " + kReady + " 1.0.10", unconfirmed};
    auto click = [&](std::size_t reports) {
        flow.updater->startUpdateFlow(UpdateSource::manual);
        test::runMainLoopUntil([&] { return flow.view->scripts.size() >= reports; }, 20);
        Reports heard = flow.reports();
        flow.view->scripts.clear();
        return heard;
    };

    // Two quick clicks: one check, and each hears "checking"; the service has no answer yet.
    flow.updater->startUpdateFlow(UpdateSource::manual);
    Reports twice = click(7);
    EXPECT_EQ(server.requestsFor("/api/updates/check?current=1.0.9&channel=stable&platform=linux-"), 1);
    Reports both = prepared;
    both.insert(both.begin(), prepared.front());
    EXPECT_EQ(twice, both);
    // The record it wrote is what the next launch reads back.
    EXPECT_EQ(findPreparedUpdate(flow.dir / "updates", "1.0.9").value().newApp, flow.dir / "updates/1.0.10/staged/Taviro.app");
    // The prepared files are gone: a click looks for a release again.
    fs::remove_all(flow.dir / "updates/1.0.10/staged");
    EXPECT_EQ(click(6), prepared);

    const std::pair<std::string, std::string> answers[] = {
        {R"([true])", unconfirmed},
        {R"({"safe_to_install":false,"message":"任务 7 正在导出"})", "blocked 任务 7 正在导出 1.0.10"},
        {R"({"safe_to_install":"true"})", "blocked 有任务正在运行，完成后再安装更新 1.0.10"},
        {R"({"safe_to_install":true,"message":"ignored"})", "restarting 即将重启完成更新 1.0.10"},
    };
    for (const auto& [answer, report] : answers) {
        test::writeFile(service.root / "install-safety.json", answer);
        EXPECT_EQ(click(1), Reports{report});
    }
    EXPECT_TRUE(test::runMainLoopUntil([&] { return flow.quits == 1; }, 5));
    // Where the package cannot be replaced, a click offers the full package for download instead.
    fs::remove_all(flow.dir / "Applications/Taviro.app");
    EXPECT_TRUE(click(1).at(0).starts_with("fallback 当前安装位置无法自动替换，请重新官网下载新版覆盖安装 1.0.10 " +
                                           server.origin + "/downloads/vorda-kinoloom-linux-"));
}

// Folders by name, each with the version its record names ("" for a record cut short) and what it
// lacks: "x" an executable script, "a" the new package, "l" the log in its record.
TEST(SelfUpdater, TheLaunchRestoresTheFirstCompleteNewerRecordInPlainTextOrder) {
    UpdateServer server;
    using Folder = std::tuple<const char*, const char*, std::string>;
    const std::pair<std::vector<Folder>, std::string> cases[] = {
        {{{"2.0.37", "2.0.37", ""}, {"2.0.9", "2.0.9", ""}}, "2.0.9"},
        {{{"2.0.0", "2.0.0", "x"}, {"1.0.37", "1.0.37", ""}}, "1.0.37"},
        {{{"2.0.0", "2.0.0", "a"}, {"1.1", "1.1", ""}}, "1.1"},
        {{{"3", "3", "l"}, {"1.0.10", "", ""}, {"1.0.9", "1.0.9", ""}}, "-"},
        {{{"x", "1.0.9.1", ""}, {"a", "1.0.09", ""}}, "1.0.9.1"},
    };
    for (const auto& [folders, restored] : cases) {
        Flow flow(server);
        for (const auto& [name, version, lacks] : folders) {
            const fs::path folder = flow.dir / "updates" / name;
            nlohmann::json record = {{"version", version}, {"script", (folder / "apply_update.sh").string()},
                                     {"new_app", (folder / "staged/Taviro.app").string()}};
            if (!lacks.contains('l')) record["log"] = (folder / "update.log").string();
            test::writeFile(folder / "manifest.json", *version ? record.dump() : "{\"version\":");
            test::writeFile(folder / "apply_update.sh", "#!/bin/bash\n");
            if (!lacks.contains('x')) fs::permissions(folder / "apply_update.sh", fs::perms::owner_exec, fs::perm_options::add);
            if (!lacks.contains('a')) fs::create_directories(folder / "staged/Taviro.app");
        }
        flow.updater->restorePreparedUpdateIfAvailable();
        EXPECT_EQ(flow.updater->pendingUpdateVersion().value_or("-"), restored);
        EXPECT_EQ(flow.updater->updateState(), restored == "-" ? UpdateFlowState::idle : UpdateFlowState::ready);
        EXPECT_TRUE(flow.view->scripts.empty());
    }
}
