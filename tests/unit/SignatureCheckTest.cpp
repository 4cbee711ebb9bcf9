#include <gtest/gtest.h>

#include "featurepack/FeaturePackUpdater.h"
#include "tests/support/TestSupport.h"

using namespace taviro;

namespace {

const std::string kManifest = R"({"schema_version":1,"component":"ui-rules","revision":3})";

struct Signatures {
    test::TempDir dir;
    test::SigningKey key;
    test::ScopedEnv env;
    std::string good = test::base64(key.sign(kManifest));

    Signatures() {
        env.set("VORDA_FEATURE_PACK_TEST_ROOT", (dir / "store").string())
            .set("VORDA_FEATURE_PUBLIC_KEY", key.writePublicKeyFile(dir / "key.json").string());
    }
    // "ok", or the refusal as "domain code description".
    std::string check(const std::string& manifest, const std::string& signatureText) {
        test::writeFile(dir / "manifest.sig", signatureText);
        auto result = FeaturePackUpdater("1.0.73", nullptr).verifySignature(manifest, dir / "manifest.sig");
        return result ? "ok" : result.error().domain + " " + std::to_string(result.error().code) + " " + result.error().description;
    }
    std::string keyFile(const std::string& rawKey, const std::string& keyId = "feature-pack-ed25519-v1") {
        return "{\"key_id\":\"" + keyId + "\",\"public_key_raw_base64\":\"" + rawKey + "\"}";
    }
};

const std::string kRefused = "VordaFeaturePack 1 功能包数字签名无效";

}  // namespace

TEST(SignatureCheck, OnlyTheSignatureOfTheExactBytesByTheConfiguredKey) {
    Signatures s;
    const std::string good = s.good;
    EXPECT_EQ(s.check(kManifest, "  \r\n" + good + " \t\n\n"), "ok");
    const std::pair<std::string, std::string> refused[] = {
        {R"({"schema_version": 1, "component":"ui-rules","revision":3})", good},  // same JSON, other bytes
        {R"({"component":"ui-rules","schema_version":1,"revision":3})", good},
        {kManifest + "\n", good},
        {kManifest, good.substr(0, 40) + "\n" + good.substr(40)},  // wrapped
        {kManifest, good.substr(0, 40) + " " + good.substr(40)},
        {kManifest, good + "."},
        {kManifest, good + "\xff"},
        {kManifest, ""},
        {kManifest, test::base64(s.key.sign(kManifest).substr(0, 63))},
        {kManifest, test::base64(s.key.sign(kManifest) + "x")},
        {kManifest, test::base64(test::SigningKey().sign(kManifest))},
    };
    for (const auto& [manifest, signature] : refused) EXPECT_EQ(s.check(manifest, signature), kRefused) << signature;
    auto missing = FeaturePackUpdater("1.0.73", nullptr).verifySignature(kManifest, s.dir / "no-such.sig");
    EXPECT_TRUE(!missing && missing.error().description == "功能包数字签名无效");
}

TEST(SignatureCheck, ABadOrMissingKeyFileTrustsNothing) {
    Signatures s;
    const std::string raw = s.key.rawPublicKey(), encoded = test::base64(raw);
    for (const std::string& content :
         {s.keyFile(encoded, "feature-pack-ed25519-v2"), "{\"public_key_raw_base64\":\"" + encoded + "\"}",
          s.keyFile(test::base64(raw.substr(0, 31))), s.keyFile(test::base64(raw + "x")),
          s.keyFile(std::string(encoded).insert(20, "\\n")),
          std::string("{\"key_id\":\"feature-pack-ed25519-v1\",\"public_key_raw_base64\":5}"), std::string("[1]"),
          std::string("key_id=feature-pack-ed25519-v1")}) {
        test::writeFile(s.dir / "key.json", content);
        EXPECT_EQ(s.check(kManifest, s.good), kRefused) << content;
    }
    // The key is read afresh on every call: restoring the file is seen at once.
    test::writeFile(s.dir / "key.json", s.keyFile(encoded));
    EXPECT_EQ(s.check(kManifest, s.good), "ok");
    // No file, an empty path, or no variable at all (this test program lives in no package).
    for (std::optional<std::string> path : {std::optional<std::string>((s.dir / "none.json").string()),
                                            std::optional<std::string>(""), std::optional<std::string>()}) {
        test::ScopedEnv env("VORDA_FEATURE_PUBLIC_KEY", path);
        EXPECT_EQ(s.check(kManifest, s.good), kRefused) << path.value_or("(unset)");
    }
}
