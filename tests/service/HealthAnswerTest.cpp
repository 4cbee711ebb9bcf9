#include <gtest/gtest.h>

#include "platform/HttpClient.h"
#include "service/HealthAnswer.h"

using namespace taviro;

TEST(HealthAnswer, OnlyTheRightServiceWithTheActivePackIsReady) {
    // status, body, active revision, ready
    const std::tuple<long, std::optional<std::string>, std::int64_t, bool> cases[] = {
        {200, R"({"app": "vorda-kinoloom"})", 0, true},
        {200, R"({"app": "vorda-kinoloom"})", 3, false},  // the active pack not reported
        {200, R"({"app": "vorda-kinoloom", "ok": true, "feature_pack": {"revision": 3, "version": "3.0.0"}})", 3, true},
        {200, R"({"app": "vorda-kinoloom", "ok": true, "feature_pack": {"revision": 2}})", 3, false},
        {200, R"({"app": "vorda-kinoloom", "feature_pack": {"revision": 3.0}})", 3, true},
        {200, R"({"app": "vorda-kinoloom", "feature_pack": {"revision": 3.5}})", 0, true},  // not an integer: none
        {200, R"({"app": "vorda-kinoloom", "feature_pack": [3]})", 0, true},
        {200, R"({"app": "vorda-kinoloom", "ok": false, "feature_pack": {"revision": 0}})", 0, false},
        {200, R"({"app": "vorda-kinoloom", "ok": "false"})", 0, true},  // only a boolean false refuses
        {200, R"({"app": "vorda-kinoloom-2", "ok": true})", 0, false},
        {200, "{}", 0, false},
        {200, R"([{"app": "vorda-kinoloom"}])", 0, false},
        {200, "vorda-kinoloom", 0, false},
        {204, std::nullopt, 0, false},
        {201, R"({"app": "vorda-kinoloom"})", 0, true},
        {500, R"({"app": "vorda-kinoloom"})", 0, false},
    };
    for (const auto& [status, body, active, ready] : cases) {
        EXPECT_EQ(isReadyHealthAnswer(platform::HttpResponse{status, body}, active), ready) << body.value_or("(none)");
    }
}
