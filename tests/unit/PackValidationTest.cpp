// The checks an unpacked pack passes before it is used: manifest, file list, signature, stylesheet.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "featurepack/FeaturePackUpdater.h"
#include "tests/support/PackBuilder.h"

using namespace taviro;
using nlohmann::json;

namespace {

const test::SigningKey key;

// Writes the pack, lets `tamper` change it on disk and validates it: "ok", the description of a
// pack refusal, or "domain:description" of any other failure.
std::string validate(test::PackSpec pack, const std::function<void(const std::filesystem::path&)>& tamper = {}) {
    test::TempDir dir;
    test::ScopedEnv env("VORDA_FEATURE_PACK_TEST_ROOT", (dir / "store").string());
    env.set("VORDA_FEATURE_PUBLIC_KEY", key.writePublicKeyFile(dir / "key.json").string());
    test::writePack(dir / "pack", pack, key);
    if (tamper) tamper(dir / "pack");
    auto record = FeaturePackUpdater("1.0.73", nullptr).validateDirectory(dir / "pack", 1, "1.0.0", "archive-hash");
    if (record) return *record == PackRecord{"1.0.0", 1, "archive-hash", record->verifiedAt} ? "ok" : "wrong record";
    return (record.error().domain == "VordaFeaturePack" ? "" : record.error().domain + ":") + record.error().description;
}

test::PackSpec with(const std::string& path, const std::string& content, int copies = 1) {
    test::PackSpec pack;
    for (int i = 0; i < copies; ++i) pack.files[copies == 1 ? path : "assets/" + std::to_string(i) + ".png"] = content;
    return pack;
}

}  // namespace

