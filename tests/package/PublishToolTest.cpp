// The publishing tool refuses, in the application's own words, what the application would refuse
// (one row: both run the same check, whose rows are the pack validation's), and leaves nothing behind.
#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

using namespace taviro;
namespace fs = std::filesystem;

TEST(PublishTool, RefusesWhatTheApplicationWouldRefuseAndLeavesNothing) {
    test::TempDir dir;
    auto publish = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), TAVIRO_PUBLISH_TOOL);
        return test::runCaptured(arguments);
    };
    ASSERT_EQ(publish({"keygen", "--out", dir / "keys"}).status, 0);
    ASSERT_EQ(publish({"keygen", "--out", dir / "keys", "--purpose", "updates"}).status, 0);
    struct Case { std::string name, key; std::function<void(const fs::path&)> change; std::string said; };
    const Case cases[] = {
        {"css", "feature-pack", [](auto& s) { test::writeFile(s / "ui-overrides.css", "@import \"x.css\";"); },
         "功能包 CSS 包含外部或危险引用"},
        {"update key", "update", [](auto&) {}, "is not a private key for feature packs"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path source = dir / "source", out = dir / "out";
        fs::remove_all(source), fs::create_directories(source / "assets"), fs::create_directories(out);
        for (const char* name : {"ui.json", "generation_rules.json"}) test::writeFile(source / name, "{}");
        test::writeFile(source / "ui-overrides.css", ".toolbar { color: red; }");
        c.change(source);
        auto run = publish({"pack", source, "--revision", "2", "--version", "2.0.0", "--min-app-version", "1.0.0",
                            "--max-app-version-exclusive", "2.0.0", "--key", dir / "keys" / (c.key + "-private-key.json"),
                            "--out", out / "2.zip"});
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
        EXPECT_TRUE(fs::is_empty(out));
    }
}
