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

    Result<PackRecord> validate(const PackSpec& spec, const std::string& appVersion = "1.0.73") {
        std::filesystem::remove_all(pack);
        test::writePack(pack, spec, key);
        return check(spec.revision, spec.version, appVersion);
    }
    Result<PackRecord> check(std::int64_t revision = 1, const std::string& version = "1.0.0",
                             const std::string& appVersion = "1.0.73") {
        FeaturePackUpdater updater(appVersion, nullptr);
        return updater.validateDirectory(pack, revision, version, "archive-hash");
    }
};

std::string describe(const Result<PackRecord>& result) { return result ? "ok" : result.error().description; }

PackSpec withManifest(std::function<void(json&)> edit) {
    PackSpec spec;
    spec.editManifest = std::move(edit);
    return spec;
}

PackSpec withFile(const std::string& path, const std::string& content) {
    PackSpec spec;
    spec.files[path] = content;
    return spec;
}

std::function<void(json&)> setFileEntry(const std::string& path, const char* key, json value) {
    return [=](json& manifest) {
        for (auto& entry : manifest["files"]) {
            if (entry["path"] == path) entry[key] = value;
        }
    };
}

}  // namespace

TEST(PackValidation, AcceptsAWellFormedSignedPack) {
    Validation v;
    PackSpec spec = withFile("assets/icons/Logo.PNG", std::string("\x89PNG\r\n", 6));
    spec.files["assets/png"] = "no dot";
    std::filesystem::create_directories(v.pack / "assets/empty-folder");
    auto record = v.validate(spec);
    ASSERT_TRUE(record) << describe(record);
    EXPECT_EQ(record->revision, 1);
    EXPECT_EQ(record->version, "1.0.0");
    EXPECT_EQ(record->archiveSHA256, "archive-hash");
    EXPECT_EQ(record->verifiedAt.size(), 20u);
    EXPECT_EQ(record->verifiedAt.back(), 'Z');
    // Validation changes nothing on disk.
    EXPECT_TRUE(std::filesystem::exists(v.pack / "manifest.json"));
}

TEST(PackValidation, ManifestRulesGiveTheirMessages) {
    const std::string incompatible = "功能包 manifest 不兼容或字段无效";
    const std::string badList = "功能包文件清单无效";
    struct Case {
        const char* name;
        PackSpec spec;
        std::string expected;
        std::string appVersion = "1.0.73";
    };
    auto versions = [](const char* minimum, const char* maximum) {
        return withManifest([=](json& m) {
            m["min_app_version"] = minimum;
            m["max_app_version_exclusive"] = maximum;
        });
    };
    PackSpec arrayManifest;
    arrayManifest.editManifestBytes = [](std::string) { return std::string("[1,2]"); };

    std::vector<Case> cases = {
        {"array manifest", arrayManifest, "manifest.json 不是对象"},
        {"eleventh key", withManifest([](json& m) { m["extra"] = 1; }), incompatible},
        {"no created_at", withManifest([](json& m) { m.erase("created_at"); }), incompatible},
        {"created_at of any type", withManifest([](json& m) { m["created_at"] = nullptr; }), "ok"},
        {"schema_version 1.0", withManifest([](json& m) { m["schema_version"] = 1.0; }), "ok"},
        {"schema_version as text", withManifest([](json& m) { m["schema_version"] = "1"; }), incompatible},
        {"schema_version true", withManifest([](json& m) { m["schema_version"] = true; }), incompatible},
        {"schema_version 2", withManifest([](json& m) { m["schema_version"] = 2; }), incompatible},
        {"other component", withManifest([](json& m) { m["component"] = "ui-rules2"; }), incompatible},
        {"other key id", withManifest([](json& m) { m["key_id"] = "feature-pack-ed25519-v2"; }), incompatible},
        {"engine_api 2", withManifest([](json& m) { m["engine_api"] = 2; }), incompatible},
        {"revision 1.5", withManifest([](json& m) { m["revision"] = 1.5; }), incompatible},
        {"revision 1.0", withManifest([](json& m) { m["revision"] = 1.0; }), "ok"},
        {"other revision", withManifest([](json& m) { m["revision"] = 2; }), incompatible},
        {"other version", withManifest([](json& m) { m["version"] = "1.0.0 "; }), incompatible},
        {"min equals app", versions("1.0.73", "1.0.74"), "ok"},
        {"min above app", versions("1.0.74", "2"), incompatible},
        {"max equals app", versions("1.0", "1.0.73"), incompatible},
        {"empty max", versions("1.0", ""), incompatible},
        {"min not a string", withManifest([](json& m) { m["min_app_version"] = 1; }), incompatible},
        {"files not an array", withManifest([](json& m) { m["files"] = json::object(); }), incompatible},
        {"file entry not an object", withManifest([](json& m) { m["files"].push_back("ui.json"); }), incompatible},
        {"upper-case sha256", withManifest([](json& m) {
             for (auto& e : m["files"]) e["sha256"] = std::string(64, 'A');
         }), badList},
        {"fourth key in a file entry", withManifest(setFileEntry("ui.json", "mode", 420)), badList},
        {"size as text", withManifest(setFileEntry("ui.json", "size", "12")), badList},
        {"size too large", withManifest(setFileEntry("ui.json", "size", 5242881)), badList},
        {"negative size", withManifest(setFileEntry("ui.json", "size", -1)), badList},
        {"duplicate path", withManifest([](json& m) { m["files"].push_back(m["files"][0]); }), badList},
        {"required file not listed", withManifest([](json& m) {
             json kept = json::array();
             for (auto& e : m["files"]) if (e["path"] != "ui.json") kept.push_back(e);
             m["files"] = kept;
         }), "功能包缺少必需文件"},
    };
    for (auto& c : cases) {
        Validation v;
        EXPECT_EQ(describe(v.validate(c.spec, c.appVersion)), c.expected) << c.name;
    }
}

