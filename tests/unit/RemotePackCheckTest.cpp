// The remote feature-pack check: which offers are taken, and the road from an offer to a pending
// pack against a real server on 127.0.0.1.
#include <gtest/gtest.h>

#include "featurepack/FeaturePackUpdater.h"
#include "featurepack/RemotePackCheck.h"
#include "platform/ReleasePlatform.h"
#include "tests/support/PackBuilder.h"
#include "tests/support/UpdateServer.h"

using namespace taviro;
namespace fs = std::filesystem;
using nlohmann::json;

TEST(RemotePackCheck, OnlyAnOfferPassingEveryRuleIsTaken) {
    // Revision 3 is active, 5 pending and 7 quarantined.
    const PackOfferContext stored{"https://api.example", 3, 5, {7}, FeaturePackUpdater::maxArchiveBytes};
    const std::string path = "/downloads/feature-packs/ui-rules/p.zip";
    // A change to an offer of revision 4, and whether the changed offer is taken.
    const std::pair<json, bool> cases[] = {
        {{{"download_url", "https://api.example:443" + path}}, true},
        {{{"download_url", "http://api.example" + path}}, false},
        {{{"download_url", "https://other.example" + path}}, false},
        {{{"download_url", "https://api.example:8443" + path}}, false},
        {{{"download_url", "https://api.example/downloads/feature-packs/other/p.zip"}}, false},
        {{{"download_url", "https://api.example" + path + "/../../../x.zip"}}, false},  // resolved out of the folder
        {{{"download_url", "https://api.example" + path + "/%2E%2e/x.zip"}}, false},
        {{{"archive_sha256", std::string(64, 'A')}}, false},
        {{{"size_bytes", 0}}, false},
        {{{"size_bytes", 10485761}}, false},
        {{{"size_bytes", 10485760}}, true},
        {{{"size_bytes", "100"}}, false},
        {{{"revision", 4.0}}, true},  // an integer, as in every other answer
        {{{"revision", 3}}, false},
        {{{"revision", 5}}, false},
        {{{"revision", 7}}, false},
    };
    auto read = [&](const json& change, const PackOfferContext& context) {
        json pack = {{"version", "2.0.0"}, {"revision", 4}, {"download_url", "https://api.example" + path},
                     {"archive_sha256", std::string(64, 'a')}, {"size_bytes", 100}};
        pack.merge_patch(change);
        return readPackCheck(platform::HttpResponse{200, json{{"update_available", true}, {"pack", pack}}.dump()}, context);
    };
    for (const auto& [change, taken] : cases) {
        auto result = read(change, stored);
        ASSERT_TRUE(result) << change.dump();
        EXPECT_EQ(result->has_value(), taken) << change.dump();
    }
    // Revision 0 with no pack active, and an answer without a pack.
    EXPECT_FALSE(read({{"revision", 0}}, {"https://api.example", 0, std::nullopt, {}, FeaturePackUpdater::maxArchiveBytes})->has_value());
    EXPECT_FALSE(readPackCheck(platform::HttpResponse{200, R"({"update_available":true})"}, stored)->has_value());
    EXPECT_EQ(packCheckURL("https://api.example", "beta", "1.0 +1", 0),
              std::string("https://api.example/api/feature-packs/check?component=ui-rules&platform=") +
                  platform::kReleasePlatform + "&channel=beta&app_version=1.0%20%2B1&engine_api=1&current_revision=0");
}

// The transfer itself failing part way is the HTTP client's own test; here its failure leaves
// the store as a refused pack does.
TEST(RemotePackCheck, AnOfferBecomesThePendingPackOrLeavesNothingBehind) {
    test::UpdateServer server;
    test::SigningKey key;
    test::writePack(server.root / "pack", {.revision = 2, .version = "2.0.0"}, key);
    const fs::path served = server.root / "downloads/feature-packs/ui-rules/p2.zip";
    fs::create_directories(served.parent_path());
    test::zipFolder(server.root / "pack", served);
    const auto bytes = static_cast<std::int64_t>(fs::file_size(served));
    const auto digest = platform::sha256HexOfFile(served).value();
    // Size and digest offered, where the check goes, and the start of the last line logged.
    struct Case { std::int64_t offered; std::string digest, origin, last; std::string state = ""; };
    const Case cases[] = {
        {bytes, digest, server.origin, "feature pack staged revision=2; activation deferred until next launch"},
        {bytes + 1, digest, server.origin, "feature pack staging failed revision=2: 功能包压缩文件大小不符"},
        {bytes, std::string(64, '0'), server.origin, "feature pack staging failed revision=2: 功能包压缩文件哈希不符"},
        {bytes - 1, digest, server.origin, "feature pack download failed: "},  // more is sent than was offered
        {bytes, digest, server.origin, "none"},  // a self-update starts while the check is out: its answer is dropped
        {bytes, digest, "http://127.0.0.1:1", "feature pack check failed: "},  // nobody answers
        {bytes, digest, server.origin, "none", R"({"quarantinedRevisions":[],"declinedRevisions":[2],"lastError":""})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.last);
        test::TempDir store;
        test::ScopedEnv env{{{"VORDA_FEATURE_PACK_TEST_ROOT", store / "root"},
                             {"VORDA_FEATURE_PUBLIC_KEY", key.writePublicKeyFile(store / "key.json")}}};
        if (!c.state.empty()) test::writeFile(store / "root/state.json", c.state);  // the user rolled back from 2
        const json pack = {{"version", "2.0.0"}, {"revision", 2}, {"archive_sha256", c.digest}, {"size_bytes", c.offered},
                           {"download_url", server.origin + "/downloads/feature-packs/ui-rules/p2.zip"}};
        test::writeFile(server.root / "pack-answer.json", json{{"update_available", true}, {"pack", pack}}.dump());
        std::vector<std::string> lines;  // written on the worker, read once it is done
        FeaturePackUpdater updater("1.0.73", [&](const std::string& line) { lines.push_back(line); });
        updater.connectRemote(platform::curlHttpClient(), c.origin);
        int asked = 0;
        updater.checkForUpdatesInBackground([&] { return c.last == "none" && ++asked > 1; });
        updater.waitUntilBackgroundWorkDone();
        EXPECT_EQ(lines.empty() ? "none" : lines.back().substr(0, c.last.size()), c.last);
        EXPECT_EQ(updater.snapshot().pending.has_value(), c.last.starts_with("feature pack staged"));
        EXPECT_TRUE(!fs::exists(store / "root/staging") || fs::is_empty(store / "root/staging"));
    }
    EXPECT_EQ(server.requestsFor("/downloads/"), 4);
}
