// The checks an unpacked pack passes before it is used: manifest, file list, signature, stylesheet.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "featurepack/FeaturePackUpdater.h"
#include "tests/support/PackBuilder.h"

using namespace taviro;
using nlohmann::json;
using test::PackContents;
namespace fs = std::filesystem;
using Tamper = std::function<void(const fs::path&)>;

namespace {

const test::SigningKey key;

// Writes the pack, lets `tamper` change it on disk and validates it: "ok", the description of a
// pack refusal, or "domain:description" of any other failure.
std::string validate(const PackContents& pack, const Tamper& tamper = {}) {
    test::TempDir dir;
    test::ScopedEnv env{{{"VORDA_FEATURE_PACK_TEST_ROOT", dir / "store"},
                         {"VORDA_FEATURE_PUBLIC_KEY", key.writePublicKeyFile(dir / "key.json")}}};
    test::writePack(dir / "pack", pack, key);
    if (tamper) tamper(dir / "pack");
    auto record = FeaturePackUpdater("1.0.73", nullptr).validateDirectory(dir / "pack", 1, "1.0.0", "archive-hash");
    if (record) return *record == PackRecord{"1.0.0", 1, "archive-hash", record->verifiedAt} ? "ok" : "wrong record";
    return (record.error().domain == "VordaFeaturePack" ? "" : record.error().domain + ":") + record.error().description;
}

PackContents with(const std::string& path, const std::string& content, int copies = 1) {
    PackContents pack;
    for (int i = 0; i < copies; ++i) pack.files[copies == 1 ? path : "assets/" + std::to_string(i) + ".png"] = content;
    return pack;
}

}  // namespace

