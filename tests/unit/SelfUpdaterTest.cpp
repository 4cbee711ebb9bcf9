// The self-update against a real update server on 127.0.0.1: the flow's states and reports, the
// preparation on disk, the restore at launch and the install gate.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include "platform/Process.h"
#include "selfupdate/SelfUpdater.h"
#include "tests/support/PackBuilder.h"
#include "tests/support/ShellHarness.h"
#include "tests/support/UpdateServer.h"

using namespace taviro;
namespace fs = std::filesystem;
using Reports = std::vector<std::string>;
using test::UpdateServer;

namespace {

const std::string kDownloading = SelfUpdater::updateDownloadingMessage, kReady = SelfUpdater::updateReadyMessage;

// One application: its package at 1.0.9, update root and page, with the update server as its origin,
// and with `updateKey` the deployment's update key.
struct Flow {
    explicit Flow(const UpdateServer& server, const test::SigningKey* updateKey = nullptr) {
        // A plist and a program of this machine are all the update server needs to make a release.
        test::writeFile(package / "Contents/Info.plist",
                        "<plist><dict><key>CFBundleShortVersionString</key><string>1.0.9</string></dict></plist>\n");
        fs::create_directories(package / "Contents/MacOS");
        fs::copy_file("/bin/true", package / "Contents/MacOS/Taviro", fs::copy_options::overwrite_existing);
        SelfUpdater::Machine machine{
            platform::glibMainQueue(), std::make_shared<platform::ConcurrentQueue>(), platform::curlHttpClient(),
            [](const std::string& tool, const auto& arguments) { return platform::runAndWait(tool, arguments).value_or(1); },
            package, "1.0.9", server.origin, dir / "updates",
            [this] { return std::stoi(test::readFile(servicePortFile)); }, dir / "desktop.log",
            updateKey ? std::optional(updateKey->writePublicKeyFile(dir / "update-key.json", "update-ed25519-v1")) : std::nullopt, std::nullopt,
            [this](const std::string& line) { logged.push_back(line); }};
        updater = SelfUpdater::create(std::move(machine));
        updater->attach(view, [this] { ++quits; });
    }

    // The reports the page has had since the last call, as "state message [version] [download_url]".
    Reports takeReports() {
        Reports reports;
        const std::string prefix = "window.__receiveUpdateStatus && window.__receiveUpdateStatus(";
        for (const auto& script : std::exchange(view->scripts, {})) {
            auto r = nlohmann::json::parse(script.substr(prefix.size(), script.size() - prefix.size() - 2));
            std::string line = r.value("state", "") + " " + r.value("message", "") + " " + r.value("version", "") +
                               " " + r.value("download_url", "");
            reports.push_back(line.erase(line.find_last_not_of(' ') + 1));
        }
        return reports;
    }
    // The local service's install-safety answers come from a test server too.
    fs::path servicePortFile;
    test::TempDir dir;
    const fs::path package = dir / "Applications/Taviro.app";
    std::shared_ptr<test::RecordingWebView> view = std::make_shared<test::RecordingWebView>();
    std::shared_ptr<SelfUpdater> updater;
    int quits = 0;
    std::vector<std::string> logged;
};

// A zip of Taviro.app whose headers claim 3.75 GiB for each of its two one-byte entries.
void writeLyingZip(const fs::path& zip) {
    std::string data = test::readFile(test::writeZip(zip, {{"Taviro.app/a", "x"}, {"Taviro.app/b", "x"}}));
    // The uncompressed size in each local and each central header.
    for (auto [signature, offset] : {std::pair{"PK\3\4", 22}, std::pair{"PK\1\2", 24}}) {
        for (auto at = data.find(signature); at != std::string::npos; at = data.find(signature, at + 4)) {
            data.replace(at + offset, 4, "\0\0\0\xF0", 4);
        }
    }
    test::writeFile(zip, data);
}

}  // namespace

