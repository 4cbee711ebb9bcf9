#include <gtest/gtest.h>

#include "featurepack/FeaturePackUpdater.h"
#include "tests/support/TestSupport.h"

using namespace taviro;

TEST(CssCheck, RefusesExternalAndDangerousReferencesInAnyLetterCase) {
    test::TempDir dir;
    test::ScopedEnv env("VORDA_FEATURE_PACK_TEST_ROOT", (dir / "store").string());
    FeaturePackUpdater updater("1.0.73", nullptr);
    auto css = dir / "ui-overrides.css";

    struct Case {
        const char* name;
        std::string content;
        bool accepted;
    } cases[] = {
        {"empty", "", true},
        {"relative url", ".a { background: url(assets/bg.png); }", true},
        {"data url", ".a { background: url(data:image/png;base64,AAAA); }", true},
        {"two spaces before slash", ".a { background: url(  /x.png); }", true},
        {"quote before slash", ".a { background: url('/x.png'); }", true},
        {"Chinese comment", "/* 标题 */ .t { color: red; }", true},
        {"dotted capital I is not i", "@\xC4\xB0mport 'x.css';", true},
        {"escape not starting with zero", ".a::before { content: '\\41'; }", true},
        {"import", "@import 'x.css';", false},
        {"import in capitals inside a comment", "/* @IMPORT url(x.css) */", false},
        {"secure web address in capitals", ".a { background: url(HTTPS://EXAMPLE.COM/a.png); }", false},
        {"web address", ".a { background: url(http://x/a.png); }", false},
        {"script address", ".a { background: url(JavaScript:alert(1)); }", false},
        {"file address", ".a { background: url(file:///etc/passwd); }", false},
        {"root-relative url", ".a { background: url(/x.png); }", false},
        {"protocol-relative url", ".a { background: url(//x/a.png); }", false},
        {"one space before slash", ".a { background: url( /x.png); }", false},
        {"URL in capitals", ".a { background: URL(/x.png); }", false},
        {"escape starting with zero", ".a::before { content: '\\000040'; }", false},
        {"fragment inside a string", ".a::after { content: \"see https://x\"; }", false},
    };
    for (const auto& c : cases) {
        test::writeFile(css, c.content);
        auto result = updater.validateCSS(css);
        if (c.accepted) {
            EXPECT_TRUE(result) << c.name;
        } else {
            ASSERT_FALSE(result) << c.name;
            EXPECT_EQ(result.error().domain, "VordaFeaturePack") << c.name;
            EXPECT_EQ(result.error().description, "功能包 CSS 包含外部或危险引用") << c.name;
        }
    }
}

TEST(CssCheck, UnreadableOrNonUtf8StylesheetIsAPlatformError) {
    test::TempDir dir;
    test::ScopedEnv env("VORDA_FEATURE_PACK_TEST_ROOT", (dir / "store").string());
    FeaturePackUpdater updater("1.0.73", nullptr);

    // Invalid UTF-8 is a read failure even when it hides a forbidden fragment.
    for (std::string content : {std::string(".a{}\xff"), std::string("@import \xC0\xAF"), std::string("\xED\xA0\x80")}) {
        test::writeFile(dir / "bad.css", content);
        auto result = updater.validateCSS(dir / "bad.css");
        ASSERT_FALSE(result);
        EXPECT_NE(result.error().domain, "VordaFeaturePack");
    }
    auto missing = updater.validateCSS(dir / "missing.css");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().domain, "POSIX");
}
