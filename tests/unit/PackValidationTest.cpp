#include <gtest/gtest.h>

#include <sys/stat.h>

#include "featurepack/FeaturePackUpdater.h"
#include "tests/support/PackBuilder.h"

using namespace taviro;
using nlohmann::json;
using test::PackSpec;

namespace {

struct Validation {
    test::TempDir dir;
    test::SigningKey key;
    test::ScopedEnv env;
    std::filesystem::path pack = dir / "pack";

    Validation() {
        env.set("VORDA_FEATURE_PACK_TEST_ROOT", (dir / "store").string())
            .set("VORDA_FEATURE_PUBLIC_KEY", key.writePublicKeyFile(dir / "key.json").string());
    }
    std::string validate(const PackSpec& spec) {
        std::filesystem::remove_all(pack);
        test::writePack(pack, spec, key);
        return check();
    }
    // "ok", or the refusal's description.
    std::string check() {
        auto record = FeaturePackUpdater("1.0.73", nullptr).validateDirectory(pack, 1, "1.0.0", "archive-hash");
        return record ? "ok" : record.error().description;
    }
};

PackSpec edited(std::function<void(json&)> edit) {
    PackSpec spec;
    spec.editManifest = std::move(edit);
    return spec;
}

PackSpec editedEntry(const char* key, json value) {
    return edited([=](json& m) { m["files"][0][key] = value; });
}

PackSpec versions(const char* minimum, const char* maximum) {
    return edited([=](json& m) { m["min_app_version"] = minimum, m["max_app_version_exclusive"] = maximum; });
}

}  // namespace

TEST(PackValidation, AcceptsAWellFormedPack) {
    Validation v;
    PackSpec spec;
    // The largest single file allowed, hashed in several read pieces; an upper-case extension.
    spec.files["assets/icons/Logo.PNG"] = std::string(FeaturePackUpdater::maxSingleFileBytes, 'p');
    test::writePack(v.pack, spec, v.key);
    std::filesystem::create_directories(v.pack / "assets/empty-folder");
    auto record = FeaturePackUpdater("1.0.73", nullptr).validateDirectory(v.pack, 1, "1.0.0", "archive-hash");
    ASSERT_TRUE(record) << record.error().description;
    EXPECT_EQ(*record, (PackRecord{"1.0.0", 1, "archive-hash", record->verifiedAt}));
    EXPECT_TRUE(record->verifiedAt.ends_with("Z"));
}

TEST(PackValidation, ManifestAndFileListRules) {
    const std::string incompatible = "功能包 manifest 不兼容或字段无效", badList = "功能包文件清单无效";
    PackSpec arrayManifest;
    arrayManifest.editManifestBytes = [](std::string) { return std::string("[1,2]"); };
    PackSpec unlistedRequired = edited([](json& m) {
        m["files"].erase(std::find_if(m["files"].begin(), m["files"].end(), [](auto& e) { return e["path"] == "ui.json"; }));
    });
    const std::vector<std::tuple<const char*, PackSpec, std::string>> cases = {
        {"array manifest", arrayManifest, "manifest.json 不是对象"},
        {"eleventh key", edited([](json& m) { m["extra"] = 1; }), incompatible},
        {"no created_at", edited([](json& m) { m.erase("created_at"); }), incompatible},
        {"created_at of any type", edited([](json& m) { m["created_at"] = nullptr; }), "ok"},
        {"schema_version 1.0", edited([](json& m) { m["schema_version"] = 1.0; }), "ok"},
        {"schema_version as text", edited([](json& m) { m["schema_version"] = "1"; }), incompatible},
        {"schema_version true", edited([](json& m) { m["schema_version"] = true; }), incompatible},
        {"other component", edited([](json& m) { m["component"] = "ui-rules2"; }), incompatible},
        {"other key id", edited([](json& m) { m["key_id"] = "feature-pack-ed25519-v2"; }), incompatible},
        {"engine_api 2", edited([](json& m) { m["engine_api"] = 2; }), incompatible},
        {"revision 1.5", edited([](json& m) { m["revision"] = 1.5; }), incompatible},
        {"other revision", edited([](json& m) { m["revision"] = 2; }), incompatible},
        {"other version", edited([](json& m) { m["version"] = "1.0.0 "; }), incompatible},
        {"min equals app", versions("1.0.73", "1.0.74"), "ok"},
        {"min above app", versions("1.0.74", "2"), incompatible},
        {"max equals app", versions("1.0", "1.0.73"), incompatible},
        {"min not a string", edited([](json& m) { m["min_app_version"] = 1; }), incompatible},
        {"files not an array", edited([](json& m) { m["files"] = json::object(); }), incompatible},
        {"entry not an object", edited([](json& m) { m["files"].push_back("ui.json"); }), incompatible},
        {"upper-case sha256", editedEntry("sha256", std::string(64, 'A')), badList},
        {"fourth key in an entry", editedEntry("mode", 420), badList},
        {"size as text", editedEntry("size", "12"), badList},
        {"size one over the limit", editedEntry("size", FeaturePackUpdater::maxSingleFileBytes + 1), badList},
        {"negative size", editedEntry("size", -1), badList},
        {"listed path outside the rule", editedEntry("path", "../ui.json"), badList},
        {"duplicate path", edited([](json& m) { m["files"].push_back(m["files"][0]); }), badList},
        {"required file not listed", unlistedRequired, "功能包缺少必需文件"},
    };
    for (const auto& [name, spec, expected] : cases) EXPECT_EQ(Validation().validate(spec), expected) << name;
}

