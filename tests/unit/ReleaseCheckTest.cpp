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

// A 404, an answer with no release and the check's address are in the self-update's tests, the
// query's encoding in the pack check's, and crashes on odd shapes in the fuzz target's.
TEST(ReleaseCheck, AnswersAreReadAsNothingNewerAReleaseOrAFailure) {
    const std::string url = R"("download_url":"https://u.example/p.zip")";
    auto offer = [&](const std::string& version, const std::string& more = "") {
        return ok(R"({"update_available":true,"release":{"version":")" + version + "\"," + url + more + "}}");
    };
    const std::pair<Result<platform::HttpResponse>, std::string> cases[] = {
        {std::unexpected(Error{"CURL", 7, "no route"}), "error 2"},
        {ok("{"), "error 2"},
        {ok(R"({"update_available":"true","release":{"version":"2"}})"), "none"},
        {ok(R"({"update_available":true,"release":{}})"), "error 3"},
        {ok(R"({"update_available":true,"release":{"version":2,)" + url + "}}"), "error 3"},
        {ok(R"({"update_available":true,"release":{"version":"1.0.10","download_url":"p.zip"}})"), "error 3"},
        {offer("1.0.9"), "none"},
        {offer("1.0.10", R"(,"signature":" AB ")"), "1.0.10 https://u.example/p.zip  AB "},
        // The version names a folder: nothing but a plain version is taken.
        {offer("../2.0"), "error 3"},
        {offer("2.0/x"), "error 3"},
        {offer("2..0"), "error 3"},
        {offer("2.0.\xc3\xa9"), "error 3"},  // ASCII only
        {ok(R"({"update_available":true,"release":{"version":"1.0.10"}})"), "error 3"},  // no address
        {offer(std::string(64, '9')), std::string(64, '9') + " https://u.example/p.zip -"},
        {offer(std::string(65, '9')), "error 3"},
    };
    for (const auto& [answer, expected] : cases) EXPECT_EQ(read(answer), expected) << (answer ? *answer->body : "");
    EXPECT_EQ(read(offer("2.0.0-beta+1_a"), "1.0.73"), "2.0.0-beta+1_a https://u.example/p.zip -");
    // Versions compare by the value of their digit runs.
    const std::tuple<const char*, const char*, int> orders[] = {
        {"1.0.10", "1.0.9", 1}, {"1.0", "1.0.0", -1}, {"1.00.1", "1.0.1", 0}, {"2.0.0-beta", "2.0.0", 1}, {"", "0", -1}};
    for (auto [a, b, order] : orders) EXPECT_EQ(compareNumericStrings(a, b), order) << a << " vs " << b;
}
