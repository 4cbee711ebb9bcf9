// Reading the update server's answer to a release check.
#include <gtest/gtest.h>

#include "selfupdate/ReleaseCheck.h"

using namespace taviro;

namespace {

// "error N", "none", or "VERSION URL DIGEST" ("-" for no digest).
std::string read(const Result<platform::HttpResponse>& answer, const char* current = "1.0.9") {
    auto result = readReleaseCheck(answer, current);
    if (auto* error = std::get_if<Error>(&result)) return "error " + std::to_string(error->code);
    if (std::holds_alternative<NoNewerRelease>(result)) return "none";
    const auto& release = std::get<ReleaseDescription>(result);
    return release.version + " " + release.downloadURL + " " + release.expectedSHA256.value_or("-");
}

platform::HttpResponse ok(const std::string& body) { return {200, body}; }

}  // namespace

TEST(ReleaseCheck, AnswersAreReadAsNothingNewerAReleaseOrAFailure) {
    const std::string url = R"("download_url":"https://u.example/p.zip")";
    const std::pair<Result<platform::HttpResponse>, std::string> cases[] = {
        {std::unexpected(Error{"CURL", 7, "no route"}), "error 2"},
        {platform::HttpResponse{404, "{}"}, "error 2"},
        {platform::HttpResponse{200, std::nullopt}, "error 2"},
        {ok("[1]"), "error 2"},
        {ok("{"), "error 2"},
        {ok(R"({"update_available":"true","release":{"version":"2"}})"), "none"},
        {ok(R"({"update_available":true})"), "none"},
        {ok(R"({"update_available":true,"release":[]})"), "none"},
        {ok(R"({"update_available":true,"release":{}})"), "error 3"},
        {ok(R"({"update_available":true,"release":{"version":2,)" + url + "}}"), "error 3"},
        {ok(R"({"update_available":true,"release":{"version":"1.0.10"}})"), "error 3"},
        {ok(R"({"update_available":true,"release":{"version":"1.0.10","download_url":"p.zip"}})"), "error 3"},
        {ok(R"({"update_available":true,"release":{"version":"1.0.9",)" + url + "}}"), "none"},
        {ok(R"({"update_available":true,"release":{"version":"1.0.8",)" + url + "}}"), "none"},
        {ok(R"({"update_available":true,"release":{"version":"1.0.10",)" + url + "}}"),
         "1.0.10 https://u.example/p.zip -"},
        {ok(R"({"update_available":true,"release":{"version":"1.0.10",)" + url + R"(,"signature":" AB "}})"),
         "1.0.10 https://u.example/p.zip  AB "},
        // The version names a folder: nothing but a plain version is taken.
        {ok(R"({"update_available":true,"release":{"version":"../2.0",)" + url + "}}"), "error 3"},
        {ok(R"({"update_available":true,"release":{"version":"2.0/x",)" + url + "}}"), "error 3"},
        {ok(R"({"update_available":true,"release":{"version":".2",)" + url + "}}"), "error 3"},
        {ok(R"({"update_available":true,"release":{"version":")" + std::string(65, '9') + "\"," + url + "}}"), "error 3"},
    };
    for (const auto& [answer, expected] : cases) EXPECT_EQ(read(answer), expected) << (answer ? *answer->body : "");
    EXPECT_EQ(read(ok(R"({"update_available":true,"release":{"version":"2.0.0-beta+1_a",)" + url + "}}"), "1.0.73"),
              "2.0.0-beta+1_a https://u.example/p.zip -");
}

TEST(ReleaseCheck, VersionsCompareByTheValueOfTheirDigitRunsAndTheQueryIsEncoded) {
    const std::tuple<const char*, const char*, int> orders[] = {
        {"1.0.10", "1.0.9", 1}, {"1.0.9", "1.0.37", -1}, {"1.0", "1.0.0", -1}, {"1.00.1", "1.0.1", 0},
        {"2.0.0-beta", "2.0.0", 1}, {"10", "9", 1}, {"", "0", -1}};
    for (auto [a, b, order] : orders) EXPECT_EQ(compareNumericStrings(a, b), order) << a << " vs " << b;
    EXPECT_TRUE(releaseCheckURL("https://api.example", "1.0 +x").starts_with(
        "https://api.example/api/updates/check?current=1.0%20%2Bx&channel=stable&platform=linux-"));
}
