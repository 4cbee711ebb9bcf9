#include <gtest/gtest.h>

#include "featurepack/FeaturePackUpdater.h"
#include "tests/support/TestSupport.h"

using namespace taviro;
using test::ScopedEnv;
using test::TempDir;

namespace {

const std::string kManifest = R"({"schema_version":1,"component":"ui-rules","revision":3})";

struct SignatureFixture {
    TempDir dir;
    test::SigningKey key;
    ScopedEnv env;
    std::unique_ptr<FeaturePackUpdater> updater;

    SignatureFixture() {
        env.set("VORDA_FEATURE_PACK_TEST_ROOT", (dir / "store").string())
            .set("VORDA_FEATURE_PUBLIC_KEY", key.writePublicKeyFile(dir / "key.json").string());
        updater = std::make_unique<FeaturePackUpdater>("1.0.73", nullptr);
    }

    VoidResult check(const std::string& manifest, const std::string& signatureText) {
        test::writeFile(dir / "manifest.sig", signatureText);
        return updater->verifySignature(manifest, dir / "manifest.sig");
    }
    std::string signatureText() const { return test::base64(key.sign(kManifest)); }
};

void expectRefused(const VoidResult& result, const std::string& name) {
    ASSERT_FALSE(result) << name;
    EXPECT_EQ(result.error().domain, "VordaFeaturePack") << name;
    EXPECT_EQ(result.error().code, 1) << name;
    EXPECT_EQ(result.error().description, "功能包数字签名无效") << name;
}

}  // namespace

TEST(SignatureCheck, AcceptsTheSignatureOfTheExactBytesOnly) {
    SignatureFixture f;
    std::string good = f.signatureText();
    EXPECT_TRUE(f.check(kManifest, good));
    EXPECT_TRUE(f.check(kManifest, good + "\n"));
    EXPECT_TRUE(f.check(kManifest, "  \r\n" + good + " \t\n\n"));

    struct Case {
        const char* name;
        std::string manifest;
        std::string signature;
    } refused[] = {
        {"same JSON, other white space", R"({"schema_version": 1, "component":"ui-rules","revision":3})", good},
        {"same JSON, other key order", R"({"component":"ui-rules","schema_version":1,"revision":3})", good},
        {"trailing newline in manifest", kManifest + "\n", good},
        {"wrapped over two lines", kManifest, good.substr(0, 40) + "\n" + good.substr(40)},
        {"blank inside", kManifest, good.substr(0, 40) + " " + good.substr(40)},
        {"foreign character after", kManifest, good + "."},
        {"empty signature file", kManifest, ""},
        {"63-byte signature", kManifest, test::base64(f.key.sign(kManifest).substr(0, 63))},
        {"65-byte signature", kManifest, test::base64(f.key.sign(kManifest) + "x")},
        {"signature by another key", kManifest, test::base64(test::SigningKey().sign(kManifest))},
        {"not UTF-8", kManifest, good + "\xff"},
    };
    for (const auto& c : refused) expectRefused(f.check(c.manifest, c.signature), c.name);
    expectRefused(f.updater->verifySignature(kManifest, f.dir / "no-such.sig"), "missing signature file");
}

TEST(SignatureCheck, BadKeyFilesRefuseEveryPack) {
    SignatureFixture f;
    std::string good = f.signatureText();
    std::string raw = f.key.rawPublicKey();
    struct Case {
        const char* name;
        std::string content;
    } cases[] = {
        {"other key id", "{\"key_id\":\"feature-pack-ed25519-v2\",\"public_key_raw_base64\":\"" + test::base64(raw) + "\"}"},
        {"key id missing", "{\"public_key_raw_base64\":\"" + test::base64(raw) + "\"}"},
        {"31-byte key", "{\"key_id\":\"feature-pack-ed25519-v1\",\"public_key_raw_base64\":\"" + test::base64(raw.substr(0, 31)) + "\"}"},
        {"33-byte key", "{\"key_id\":\"feature-pack-ed25519-v1\",\"public_key_raw_base64\":\"" + test::base64(raw + "x") + "\"}"},
        {"key with a line break", "{\"key_id\":\"feature-pack-ed25519-v1\",\"public_key_raw_base64\":\"" + test::base64(raw).insert(20, "\\n") + "\"}"},
        {"key not a string", "{\"key_id\":\"feature-pack-ed25519-v1\",\"public_key_raw_base64\":5}"},
        {"empty object", "{}"},
        {"array", "[1]"},
        {"not JSON", "key_id=feature-pack-ed25519-v1"},
    };
    for (const auto& c : cases) {
        test::writeFile(f.dir / "key.json", c.content);
        expectRefused(f.check(kManifest, good), c.name);
    }

    // The key file is read afresh on every call: restoring it is seen at once.
    f.key.writePublicKeyFile(f.dir / "key.json");
    EXPECT_TRUE(f.check(kManifest, good));

    ScopedEnv missing("VORDA_FEATURE_PUBLIC_KEY", (f.dir / "missing.json").string());
    expectRefused(f.check(kManifest, good), "key path that does not exist");
    ScopedEnv empty("VORDA_FEATURE_PUBLIC_KEY", "");
    expectRefused(f.check(kManifest, good), "empty key path");
}

TEST(SignatureCheck, WithoutAPackageOrVariableNoKeyIsTrusted) {
    SignatureFixture f;
    // The test binary does not live in a package, so there is no key resource to fall back on.
    ScopedEnv unset("VORDA_FEATURE_PUBLIC_KEY", std::nullopt);
    expectRefused(f.check(kManifest, f.signatureText()), "no key file at all");
}