TEST(SelfUpdater, EveryFailedCheckOrPreparationEndsReportedWithNoVersionFolderLeft) {
    UpdateServer server;
    const std::string failed = "failed 更新失败，请重新点击或重新官网下载", checking = "checking 检查中...";
    const std::string downloading = "downloading " + kDownloading + " 2.0.0", verifying = "verifying 正在校验更新包... 2.0.0";
    const std::string preparing = "preparing 正在准备安装... 2.0.0";
    // Releases that could not run here, or would be swapped in again at every quit: a program of
    // another machine, a package of another version, and the offered one zipped without modes.
    const Flow running(server);
    std::string program = test::readFile(running.package / "Contents/MacOS/Taviro");
    test::writeFile(running.package / "Contents/MacOS/Taviro", std::string(program).replace(18, 1, "\x01"));  // e_machine
    server.publish(running.package, "2.0.0");
    fs::rename(server.root / "downloads/r.zip", server.root / "downloads/foreign.zip");
    test::writeFile(running.package / "Contents/MacOS/Taviro", program);
    server.publish(running.package, "1.9.9");
    fs::rename(server.root / "downloads/r.zip", server.root / "downloads/other-version.zip");
    const auto digest = server.publish(running.package, "2.0.0");  // the running package, as 2.0.0
    test::runCaptured({"/usr/bin/python3", "-c", "import sys, zipfile as z\nwith z.ZipFile(sys.argv[1]) as a, z.ZipFile(sys.argv[2], 'w') as b:\n"
                       "    [b.writestr(i.filename, a.read(i)) for i in a.infolist()]", server.root / "downloads/r.zip", server.root / "downloads/nomodes.zip"});
    test::writeZip(server.root / "downloads/empty.zip", {{"not-an-app/readme", "no application here"}});
    const test::SigningKey updateKey;
    const std::string archive = test::readFile(server.root / "downloads/r.zip"), signature = test::base64(updateKey.sign(archive)),
                      forged = test::base64(updateKey.sign(archive + "x"));
    writeLyingZip(server.root / "downloads/lying.zip");
    test::writeFile(server.root / "downloads/huge.zip", "x");
    test::writeFile(server.root / "downloads/huge.zip.length", std::to_string((2ULL << 30) + 1));
    auto sha = [&](const char* file) { return platform::sha256HexOfFile(server.root / "downloads" / file).value(); };
    std::string upper = digest;
    std::ranges::transform(upper, upper.begin(), ::toupper);

    // The file offered as release 2.0.0 and its signature (null: no answer, a 404; "": an answer
    // with no release), and what the page hears.
    using S = UpdateFlowState;
    // `keyed`: the package holds an update key, and the release carries `ed25519`.
    struct Case { const char* file; std::string signature; UpdateSource source; S state; Reports reports;
                  bool keyed = false; nlohmann::json ed25519 = nullptr; };
    const auto manual = UpdateSource::manual, automatic = UpdateSource::automatic;
    const Case cases[] = {
        {nullptr, "", manual, S::failed, {checking, failed}},
        {nullptr, "", automatic, S::failed, {}},
        {"", "", manual, S::noUpdate, {checking, "no_update 当前已是最新版"}},
        {"r.zip", (digest[0] == '0' ? "1" : "0") + digest.substr(1), automatic, S::failed, {downloading, verifying, failed}},
        {"r.zip", upper, automatic, S::ready, {downloading, verifying, preparing, "ready " + kReady + " 2.0.0"}},
        {"r.zip", digest + " ", automatic, S::failed, {downloading, verifying, failed}},  // only a blank digest is skipped
        // Plain http and no digest: nobody could tell this package from a swapped one.
        {"r.zip", "  ", automatic, S::failed, {failed}},
        {"huge.zip", digest, automatic, S::failed, {downloading, failed}},  // announced beyond 2 GiB
        {"empty.zip", sha("empty.zip"), automatic, S::failed, {downloading, verifying, preparing, failed}},
        {"lying.zip", sha("lying.zip"), automatic, S::failed, {downloading, verifying, preparing, failed}},
        {"nomodes.zip", sha("nomodes.zip"), automatic, S::failed, {downloading, verifying, preparing, failed}},
        {"foreign.zip", sha("foreign.zip"), automatic, S::failed, {downloading, verifying, preparing, failed}},
        {"other-version.zip", sha("other-version.zip"), automatic, S::failed, {downloading, verifying, preparing, failed}},
        // With an update key: the signature is the trust, over plain http too.
        {"r.zip", "", automatic, S::failed, {failed}, true},
        {"r.zip", "", automatic, S::failed, {downloading, verifying, failed}, true, forged},
        {"r.zip", "", automatic, S::ready, {downloading, verifying, preparing, "ready " + kReady + " 2.0.0"}, true, signature},
    };
    std::string why;  // every failure's desktop-log line
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file ? c.file : "no answer") + " " + c.signature);
        fs::remove(server.root / "answer.json");
        nlohmann::json offer{{"version", "2.0.0"}, {"signature", c.signature}, {"ed25519_signature", c.ed25519},
                             {"download_url", server.origin + "/downloads/" + (c.file ? c.file : "")}};
        if (c.file) server.offer(*c.file ? offer : nullptr);
        const bool ready = c.state == S::ready;
        Flow flow(server, c.keyed ? &updateKey : nullptr);
        fs::create_directories(flow.dir / "updates/2.0.0/staged");  // an earlier, unfinished run of this version
        flow.updater->startUpdateFlow(c.source);
        // Until the flow is ready or rests in a state that waits for the next start.
        test::runMainLoopUntil([&] {
            auto state = flow.updater->updateState();
            return state == S::ready || (state != S::idle && !isCoreUpdateInProgress(state));
        }, 20);
        test::runMainLoopFor(0.05);
        EXPECT_EQ(flow.updater->updateState(), c.state);
        EXPECT_EQ(flow.takeReports(), c.reports);
        EXPECT_FALSE(flow.updater->updateShouldRestartWhenReady());
        EXPECT_EQ(flow.logged.size(), c.state == S::failed ? 1u : 0u);
        for (const auto& line : flow.logged) why += line + "\n";
        if (!c.reports.empty() && c.reports.front() == downloading) {
            EXPECT_EQ(fs::exists(flow.dir / (ready ? "updates/2.0.0/staged/Taviro.app" : "updates/2.0.0")), ready);
        }
    }

    for (const char* reason : {"check failed: the update server answered 404", "2.0.0: the package does not match its digest",
                               "needs the release's sha256", "the release is not signed", "signature is not valid"})
        EXPECT_TRUE(why.contains(reason)) << reason << " in\n" << why;

    // A disk with less room than the reserve takes no download at all (as root: a small tmpfs).
    if (::geteuid() != 0) return;
    server.offer({{"version", "2.0.0"}, {"signature", digest}, {"download_url", server.origin + "/downloads/r.zip"}});
    Flow flow(server);
    const fs::path updates = flow.dir / "updates";
    fs::create_directories(updates);
    ASSERT_EQ(::mount("tmpfs", updates.c_str(), "tmpfs", 0, "size=60m"), 0);
    flow.updater->startUpdateFlow(UpdateSource::automatic);
    test::runMainLoopUntil([&] { return flow.updater->updateState() == S::failed; }, 20);
    test::runMainLoopFor(0.05);
    EXPECT_EQ(flow.takeReports(), (Reports{downloading, failed}));
    EXPECT_TRUE(fs::is_empty(updates));
    ::umount2(updates.c_str(), MNT_DETACH);
}

