#include <gtest/gtest.h>

#include "featurepack/FeaturePackUpdater.h"
#include "tests/support/TestSupport.h"

using namespace taviro;

TEST(SignatureCheck, OnlyTheSignatureOfTheExactBytesByTheConfiguredKey) {
    test::TempDir dir;
    test::SigningKey key;
    test::ScopedEnv env("VORDA_FEATURE_PACK_TEST_ROOT", (dir / "store").string());
    const std::string manifest = R"({"schema_version":1,"component":"ui-rules","revision":3})";
    const std::string good = test::base64(key.sign(manifest)), raw = key.rawPublicKey(), encoded = test::base64(raw);
    auto keyFile = [](const std::string& rawBase64, const std::string& keyId = "feature-pack-ed25519-v1") {
        return "{\"key_id\":\"" + keyId + "\",\"public_key_raw_base64\":\"" + rawBase64 + "\"}";
    };
    // "" as the signed bytes: the manifest itself; nullopt as the key file: no file at that path.
    const std::tuple<std::string, std::string, std::optional<std::string>, bool> cases[] = {
        {"", "  \r\n" + good + " \t\n\n", keyFile(encoded), true},
        {R"({"schema_version": 1, "component":"ui-rules","revision":3})", good, keyFile(encoded), false},  // same JSON
        {R"({"component":"ui-rules","schema_version":1,"revision":3})", good, keyFile(encoded), false},
        {manifest + "\n", good, keyFile(encoded), false},
        {"", good.substr(0, 40) + "\n" + good.substr(40), keyFile(encoded), false},  // wrapped
        {"", good.substr(0, 40) + " " + good.substr(40), keyFile(encoded), false},
        {"", good + ".", keyFile(encoded), false}, {"", good + "\xff", keyFile(encoded), false}, {"", "", keyFile(encoded), false},
        {"", test::base64(key.sign(manifest).substr(0, 63)), keyFile(encoded), false},
        {"", test::base64(key.sign(manifest) + "x"), keyFile(encoded), false},
        {"", test::base64(test::SigningKey().sign(manifest)), keyFile(encoded), false},
        {"", good, keyFile(encoded, "feature-pack-ed25519-v2"), false}, {"", good, "{\"public_key_raw_base64\":\"" + encoded + "\"}", false},
        {"", good, keyFile(test::base64(raw.substr(0, 31))), false}, {"", good, keyFile(test::base64(raw + "x")), false},
        {"", good, keyFile(std::string(encoded).insert(20, "\\n")), false},
        {"", good, "{\"key_id\":\"feature-pack-ed25519-v1\",\"public_key_raw_base64\":5}", false},
        {"", good, "[1]", false}, {"", good, "key_id=feature-pack-ed25519-v1", false}, {"", good, std::nullopt, false},
        {"", good, keyFile(encoded), true},  // the key is read afresh on every call
    };
    for (const auto& [signedBytes, signature, keyContent, accepted] : cases) {
        std::filesystem::remove(dir / "key.json");
        if (keyContent) test::writeFile(dir / "key.json", *keyContent);
        test::writeFile(dir / "manifest.sig", signature);
        env.set("VORDA_FEATURE_PUBLIC_KEY", (dir / "key.json").string());
        auto result = FeaturePackUpdater("1.0.73", nullptr).verifySignature(signedBytes.empty() ? manifest : signedBytes, dir / "manifest.sig");
        EXPECT_TRUE(accepted ? bool(result)
                             : !result && result.error().domain == "VordaFeaturePack" && result.error().code == 1 &&
                                   result.error().description == "功能包数字签名无效")
            << signature << " " << keyContent.value_or("(no key file)");
    }
    // No signature file, an empty key path, or no variable at all (this program lives in no package).
    EXPECT_FALSE(FeaturePackUpdater("1.0.73", nullptr).verifySignature(manifest, dir / "no-such.sig"));
    for (const std::optional<std::string>& path : {std::optional<std::string>(""), std::optional<std::string>()}) {
        env.set("VORDA_FEATURE_PUBLIC_KEY", path);
        EXPECT_FALSE(FeaturePackUpdater("1.0.73", nullptr).verifySignature(manifest, dir / "manifest.sig"));
    }
}
