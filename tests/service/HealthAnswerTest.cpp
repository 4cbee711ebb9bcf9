#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/HttpClient.h"
#include "service/HealthAnswer.h"
#include "tests/support/TestSupport.h"

using namespace taviro;

namespace {

// The canned server in a child process, stopped at the end of the scope.
class CannedServer {
public:
    explicit CannedServer(const nlohmann::json& answers) {
        test::writeFile(dir_ / "answers.json", answers.dump());
        int pipeEnds[2];
        if (::pipe(pipeEnds) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(pipeEnds[1], STDOUT_FILENO);
            ::close(pipeEnds[0]);
            std::string script = std::string(TAVIRO_TEST_SUPPORT_DIR) + "/canned-http-server.py";
            std::string answersFile = (dir_ / "answers.json").string();
            ::execlp("python3", "python3", script.c_str(), answersFile.c_str(), nullptr);
            ::_exit(127);
        }
        ::close(pipeEnds[1]);
        FILE* out = ::fdopen(pipeEnds[0], "r");
        if (out && std::fscanf(out, "%d", &port_) != 1) port_ = 0;
        if (out) std::fclose(out);
    }
    ~CannedServer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    int port() const { return port_; }

private:
    test::TempDir dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace

TEST(HealthAnswer, RulesAgainstARealServer) {
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
        {"/ok-null", 200, R"({"app": "vorda-kinoloom", "ok": null})", 0, true},
        {"/ok-zero", 200, R"({"app": "vorda-kinoloom", "ok": 0})", 0, true},
        {"/other-app", 200, R"({"app": "vorda-kinoloom-2", "ok": true})", 0, false},
        {"/app-not-text", 200, R"({"app": 1})", 0, false},
        {"/empty-object", 200, "{}", 0, false},
        {"/array", 200, R"([{"app": "vorda-kinoloom"}])", 0, false},
        {"/not-json", 200, "vorda-kinoloom", 0, false},
        {"/no-content", 204, std::nullopt, 0, false},
        {"/created", 201, R"({"app": "vorda-kinoloom"})", 0, true},
        {"/redirect", 302, R"({"app": "vorda-kinoloom"})", 0, false},
        {"/server-error", 500, R"({"app": "vorda-kinoloom"})", 0, false},
    };
    nlohmann::json answers = nlohmann::json::object();
    for (const auto& c : cases) answers[c.path] = nlohmann::json::array({c.status, c.body ? nlohmann::json(*c.body) : nlohmann::json()});
    CannedServer server(answers);
    ASSERT_GT(server.port(), 0);

    auto http = platform::curlHttpClient();
    for (const auto& c : cases) {
        auto response = http->get(server.url(c.path), 2.0);
        ASSERT_TRUE(response) << c.path << ": " << response.error().description;
        EXPECT_EQ(isReadyHealthAnswer(*response, c.activeRevision), c.ready) << c.path;
    }
}