// Over TLS a blank signature skips the digest check. A click installs a prepared update only on
// the local service's word; its silence, or prepared files that went away, do not.
TEST(SelfUpdater, ClicksOverTlsPrepareOnceAndInstallOnlyOnTheServicesWord) {
    UpdateServer server(/*tls=*/true), service;
    test::ScopedEnv trust({{"CURL_CA_BUNDLE", std::nullopt}, {"SSL_CERT_FILE", (server.root / "cert.pem").string()}});
    Flow flow(server);
    flow.servicePortFile = service.root / "port";
    server.publish(flow.package, "1.0.10");
    server.offer({{"version", "1.0.10"}, {"download_url", server.origin + "/downloads/r.zip"}, {"signature", " \n"}});
    const std::string unconfirmed = "blocked 更新前未能确认任务状态，请稍后重试 1.0.10";
    const Reports prepared{"checking 检查中...", "downloading " + kDownloading + " 1.0.10", "verifying 正在校验更新包... 1.0.10",
                           "preparing 正在准备安装... 1.0.10", "ready " + kReady + " 1.0.10", unconfirmed};
    auto click = [&](std::size_t reports) {
        flow.updater->startUpdateFlow(UpdateSource::manual);
        test::runMainLoopUntil([&] { return flow.view->scripts.size() >= reports; }, 20);
        return flow.takeReports();
    };

    // A click while the launch's own check is out starts no second one and hears "checking"; the
    // service has no answer yet.
    flow.updater->startUpdateFlow(UpdateSource::automatic);
    EXPECT_EQ(click(6), prepared);
    EXPECT_EQ(server.requestsFor("/api/updates/check?current=1.0.9&channel=stable&platform=linux-"), 1);
    // The record it wrote is what the next launch reads back.
    EXPECT_EQ(findPreparedUpdate(flow.dir / "updates", "1.0.9", flow.package)->newApp, flow.dir / "updates/1.0.10/staged/Taviro.app");
    // The prepared files are gone: a click looks for a release again.
    fs::remove_all(flow.dir / "updates/1.0.10/staged");
    EXPECT_EQ(click(6), prepared);

    // Only a JSON true lets the install go on (a refusal's own message reaching the page is in the
    // windowed end-to-end update test).
    test::writeFile(service.root / "install-safety.json", R"({"safe_to_install":"true"})");
    EXPECT_EQ(click(1), Reports{"blocked 有任务正在运行，完成后再安装更新 1.0.10"});
    test::writeFile(service.root / "install-safety.json", R"({"safe_to_install":true,"message":"ignored"})");
    EXPECT_EQ(click(1), Reports{"restarting 即将重启完成更新 1.0.10"});
    EXPECT_TRUE(test::runMainLoopUntil([&] { return flow.quits == 1; }, 5));
    // Where the package cannot be replaced, a click offers the full package for download instead.
    fs::remove_all(flow.package);
    EXPECT_TRUE(click(1).at(0).starts_with("fallback 当前安装位置无法自动替换，请重新官网下载新版覆盖安装 1.0.10 " +
                                           server.origin + "/downloads/vorda-kinoloom-linux-"));
}