TEST(PackValidation, NonJsonManifestIsAPlatformErrorThatQuotesNothing) {
    Validation v;
    PackSpec spec;
    spec.editManifestBytes = [](std::string) { return std::string("{\"secret-bytes\": "); };
    auto result = v.validate(spec);
    ASSERT_FALSE(result);
    EXPECT_NE(result.error().domain, "VordaFeaturePack");
    EXPECT_EQ(result.error().description.find("secret-bytes"), std::string::npos);
    std::filesystem::remove(v.pack / "manifest.json");
    EXPECT_EQ(v.check().error().domain, "POSIX");
}

TEST(PackValidation, PathRule) {
    struct Case {
        const char* path;
        bool allowed;
    } cases[] = {
        {"ui.json", true}, {"ui-overrides.css", true}, {"generation_rules.json", true},
        {"assets/Logo.PNG", true}, {"assets/a/b/c.webp", true}, {"assets/x.tar.jpeg", true},
        {"assets/png", true}, {"assets//x.jpg", true},
        {"assets/logo.gif", false}, {"images/logo.png", false}, {"assets/.hidden.png", false},
        {"assets/../ui.json", false}, {"/ui.json", false}, {"./ui.json", false}, {"manifest.json", false},
        {"manifest.sig", false}, {"", false}, {"assets\\x.png", false}, {"Assets/x.png", false},
        {"assets/x.", false}, {"assets/", false}, {"ui.json/", false}, {"assets/x.ＰＮＧ", false},
    };
    for (const auto& c : cases) EXPECT_EQ(FeaturePackUpdater::isAllowedContentPath(c.path), c.allowed) << c.path;
}

TEST(PackValidation, VersionComparison) {
    using O = FeaturePackUpdater::Ordering;
    struct Case {
        const char* a;
        const char* b;
        O expected;
    } cases[] = {
        {"1.2", "1.2.0", O::same}, {"1.10", "1.9", O::descending}, {"1.0.70-beta", "1.0.0", O::same},
        {"1..2", "1.2", O::same}, {"", "0", O::same}, {"1.0.73", "1.0.74", O::ascending},
        {"+1.-1", "1", O::ascending}, {"99999999999999999999", "0", O::same}, {"2", "10", O::ascending},
    };
    for (const auto& c : cases) EXPECT_EQ(FeaturePackUpdater::compareVersions(c.a, c.b), c.expected) << c.a << " " << c.b;
}

