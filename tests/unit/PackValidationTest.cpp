#include <gtest/gtest.h>

#include <sys/stat.h>

#include "featurepack/FeaturePackUpdater.h"
#include "tests/support/PackBuilder.h"

using namespace taviro;
using nlohmann::json;
using test::PackSpec;
using Tamper = std::function<void(const std::filesystem::path&)>;

namespace {

// Writes the pack, lets `tamper` change it on disk, and validates it: "ok", the description of a
// pack refusal, or "domain:description" of any other failure.
std::string validate(const PackSpec& spec, const Tamper& tamper = {}) {
    test::TempDir dir;
    test::SigningKey key;
    test::ScopedEnv env;
    env.set("VORDA_FEATURE_PACK_TEST_ROOT", (dir / "store").string())
        .set("VORDA_FEATURE_PUBLIC_KEY", key.writePublicKeyFile(dir / "key.json").string());
    test::writePack(dir / "pack", spec, key);
    if (tamper) tamper(dir / "pack");
    auto record = FeaturePackUpdater("1.0.73", nullptr).validateDirectory(dir / "pack", 1, "1.0.0", "archive-hash");
    if (record) return *record == PackRecord{"1.0.0", 1, "archive-hash", record->verifiedAt} ? "ok" : "wrong record";
    return record.error().domain == "VordaFeaturePack" ? record.error().description
                                                       : record.error().domain + ":" + record.error().description;
}

PackSpec edited(std::function<void(json&)> edit, std::function<std::string(std::string)> editBytes = {}) {
    PackSpec spec;
    spec.editManifest = std::move(edit);
    spec.editManifestBytes = std::move(editBytes);
    spec.files["assets/bg.png"] = "png-bytes";
    return spec;
}

PackSpec withFiles(const std::map<std::string, std::string>& files) {
    PackSpec spec;
    for (const auto& [path, content] : files) spec.files[path] = content;
    return spec;
}

}  // namespace

