// The remote feature-pack check: which offers are taken, and the road from an offer to a pending
// pack against a real server on 127.0.0.1.
#include <gtest/gtest.h>

#include <mutex>

#include "featurepack/FeaturePackUpdater.h"
#include "featurepack/RemotePackCheck.h"
#include "platform/ReleasePlatform.h"
#include "tests/support/PackBuilder.h"
#include "tests/support/UpdateServer.h"

using namespace taviro;
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const std::string kDigest(64, 'a');

json offer(json pack) { return {{"update_available", true}, {"pack", pack}}; }

json pack(std::int64_t revision, std::string url = "https://api.example/downloads/feature-packs/ui-rules/p.zip") {
    return {{"version", "2.0.0"}, {"revision", revision}, {"download_url", url}, {"archive_sha256", kDigest},
            {"size_bytes", 100}};
}

json with(json p, const char* key, json value) {
    p[key] = value;
    return p;
}

}  // namespace

TEST(RemotePackCheck, OnlyAnOfferPassingEveryRuleIsTaken) {
    const PackOfferContext stored{"https://api.example", 3, 5, {7}, FeaturePackUpdater::maxArchiveBytes};
    const PackOfferContext empty{"https://api.example", 0, std::nullopt, {}, FeaturePackUpdater::maxArchiveBytes};
    const std::tuple<json, const PackOfferContext*, bool> cases[] = {
        {json{{"update_available", true}}, &stored, false},
        {offer(pack(4)), &stored, true},
        {offer(pack(4, "http://api.example/downloads/feature-packs/ui-rules/p.zip")), &stored, false},
        {offer(pack(4, "https://other.example/downloads/feature-packs/ui-rules/p.zip")), &stored, false},
        {offer(pack(4, "https://api.example:8443/downloads/feature-packs/ui-rules/p.zip")), &stored, false},
        {offer(pack(4, "https://api.example:443/downloads/feature-packs/ui-rules/p.zip")), &stored, true},
        {offer(pack(4, "https://api.example/downloads/feature-packs/other/p.zip")), &stored, false},
        {offer(with(pack(4), "archive_sha256", std::string(64, 'A'))), &stored, false},
        {offer(with(pack(4), "size_bytes", 0)), &stored, false},
        {offer(with(pack(4), "size_bytes", 10485761)), &stored, false},
        {offer(with(pack(4), "size_bytes", "100")), &stored, false},
        {offer(with(pack(4), "size_bytes", 10485760)), &stored, true},
        {offer(with(pack(4), "revision", 4.0)), &stored, false},
        {offer(pack(3)), &stored, false},  // the active one
        {offer(pack(5)), &stored, false},  // the pending one
        {offer(pack(7)), &stored, false},  // quarantined
        {offer(pack(0)), &empty, false},
        {offer(pack(1)), &empty, true},
    };
    for (const auto& [answer, context, taken] : cases) {
        auto result = readPackCheck(platform::HttpResponse{200, answer.dump()}, *context);
        ASSERT_TRUE(result) << answer.dump();
        EXPECT_EQ(result->has_value(), taken) << answer.dump();
    }
    EXPECT_FALSE(readPackCheck(std::unexpected(Error{"CURL", 7, "refused"}), stored));
    EXPECT_EQ(packCheckURL("https://api.example", "beta", "1.0 +1", 0),
              std::string("https://api.example/api/feature-packs/check?component=ui-rules&platform=") +
                  platform::kReleasePlatform + "&channel=beta&app_version=1.0%20%2B1&engine_api=1&current_revision=0");
}

TEST(RemotePackCheck, AnOfferBecomesThePendingPackOrLeavesNothingBehind) {
    test::UpdateServer server;
    test::SigningKey key;
    test::TempDir dir;
    test::writePack(dir / "pack", {.revision = 2, .version = "2.0.0"}, key);
    const fs::path served = server.root / "downloads/feature-packs/ui-rules/p2.zip";
    fs::create_directories(served.parent_path());
    test::zipFolder(dir / "pack", served);
    const auto bytes = static_cast<std::int64_t>(fs::file_size(served));
    const auto digest = platform::sha256HexOfFile(served).value();
    const std::string started = "feature pack download started revision=2 bytes=";
    struct Case { std::int64_t offered; std::string digest; bool shortBody; bool busyOnAnswer; std::vector<std::string> lines; };
    const Case cases[] = {
        {bytes, digest, false, false,
         {started + std::to_string(bytes), "feature pack staged revision=2; activation deferred until next launch"}},
        {bytes + 1, digest, false, false,
         {started + std::to_string(bytes + 1), "feature pack staging failed revision=2: 功能包压缩文件大小不符"}},
        {bytes, std::string(64, '0'), false, false,
         {started + std::to_string(bytes), "feature pack staging failed revision=2: 功能包压缩文件哈希不符"}},
        {bytes - 1, digest, false, false, {started + std::to_string(bytes - 1), "feature pack download failed: "}},
        {bytes, digest, true, false, {started + std::to_string(bytes), "feature pack download failed: "}},
        {bytes, digest, false, true, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines.empty() ? "busy" : c.lines.back());
        test::TempDir store;
        test::ScopedEnv env{{{"VORDA_FEATURE_PACK_TEST_ROOT", store / "root"},
                             {"VORDA_FEATURE_PUBLIC_KEY", key.writePublicKeyFile(store / "key.json")}}};
        fs::remove(served.string() + ".length");
        if (c.shortBody) test::writeFile(served.string() + ".length", std::to_string(bytes + 100));
        test::writeFile(server.root / "pack-answer.json",
                        offer({{"version", "2.0.0"}, {"revision", 2}, {"archive_sha256", c.digest}, {"size_bytes", c.offered},
                               {"download_url", server.origin + "/downloads/feature-packs/ui-rules/p2.zip"}}).dump());
        std::mutex mutex;
        std::vector<std::string> lines;
        FeaturePackUpdater updater("1.0.73", [&](const std::string& line) {
            std::lock_guard lock(mutex);
            lines.push_back(line);
        });
        updater.connectRemote(platform::curlHttpClient(), server.origin);
        int asked = 0;
        // A self-update that starts while the check is out: its answer is dropped.
        updater.checkForUpdatesInBackground([&] { return c.busyOnAnswer && ++asked > 1; });
        updater.waitUntilBackgroundWorkDone();
        ASSERT_EQ(lines.size(), c.lines.size());
        for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_TRUE(lines[i].starts_with(c.lines[i])) << lines[i];
        EXPECT_EQ(updater.snapshot().pending.has_value(), !c.lines.empty() && c.lines.back().starts_with("feature pack staged"));
        EXPECT_TRUE(!fs::exists(store / "root/staging") || fs::is_empty(store / "root/staging"));
    }
    EXPECT_EQ(server.requestsFor("/downloads/"), 5);

    // Nobody answers the check.
    test::TempDir store;
    test::ScopedEnv env("VORDA_FEATURE_PACK_TEST_ROOT", (store / "root").string());
    std::vector<std::string> lines;
    FeaturePackUpdater updater("1.0.73", [&](const std::string& line) { lines.push_back(line); });
    updater.connectRemote(platform::curlHttpClient(), "http://127.0.0.1:1");
    updater.checkForUpdatesInBackground([] { return false; });
    updater.waitUntilBackgroundWorkDone();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with("feature pack check failed: ")) << lines[0];
}
