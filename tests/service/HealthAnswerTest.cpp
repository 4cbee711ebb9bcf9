#include <gtest/gtest.h>

#include "platform/HttpClient.h"
#include "service/HealthAnswer.h"

using namespace taviro;

// The supervisor's tests prove, with the scripted service, that "ok": false is refused and a healthy
// answer taken; the fuzz target feeds malformed bodies. Here the other rules.
TEST(HealthAnswer, OnlyTheRightServiceWithTheActivePackIsReady) {
    const std::string app = R"({"app": "vorda-kinoloom")", pack = app + R"(, "feature_pack": {"revision": )";
    // status, body, active revision, ready
    const std::tuple<long, std::optional<std::string>, std::int64_t, bool> cases[] = {
        {200, app + "}", 0, true}, {299, app + "}", 0, true}, {300, app + "}", 0, false}, {204, std::nullopt, 0, false},
        {200, app + "}", 3, false}, {200, pack + "4}}", 3, false},  // the active pack not reported
        {200, pack + "3.0}}", 3, true}, {200, pack + "3.5}}", 0, true},  // not an integer: none
        {200, app + R"(, "ok": "false"})", 0, true},  // only a boolean false refuses
        {200, R"({"app": "vorda-kinoloom-2", "ok": true})", 0, false}, {200, "[" + app + "}]", 0, false},
    };
    for (const auto& [status, body, active, ready] : cases) {
        EXPECT_EQ(isReadyHealthAnswer(platform::HttpResponse{status, body}, active), ready) << status << body.value_or("");
    }
}