TEST(PackValidation, TheSignedManifestFileListAndFilesMustFitExactly) {
    const auto max = FeaturePackUpdater::maxSingleFileBytes;
    auto css = [](const char* content) { return with("ui-overrides.css", content); };
    auto edit = [](std::function<void(json&)> change) { return PackContents{.editManifest = change}; };
    auto set = [&](const char* key, json value) { return edit([=](json& m) { m[key] = value; }); };
    auto entry = [&](const char* key, json value) { return edit([=](json& m) { m["files"][0][key] = value; }); };
    auto path = [&](const char* value) { return entry("path", value); };
    auto range = [&](const char* min, const char* max) {
        return edit([=](json& m) { m["min_app_version"] = min, m["max_app_version_exclusive"] = max; });
    };
    const std::pair<std::string, std::vector<PackContents>> cases[] = {
        // The largest single file is hashed in several read pieces; extensions match in any case.
        {"ok", {{}, set("created_at", nullptr), set("schema_version", 1.0), range("1.0.73", "1.0.74"),
                range("1.0.9", "1.0.100"), with("assets/Logo.PNG", std::string(max, 'p'))}},
        {"manifest.json 不是对象", {edit([](json& m) { m = {1, 2}; })}},
        {"功能包 manifest 不兼容或字段无效",
         {set("extra", 1), edit([](json& m) { m.erase("created_at"); }), set("schema_version", "1"),
          set("component", "ui-rules2"), set("key_id", "feature-pack-ed25519-v2"), set("engine_api", 2),
          set("revision", 1.5), set("revision", 2), set("version", "1.0.0 "), range("1.0.74", "2"),
          range("1.0", "1.0.73"), set("files", json::object())}},
        {"功能包文件清单无效",
         {entry("sha256", std::string(64, 'A')), entry("mode", 420), entry("size", "9"), entry("size", -1),
          entry("size", max + 1), path("../ui.json"), path("assets/logo.gif"), path("assets/.hidden.png"),
          path("Assets/x.png"), path("assets\\x.png"), path("manifest.sig"),
          edit([](json& m) { m["files"].push_back(m["files"][0]); })}},
        {"功能包缺少必需文件", {edit([](json& m) { m["files"].erase(m["files"].end() - 1); })}},  // ui.json
        // Stylesheets may not reach outside the pack in any letter case or escape (one row per forbidden
        // fragment; the fuzz target feeds the rest); invalid UTF-8 is a read failure, even when it hides one.
        {"ok", {css(""), css(".a { b: url(data:image/png;base64,AA); }"), css("/* 标题 */ .t { c: red; }"),
                css(".a::before { content: '\\41'; }")}},
        {"功能包 CSS 包含外部或危险引用",
         {css("/* @IMPORT url(x) */"), css(".a { b: url(HTTPS://EXAMPLE.COM/a.png); }"), css(".a { b: url(Http://x/a.png); }"),
          css(".a { b: url(JavaScript:alert(1)); }"), css(".a { b: url(file:///etc/passwd); }"), css(".a { b: URL( /x.png); }"),
          css(".a { b: url(//x/a.png); }"), css(".a::before { content: '\\000040'; }")}},
        {"POSIX:", {css(".a{}\xff"), css("@import \xC0\xAF"), css("\xED\xA0\x80")}},
        // 3 required files + assets + manifest + signature: 200 entries pass, 201 do not; six
        // listed files of 5 MiB each stop the walk at the one that passes 25 MiB.
        {"ok", {with("", "a", 195)}}, {"功能包文件数量超限", {with("", "a", 196)}},
        {"功能包文件校验失败：assets/", {with("", std::string(5 << 20, 'a'), 6)}},
    };
    for (const auto& [expected, packs] : cases)
        for (const auto& pack : packs) EXPECT_TRUE(validate(pack).starts_with(expected)) << validate(pack);

    // What is on disk must be exactly what the signed list says, signed by the configured key,
    // which is read afresh.
    auto put = [](const char* f, std::string s) -> Tamper { return [=](auto& p) { test::writeFile(p / f, s); }; };
    auto remove = [](const char* f) -> Tamper { return [=](auto& p) { fs::remove(p / f); }; };
    auto fifo = [](const char* f) -> Tamper {
        return [=](auto& p) { fs::remove(p / f), ::mkfifo((p / f).c_str(), 0644); };
    };
    auto sign = [](std::function<std::string(const std::string&)> signature) -> Tamper {  // of the manifest's bytes
        return [=](auto& p) { test::writeFile(p / "manifest.sig", signature(test::readFile(p / "manifest.json"))); };
    };
    const std::pair<std::string, std::vector<Tamper>> tampered[] = {
        {"ok", {[](auto& p) { fs::create_directories(p / "assets/a/b"); },
                sign([](auto& m) { return "\u00A0\r\n" + test::base64(key.sign(m)) + "\u2028\u0085 \t\n"; })}},
        {"JSON:manifest.json is not valid JSON",
         {[&](auto& p) { put("manifest.json", "{")(p), put("manifest.sig", test::base64(key.sign("{")))(p); }}},
        {"功能包数字签名无效",
         {[](auto& p) { test::writeFile(p / "manifest.json", test::readFile(p / "manifest.json") + " "); },
          sign([](auto& m) { return test::base64(key.sign(m)).insert(40, "\n"); }),
          sign([](auto& m) { return test::base64(key.sign(m).substr(0, 63)); }),
          sign([](auto& m) { return test::base64(test::SigningKey().sign(m)); }),
          [](auto& p) { key.writePublicKeyFile(p / "../key.json", "feature-pack-ed25519-v2"); },
          put("../key.json", R"({"key_id":"feature-pack-ed25519-v1","public_key_raw_base64":")" +
                                 test::base64(std::string(31, 'k')) + "\"}"),
          remove("../key.json"), remove("manifest.sig")}},
        {"功能包包含未登记文件：assets/deep/x.png", {put("assets/deep/x.png", "x")}},
        {"功能包不允许符号链接", {[](auto& p) { fs::create_symlink("bg.png", p / "assets/alias.png"); }}},
        // FIFOs are refused without waiting for a writer.
        {"功能包文件校验失败：assets/bg.png", {put("assets/bg.png", "png-bytes "), fifo("assets/bg.png")}},
        {"功能包文件清单不完整", {remove("assets/bg.png")}},
        // The manifest is read before the walk that refuses links and oversized files: it is held to both.
        {"POSIX:", {fifo("manifest.json"), put("manifest.json", std::string((5 << 20) + 1, ' ')),
                    [](auto& p) { fs::rename(p / "manifest.json", p / "m.json"), fs::create_symlink("m.json", p / "manifest.json"); }}},
    };
    const auto bg = with("assets/bg.png", "png-bytes");
    for (const auto& [expected, tampers] : tampered)
        for (const auto& tamper : tampers) EXPECT_TRUE(validate(bg, tamper).starts_with(expected)) << expected;
}