TEST(PackValidation, TheSignedManifestFileListAndFilesMustFitExactly) {
    const std::string incompatible = "功能包 manifest 不兼容或字段无效", badList = "功能包文件清单无效", outside = "功能包 CSS 包含外部或危险引用";
    auto css = [](const char* content) { return with("ui-overrides.css", content); };
    auto set = [](const char* key, json value) { return test::PackSpec{.editManifest = [=](json& m) { m[key] = value; }}; };
    auto entry = [](const char* key, json value) { return test::PackSpec{.editManifest = [=](json& m) { m["files"][0][key] = value; }}; };
    auto range = [](const char* min, const char* max) { return test::PackSpec{.editManifest = [=](json& m) { m["min_app_version"] = min, m["max_app_version_exclusive"] = max; }}; };
    const std::pair<test::PackSpec, std::string> cases[] = {
        {{}, "ok"}, {set("created_at", nullptr), "ok"}, {set("schema_version", 1.0), "ok"}, {range("1.0.73", "1.0.74"), "ok"}, {range("1.0.9", "1.0.100"), "ok"},
        // The largest single file, hashed in several read pieces, with an upper-case extension.
        {with("assets/Logo.PNG", std::string(FeaturePackUpdater::maxSingleFileBytes, 'p')), "ok"},
        {set("extra", 1), incompatible}, {{.editManifest = [](json& m) { m.erase("created_at"); }}, incompatible}, {set("schema_version", "1"), incompatible},
        {set("component", "ui-rules2"), incompatible}, {set("key_id", "feature-pack-ed25519-v2"), incompatible}, {set("engine_api", 2), incompatible},
        {set("revision", 1.5), incompatible}, {set("revision", 2), incompatible}, {set("version", "1.0.0 "), incompatible},
        {range("1.0.74", "2"), incompatible}, {range("1.0", "1.0.73"), incompatible},
        {set("files", json::object()), incompatible}, {entry("sha256", std::string(64, 'A')), badList}, {entry("mode", 420), badList},
        {entry("size", "9"), badList}, {entry("size", -1), badList}, {entry("size", FeaturePackUpdater::maxSingleFileBytes + 1), badList},
        {entry("path", "../ui.json"), badList}, {entry("path", "assets/logo.gif"), badList}, {entry("path", "assets/.hidden.png"), badList},
        {entry("path", "Assets/x.png"), badList}, {entry("path", "assets\\x.png"), badList}, {entry("path", "manifest.sig"), badList},
        {{.editManifest = [](json& m) { m["files"].push_back(m["files"][0]); }}, badList},
        {{.editManifest = [](json& m) { m["files"].erase(m["files"].end() - 1); }}, "功能包缺少必需文件"},  // ui.json
        // Stylesheets may not reach outside the pack in any letter case or escape; invalid UTF-8 is a
        // read failure, even when it hides a forbidden fragment.
        {css(""), "ok"}, {css(".a { b: url(assets/bg.png); }"), "ok"}, {css(".a { b: url(data:image/png;base64,AA); }"), "ok"}, {css("/* 标题 */ .t { c: red; }"), "ok"},
        {css("@\xC4\xB0mport 'x.css';"), "ok"}, {css(".a::before { content: '\\41'; }"), "ok"}, {css("@import 'x.css';"), outside}, {css("/* @IMPORT url(x) */"), outside},
        {css(".a { b: url(HTTPS://EXAMPLE.COM/a.png); }"), outside}, {css(".a { b: url(JavaScript:alert(1)); }"), outside}, {css(".a { b: url(file:///etc/passwd); }"), outside},
        {css(".a { b: url(/x.png); }"), outside}, {css(".a { b: url(//x/a.png); }"), outside}, {css(".a { b: URL( /x.png); }"), outside},
        {css(".a::before { content: '\\000040'; }"), outside}, {css(".a::after { content: \"see https://x\"; }"), outside},
        {css(".a{}\xff"), "POSIX:"}, {css("@import \xC0\xAF"), "POSIX:"}, {css("\xED\xA0\x80"), "POSIX:"},
        // 3 required files + assets + manifest + signature: 200 entries pass, 201 do not; six
        // listed files of 5 MiB each stop the walk at the one that passes 25 MiB.
        {with("", "a", 195), "ok"}, {with("", "a", 196), "功能包文件数量超限"}, {with("", std::string(5 << 20, 'a'), 6), "功能包文件校验失败：assets/"},
    };
    for (const auto& [pack, expected] : cases) EXPECT_TRUE(validate(pack).starts_with(expected) && !expected.empty()) << validate(pack) << " instead of " << expected;

    // What is on disk must be exactly what the signed list says.
    const std::string unsigned_ = "功能包数字签名无效";
    const std::pair<std::function<void(const std::filesystem::path&)>, std::string> tampered[] = {
        {[](auto& p) { std::filesystem::create_directories(p / "assets/a/b"); }, "ok"},
        {[](auto& p) { test::writeFile(p / "manifest.json", "[1,2]"), test::writeFile(p / "manifest.sig", test::base64(key.sign("[1,2]"))); }, "manifest.json 不是对象"},
        {[](auto& p) { test::writeFile(p / "manifest.json", "{\"x\": "), test::writeFile(p / "manifest.sig", test::base64(key.sign("{\"x\": "))); }, "JSON:manifest.json is not valid JSON"},
        // Only the signature of the exact bytes, by the configured key, which is read afresh.
        {[](auto& p) { test::writeFile(p / "manifest.sig", "  \r\n" + test::readFile(p / "manifest.sig") + " \t\n"); }, "ok"},
        {[](auto& p) { test::writeFile(p / "manifest.json", json::parse(test::readFile(p / "manifest.json")).dump(1)); }, unsigned_},
        {[](auto& p) { test::writeFile(p / "manifest.sig", test::readFile(p / "manifest.sig").insert(40, "\n")); }, unsigned_},
        {[](auto& p) { test::writeFile(p / "manifest.sig", test::base64(key.sign(test::readFile(p / "manifest.json")).substr(0, 63))); }, unsigned_},
        {[](auto& p) { test::writeFile(p / "manifest.sig", test::base64(test::SigningKey().sign(test::readFile(p / "manifest.json")))); }, unsigned_},
        {[](auto& p) { key.writePublicKeyFile(p / "../key.json", "feature-pack-ed25519-v2"); }, unsigned_},
        {[](auto& p) { test::writeFile(p / "../key.json", R"({"key_id":"feature-pack-ed25519-v1","public_key_raw_base64":")" + test::base64(std::string(31, 'k')) + "\"}"); }, unsigned_},
        {[](auto& p) { std::filesystem::remove(p / "../key.json"); }, unsigned_}, {[](auto& p) { std::filesystem::remove(p / "manifest.sig"); }, unsigned_},
        {[](auto& p) { test::writeFile(p / "assets/deep/x.png", "x"); }, "功能包包含未登记文件：assets/deep/x.png"},
        {[](auto& p) { std::filesystem::create_symlink("bg.png", p / "assets/alias.png"); }, "功能包不允许符号链接"},
        {[](auto& p) { test::writeFile(p / "assets/bg.png", "png-bytes "); }, "功能包文件校验失败：assets/bg.png"},
        {[](auto& p) { std::filesystem::remove(p / "assets/bg.png"); }, "功能包文件清单不完整"},
        // FIFOs are refused without waiting for a writer.
        {[](auto& p) { std::filesystem::remove(p / "assets/bg.png"), ::mkfifo((p / "assets/bg.png").c_str(), 0644); }, "功能包文件校验失败：assets/bg.png"},
        {[](auto& p) { std::filesystem::remove(p / "manifest.json"), ::mkfifo((p / "manifest.json").c_str(), 0644); }, "POSIX:"},
    };
    for (const auto& [tamper, expected] : tampered) EXPECT_TRUE(validate(with("assets/bg.png", "png-bytes"), tamper).starts_with(expected)) << expected;
}
