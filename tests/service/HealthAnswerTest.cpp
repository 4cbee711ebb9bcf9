#include <gtest/gtest.h>

#include "platform/HttpClient.h"
#include "service/HealthAnswer.h"

using namespace taviro;

TEST(HealthAnswer, OnlyTheRightServiceWithTheActivePackIsReady) {
    struct Case {
        const char* path;
        int status;
        std::optional<std::string> body;
        std::int64_t activeRevision;
        bool ready;
    };
    const Case cases[] = {
        {"/plain", 200, R"({"app": "vorda-kinoloom"})", 0, true},
        {"/plain-with-pack", 200, R"({"app": "vorda-kinoloom"})", 3, false},
        {"/full", 200, R"({"app": "vorda-kinoloom", "ok": true, "feature_pack": {"revision": 3, "version": "3.0.0"}})", 3, true},
        {"/other-revision", 200, R"({"app": "vorda-kinoloom", "ok": true, "feature_pack": {"revision": 2}})", 3, false},
        {"/revision-as-float", 200, R"({"app": "vorda-kinoloom", "feature_pack": {"revision": 3.0}})", 3, true},
        {"/revision-as-fraction", 200, R"({"app": "vorda-kinoloom", "feature_pack": {"revision": 3.5}})", 0, true},
        {"/revision-as-text", 200, R"({"app": "vorda-kinoloom", "feature_pack": {"revision": "3"}})", 3, false},
        {"/revision-as-text-builtin", 200, R"({"app": "vorda-kinoloom", "feature_pack": {"revision": "3"}})", 0, true},
        {"/pack-not-object", 200, R"({"app": "vorda-kinoloom", "feature_pack": [3]})", 0, true},
        {"/ok-false", 200, R"({"app": "vorda-kinoloom", "ok": false, "feature_pack": {"revision": 0}})", 0, false},
        {"/ok-text", 200, R"({"app": "vorda-kinoloom", "ok": "false", "feature_pack": {"revision": 0}})", 0, true},
        {"/ok-zero", 200, R"({"app": "vorda-kinoloom", "ok": 0})", 0, true},
        {"/other-app", 200, R"({"app": "vorda-kinoloom-2", "ok": true})", 0, false},
        {"/empty-object", 200, "{}", 0, false},
        {"/array", 200, R"([{"app": "vorda-kinoloom"}])", 0, false},
        {"/not-json", 200, "vorda-kinoloom", 0, false},
        {"/no-content", 204, std::nullopt, 0, false},
        {"/created", 201, R"({"app": "vorda-kinoloom"})", 0, true},
        {"/server-error", 500, R"({"app": "vorda-kinoloom"})", 0, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isReadyHealthAnswer(platform::HttpResponse{c.status, c.body}, c.activeRevision), c.ready) << c.path;
    }
}
