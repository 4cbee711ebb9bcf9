#include <gtest/gtest.h>

#include "featurepack/FeaturePackUpdater.h"
#include "tests/support/TestSupport.h"

using namespace taviro;

TEST(CssCheck, RefusesReferencesOutsideThePackInAnyLetterCaseOrEscape) {
    test::TempDir dir;
    test::ScopedEnv env("VORDA_FEATURE_PACK_TEST_ROOT", (dir / "store").string());
    FeaturePackUpdater updater("1.0.73", nullptr);
    auto check = [&](const std::string& content) {
        test::writeFile(dir / "ui-overrides.css", content);
        auto result = updater.validateCSS(dir / "ui-overrides.css");
        return result ? "ok" : result.error().domain + " " + result.error().description;
    };
    for (const char* accepted : {"", ".a { background: url(assets/bg.png); }", ".a { background: url(data:image/png;base64,AA); }",
                                 ".a { background: url(  /x.png); }", ".a { background: url('/x.png'); }",
                                 "/* 标题 */ .t { color: red; }", "@\xC4\xB0mport 'x.css';", ".a::before { content: '\\41'; }"}) {
        EXPECT_EQ(check(accepted), "ok") << accepted;
    }
    for (const char* refused : {"@import 'x.css';", "/* @IMPORT url(x.css) */", ".a { background: url(HTTPS://EXAMPLE.COM/a.png); }",
                                ".a { background: url(http://x/a.png); }", ".a { background: url(JavaScript:alert(1)); }",
                                ".a { background: url(file:///etc/passwd); }", ".a { background: url(/x.png); }",
                                ".a { background: url(//x/a.png); }", ".a { background: url( /x.png); }",
                                ".a { background: URL(/x.png); }", ".a::before { content: '\\000040'; }",
                                ".a::after { content: \"see https://x\"; }"}) {
        EXPECT_EQ(check(refused), "VordaFeaturePack 功能包 CSS 包含外部或危险引用") << refused;
    }
    // Invalid UTF-8 is a read failure, even when it hides a forbidden fragment; so is no file.
    for (const char* unreadable : {".a{}\xff", "@import \xC0\xAF", "\xED\xA0\x80"}) {
        auto outcome = check(unreadable);
        EXPECT_TRUE(outcome != "ok" && !outcome.starts_with("VordaFeaturePack")) << outcome;
    }
    auto missing = updater.validateCSS(dir / "missing.css");
    EXPECT_TRUE(!missing && missing.error().domain == "POSIX");
}