TEST(PackValidation, UnreadableOrNonJsonManifestIsAPlatformErrorThatQuotesNothing) {
    Validation v;
    PackSpec spec;
    spec.editManifestBytes = [](std::string) { return std::string("{\"secret-bytes\": "); };
    test::writePack(v.pack, spec, v.key);
    auto result = FeaturePackUpdater("1.0.73", nullptr).validateDirectory(v.pack, 1, "1.0.0", "h");
    ASSERT_FALSE(result);
    EXPECT_NE(result.error().domain, "VordaFeaturePack");
    EXPECT_EQ(result.error().description.find("secret-bytes"), std::string::npos);
    // A manifest that is a FIFO is refused without waiting for a writer.
    std::filesystem::remove(v.pack / "manifest.json");
    ::mkfifo((v.pack / "manifest.json").c_str(), 0644);
    result = FeaturePackUpdater("1.0.73", nullptr).validateDirectory(v.pack, 1, "1.0.0", "h");
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().domain, "POSIX");
}

TEST(PackValidation, PathRuleAndVersionOrder) {
    for (const char* allowed : {"ui.json", "ui-overrides.css", "generation_rules.json", "assets/Logo.PNG",
                                "assets/a/b/c.webp", "assets/x.tar.jpeg", "assets//x.jpg"}) {
        EXPECT_TRUE(FeaturePackUpdater::isAllowedContentPath(allowed)) << allowed;
    }
    for (const char* refused : {"assets/png", "assets/logo.gif", "images/logo.png", "assets/.hidden.png", "assets/../ui.json",
                                "/ui.json", "./ui.json", "manifest.json", "manifest.sig", "", "assets\\x.png",
                                "Assets/x.png", "assets/x.", "assets/", "ui.json/", "assets/x.ＰＮＧ"}) {
        EXPECT_FALSE(FeaturePackUpdater::isAllowedContentPath(refused)) << refused;
    }
    using O = FeaturePackUpdater::Ordering;
    const std::tuple<const char*, const char*, O> order[] = {
        {"1.2", "1.2.0", O::same}, {"1.10", "1.9", O::descending}, {"1.0.70-beta", "1.0.0", O::same},
        {"1..2", "1.2", O::same}, {"", "0", O::same}, {"+1.-1", "1", O::ascending},
        {"99999999999999999999", "0", O::same}, {"2", "10", O::ascending},
    };
    for (auto [a, b, expected] : order) EXPECT_EQ(FeaturePackUpdater::compareVersions(a, b), expected) << a << " " << b;
}

TEST(PackValidation, WhatIsOnDiskMustBeExactlyWhatTheSignedListSays) {
    const std::vector<std::tuple<const char*, std::function<void(const std::filesystem::path&)>, std::string>> cases = {
        {"unlisted hidden file", [](auto& p) { test::writeFile(p / ".DS_Store", "x"); }, "功能包包含未登记文件：.DS_Store"},
        {"unlisted nested file", [](auto& p) { test::writeFile(p / "assets/deep/x.png", "x"); },
         "功能包包含未登记文件：assets/deep/x.png"},
        {"symbolic link pointing inside", [](auto& p) { std::filesystem::create_symlink("bg.png", p / "assets/alias.png"); },
         "功能包不允许符号链接"},
        {"same size, other content", [](auto& p) { test::writeFile(p / "assets/bg.png", "PNG-bytes"); },
         "功能包文件校验失败：assets/bg.png"},
        {"grown", [](auto& p) { test::writeFile(p / "assets/bg.png", "png-bytes "); }, "功能包文件校验失败：assets/bg.png"},
        {"listed file missing", [](auto& p) { std::filesystem::remove(p / "assets/bg.png"); }, "功能包文件清单不完整"},
        {"listed file is a FIFO", [](auto& p) {
             std::filesystem::remove(p / "assets/bg.png");
             ::mkfifo((p / "assets/bg.png").c_str(), 0644);
         }, "功能包文件校验失败：assets/bg.png"},
    };
    for (const auto& [name, tamper, expected] : cases) {
        Validation v;
        PackSpec spec;
        spec.files["assets/bg.png"] = "png-bytes";
        test::writePack(v.pack, spec, v.key);
        tamper(v.pack);
        EXPECT_EQ(v.check(), expected) << name;
    }
    PackSpec css;  // signed, listed and still refused
    css.files["ui-overrides.css"] = "@import 'https://x/y.css';";
    EXPECT_EQ(Validation().validate(css), "功能包 CSS 包含外部或危险引用");
}

TEST(PackValidation, FileCountAndTotalSizeLimits) {
    auto assets = [](int count, std::size_t size) {
        PackSpec spec;
        for (int i = 0; i < count; ++i) spec.files["assets/" + std::to_string(i) + ".png"] = std::string(size, char('a' + i % 26));
        return spec;
    };
    // 3 required files + assets + manifest + signature: 200 entries pass, 201 do not.
    EXPECT_EQ(Validation().validate(assets(195, 1)), "ok");
    EXPECT_EQ(Validation().validate(assets(196, 1)), "功能包文件数量超限");
    // Six listed files of 5 MiB each: the walk stops at the one that passes 25 MiB.
    EXPECT_TRUE(Validation().validate(assets(6, 5 * 1024 * 1024)).starts_with("功能包文件校验失败：assets/"));
}