TEST(PackValidation, TheSignedManifestAndFileListMustFitExactly) {
    const std::string incompatible = "功能包 manifest 不兼容或字段无效", badList = "功能包文件清单无效";
    auto entry = [](const char* key, json value) { return edited([=](json& m) { m["files"][0][key] = value; }); };
    auto versions = [](const char* minimum, const char* maximum) {
        return edited([=](json& m) { m["min_app_version"] = minimum, m["max_app_version_exclusive"] = maximum; });
    };
    auto set = [](const char* key, json value) { return edited([=](json& m) { m[key] = value; }); };
    const std::vector<std::pair<PackSpec, std::string>> cases = {
        {edited({}), "ok"}, {set("created_at", nullptr), "ok"}, {set("schema_version", 1.0), "ok"}, {versions("1.0.73", "1.0.74"), "ok"},
        // The largest single file, hashed in several read pieces, with an upper-case extension.
        {withFiles({{"assets/icons/Logo.PNG", std::string(FeaturePackUpdater::maxSingleFileBytes, 'p')}}), "ok"},
        {edited({}, [](std::string) { return "[1,2]"; }), "manifest.json 不是对象"},
        {edited({}, [](std::string) { return "{\"secret-bytes\": "; }), "JSON:manifest.json is not valid JSON"},  // quotes nothing
        {set("extra", 1), incompatible}, {edited([](json& m) { m.erase("created_at"); }), incompatible},
        {set("schema_version", "1"), incompatible}, {set("schema_version", true), incompatible},
        {set("component", "ui-rules2"), incompatible}, {set("key_id", "feature-pack-ed25519-v2"), incompatible},
        {set("engine_api", 2), incompatible}, {set("revision", 1.5), incompatible}, {set("revision", 2), incompatible},
        {set("version", "1.0.0 "), incompatible}, {versions("1.0.74", "2"), incompatible}, {versions("1.0", "1.0.73"), incompatible},
        {set("min_app_version", 1), incompatible}, {set("files", json::object()), incompatible},
        {edited([](json& m) { m["files"].push_back("ui.json"); }), incompatible},
        {entry("sha256", std::string(64, 'A')), badList}, {entry("mode", 420), badList}, {entry("size", "9"), badList},
        {entry("size", FeaturePackUpdater::maxSingleFileBytes + 1), badList}, {entry("size", -1), badList},
        {entry("path", "../ui.json"), badList}, {edited([](json& m) { m["files"].push_back(m["files"][0]); }), badList},
        {edited([](json& m) { m["files"].erase(m["files"].end() - 1); }), "功能包缺少必需文件"},  // ui.json
        {withFiles({{"ui-overrides.css", "@import 'https://x/y.css';"}}), "功能包 CSS 包含外部或危险引用"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(validate(cases[i].first), cases[i].second) << "case " << i;
}

TEST(PackValidation, WhatIsOnDiskMustBeExactlyWhatTheListSays) {
    const std::pair<Tamper, std::string> cases[] = {
        {[](auto& p) { std::filesystem::create_directories(p / "assets/a/b"); }, "ok"},
        {[](auto& p) { test::writeFile(p / ".DS_Store", "x"); }, "功能包包含未登记文件：.DS_Store"},
        {[](auto& p) { test::writeFile(p / "assets/deep/x.png", "x"); }, "功能包包含未登记文件：assets/deep/x.png"},
        {[](auto& p) { std::filesystem::create_symlink("bg.png", p / "assets/alias.png"); }, "功能包不允许符号链接"},
        {[](auto& p) { test::writeFile(p / "assets/bg.png", "PNG-bytes"); }, "功能包文件校验失败：assets/bg.png"},
        {[](auto& p) { test::writeFile(p / "assets/bg.png", "png-bytes "); }, "功能包文件校验失败：assets/bg.png"},
        {[](auto& p) { std::filesystem::remove(p / "assets/bg.png"); }, "功能包文件清单不完整"},
        // FIFOs are refused without waiting for a writer.
        {[](auto& p) { std::filesystem::remove(p / "assets/bg.png"), ::mkfifo((p / "assets/bg.png").c_str(), 0644); },
         "功能包文件校验失败：assets/bg.png"},
        {[](auto& p) { std::filesystem::remove(p / "manifest.json"), ::mkfifo((p / "manifest.json").c_str(), 0644); }, "POSIX:"},
    };
    for (const auto& [tamper, expected] : cases) {
        auto outcome = validate(edited({}), tamper);
        EXPECT_TRUE(outcome.starts_with(expected)) << outcome << " instead of " << expected;
    }
}

TEST(PackValidation, FileCountAndTotalSizeLimits) {
    auto assets = [](int count, std::size_t size) {
        PackSpec spec;
        for (int i = 0; i < count; ++i) spec.files["assets/" + std::to_string(i) + ".png"] = std::string(size, char('a' + i % 26));
        return spec;
    };
    // 3 required files + assets + manifest + signature: 200 entries pass, 201 do not.
    EXPECT_EQ(validate(assets(195, 1)), "ok");
    EXPECT_EQ(validate(assets(196, 1)), "功能包文件数量超限");
    // Six listed files of 5 MiB each: the walk stops at the one that passes 25 MiB.
    EXPECT_TRUE(validate(assets(6, 5 << 20)).starts_with("功能包文件校验失败：assets/"));
}

TEST(PackValidation, PathRuleAndVersionOrder) {
    for (const char* allowed : {"ui.json", "ui-overrides.css", "generation_rules.json", "assets/Logo.PNG", "assets/a/b/c.webp",
                                "assets/x.tar.jpeg", "assets//x.jpg", "assets/png"}) {
        EXPECT_TRUE(FeaturePackUpdater::isAllowedContentPath(allowed)) << allowed;
    }
    for (const char* refused : {"assets/logo.gif", "images/logo.png", "assets/.hidden.png", "assets/../ui.json", "/ui.json",
                                "./ui.json", "manifest.json", "manifest.sig", "", "assets\\x.png", "Assets/x.png", "assets/x.",
                                "assets/", "ui.json/", "assets/x.ＰＮＧ"}) {
        EXPECT_FALSE(FeaturePackUpdater::isAllowedContentPath(refused)) << refused;
    }
    using O = FeaturePackUpdater::Ordering;
    const std::tuple<const char*, const char*, O> order[] = {
        {"1.2", "1.2.0", O::same}, {"1.10", "1.9", O::descending}, {"1.0.70-beta", "1.0.0", O::same}, {"1..2", "1.2", O::same},
        {"", "0", O::same}, {"+1.-1", "1", O::ascending}, {"99999999999999999999", "0", O::same}, {"2", "10", O::ascending},
    };
    for (auto [a, b, expected] : order) EXPECT_EQ(FeaturePackUpdater::compareVersions(a, b), expected) << a << " " << b;
}