// Folders by name, in the order they are read, each with the version its record names ("" for a
// record cut short) and what it lacks: "x" an executable script, "a" the new package, "l" the log
// in its record, "p" this package in its record ("n": it names none), "r" not refused. All before
// "2.0.9" are skipped: "7" is not newer than the running 1.0.9, "2.1" is another installation's.
// "2.0.9" is read before "2.0.37"; its record's version counts, and 1.0.10 is newer than 1.0.9.
// "7" (installed) and "2.0.99" (nobody's) are retired, their logs kept.
TEST(SelfUpdater, TheLaunchRestoresTheFirstCompleteNewerRecordOfItsPackageInPlainTextOrder) {
    UpdateServer server;
    Flow flow(server);
    const std::tuple<const char*, const char*, std::string> folders[] = {
        {"7", "1.0.9", ""}, {"6", "", ""}, {"5", "5", "x"}, {"4", "4", "a"}, {"3", "3", "l"}, {"2.1", "2.1", "p"},
        {"2.0.99", "2.0.99", "pn"}, {"2.0.95", "2.0.95", "r"}, {"2.0.9", "1.0.10", ""}, {"2.0.37", "2.0.37", ""}};
    for (const auto& [name, version, lacks] : folders) {
        const fs::path folder = flow.dir / "updates" / name;
        nlohmann::json record = {{"version", version}, {"script", (folder / "apply_update.sh").string()},
                                 {"new_app", (folder / "staged/Taviro.app").string()}};
        if (!lacks.contains('l')) record["log"] = (folder / "update.log").string();
        if (!lacks.contains('n')) record["app_path"] = lacks.contains('p') ? "/elsewhere/Taviro.app" : flow.package.string();
        test::writeFile(folder / "manifest.json", *version ? record.dump() : "{\"version\":");
        test::writeFile(folder / "apply_update.sh", "#!/bin/bash\n");
        test::writeFile(folder / "update.log", "");
        if (lacks.contains('r')) test::writeFile(folder / "refused", "");
        if (!lacks.contains('x')) fs::permissions(folder / "apply_update.sh", fs::perms::owner_exec, fs::perm_options::add);
        if (!lacks.contains('a')) fs::create_directories(folder / "staged/Taviro.app");
    }
    flow.updater->restorePreparedUpdateIfAvailable();
    EXPECT_EQ(flow.updater->pendingUpdateVersion(), "1.0.10");
    EXPECT_EQ(flow.updater->updateState(), UpdateFlowState::ready);
    EXPECT_TRUE(flow.view->scripts.empty());
    for (const auto& [name, version, lacks] : folders) {
        const fs::path folder = flow.dir / "updates" / name;
        EXPECT_EQ(std::pair(fs::exists(folder / "manifest.json") || fs::exists(folder / "staged"), fs::exists(folder / "update.log")),
                  std::pair(name != std::string("7") && name != std::string("2.0.99"), true)) << name;
    }
}