TEST(PackValidation, DirectoryWalkFindsWhatTheManifestDoesNotSay) {
    struct Case {
        const char* name;
        std::function<void(const std::filesystem::path&)> tamper;
        std::string expected;
    };
    std::vector<Case> cases = {
        {"untouched", [](const auto&) {}, "ok"},
        {"empty subfolder", [](const auto& pack) { std::filesystem::create_directories(pack / "assets/a/b"); }, "ok"},
        {"unlisted hidden file", [](const auto& pack) { test::writeFile(pack / ".DS_Store", "x"); },
         "功能包包含未登记文件：.DS_Store"},
        {"unlisted nested file", [](const auto& pack) { test::writeFile(pack / "assets/deep/x.png", "x"); },
         "功能包包含未登记文件：assets/deep/x.png"},
        {"symbolic link pointing inside", [](const auto& pack) {
             std::filesystem::create_symlink("bg.png", pack / "assets/alias.png");
         }, "功能包不允许符号链接"},
        {"same size, other content", [](const auto& pack) {
             auto content = test::readFile(pack / "ui.json");
             content[1] = content[1] == 'x' ? 'y' : 'x';
             test::writeFile(pack / "ui.json", content);
         }, "功能包文件校验失败：ui.json"},
        {"grown", [](const auto& pack) { test::writeFile(pack / "ui.json", test::readFile(pack / "ui.json") + " "); },
         "功能包文件校验失败：ui.json"},
        {"listed file missing", [](const auto& pack) { std::filesystem::remove(pack / "assets/bg.png"); },
         "功能包文件清单不完整"},
        {"listed file is a FIFO", [](const auto& pack) {
             std::filesystem::remove(pack / "assets/bg.png");
             ::mkfifo((pack / "assets/bg.png").c_str(), 0644);
         }, "功能包文件校验失败：assets/bg.png"},
    };
    for (auto& c : cases) {
        Validation v;
        test::writePack(v.pack, withFile("assets/bg.png", "png-bytes"), v.key);
        c.tamper(v.pack);
        EXPECT_EQ(describe(v.check()), c.expected) << c.name;
    }

    Validation v;
    test::writePack(v.pack, withFile("ui-overrides.css", "@import 'https://x/y.css';"), v.key);
    EXPECT_EQ(describe(v.check()), "功能包 CSS 包含外部或危险引用");
    // A manifest that is a FIFO must not hang the check.
    std::filesystem::remove(v.pack / "manifest.json");
    ::mkfifo((v.pack / "manifest.json").c_str(), 0644);
    auto fifo = v.check();
    ASSERT_FALSE(fifo);
    EXPECT_EQ(fifo.error().domain, "POSIX");
}

TEST(PackValidation, FileCountAndTotalSizeLimits) {
    auto manyAssets = [](int count) {
        PackSpec spec;
        for (int i = 0; i < count; ++i) spec.files["assets/" + std::to_string(i) + ".png"] = std::to_string(i);
        return spec;
    };
    {
        Validation v;  // 3 required + 195 assets + manifest + signature = 200 entries
        EXPECT_EQ(describe(v.validate(manyAssets(195))), "ok");
    }
    {
        Validation v;  // one more entry than allowed, every one of them valid
        EXPECT_EQ(describe(v.validate(manyAssets(196))), "功能包文件数量超限");
    }
    {
        // Six listed files of 5 MiB each: the walk stops at the file that passes 25 MiB.
        Validation v;
        PackSpec spec;
        for (int i = 0; i < 6; ++i) spec.files["assets/big" + std::to_string(i) + ".png"] = std::string(5 * 1024 * 1024, char('a' + i));
        auto result = v.validate(spec);
        ASSERT_FALSE(result);
        EXPECT_TRUE(result.error().description.starts_with("功能包文件校验失败：assets/big")) << describe(result);
    }
}

TEST(PackValidation, Sha256OfFiles) {
    test::TempDir dir;
    test::writeFile(dir / "empty", "");
    test::writeFile(dir / "abc", "abc");
    EXPECT_EQ(FeaturePackUpdater::sha256(dir / "empty").value(),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(FeaturePackUpdater::sha256(dir / "abc").value(),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // Larger than one read piece, so the pieces must join up.
    std::string big(3 * 1024 * 1024 + 17, 'q');
    test::writeFile(dir / "big", big);
    EXPECT_EQ(FeaturePackUpdater::sha256(dir / "big").value(), test::sha256Hex(big));
    EXPECT_FALSE(FeaturePackUpdater::sha256(dir / "missing"));
    EXPECT_FALSE(FeaturePackUpdater::sha256(dir.path()));
}
