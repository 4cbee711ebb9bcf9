#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "platform/HttpClient.h"
#include "tests/support/TestSupport.h"

using namespace taviro;

namespace {

constexpr std::size_t kLimit = 16 * 1024 * 1024;
const std::string kJson = R"({"status":"ok","items":[1,2,3]})";

// A loopback port, listening or only bound: then it refuses connections and nobody takes it.
struct Socket {
    explicit Socket(bool listening) {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 && listening) ::listen(fd, 64);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        origin = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    }
    ~Socket() { ::close(fd); }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::string origin;
};

// An HTTP server answering one connection after the other with the response its path names,
// counting the requests that do not ask for fresh data.
struct TestServer {
    ~TestServer() { ::shutdown(socket_.fd, SHUT_RDWR), thread_.join(); }  // shutdown() wakes accept()
    std::string url(const std::string& path) const { return socket_.origin + path; }

    void answer(int connection) {
        std::string head;
        char buffer[4096];
        for (ssize_t count = 0; head.find("\r\n\r\n") == std::string::npos; head.append(buffer, count)) {
            if ((count = ::recv(connection, buffer, sizeof buffer, 0)) <= 0) return;
        }
        // Header names in any case; the paths below are lower case already.
        std::ranges::transform(head, head.begin(), [](unsigned char c) { return std::tolower(c); });
        stale += !head.contains("\r\ncache-control: no-cache\r\n") || !head.contains("\r\npragma: no-cache\r\n");
        auto send = [&](const std::string& bytes) {
            return ::send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
        };
        auto respond = [&](const std::string& status, const std::string& body) {
            send("HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
        };
        std::string path = head.substr(4, head.find(' ', 4) - 4);
        if (path == "/json") respond("200 OK", kJson);
        if (path == "/missing") respond("404 Not Found", "absent");
        if (path == "/empty") send("HTTP/1.1 204 No Content\r\n\r\n");
        if (path == "/at-limit") respond("200 OK", std::string(kLimit, 'x'));
        if (path == "/declared-oversize") respond("200 OK", std::string(kLimit + 1, 'x'));
        // No length announced: only counting the bytes as they arrive can stop this one.
        if (path == "/streamed-oversize" && send("HTTP/1.1 200 OK\r\n\r\n")) while (send(std::string(65536, 'y'))) {}
        // Part of the body, then nothing until the client gives up.
        if (path == "/stalled" && send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n0123456789")) {
            while (::recv(connection, buffer, sizeof buffer, 0) > 0) continue;
        }
    }

    Socket socket_{true};
    std::atomic<int> stale{0};
    std::thread thread_{[this] {
        for (int fd; (fd = ::accept4(socket_.fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; ::close(fd)) answer(fd);
    }};
};

std::string describe(const Error& error) { return error.domain + " " + std::to_string(error.code); }

}  // namespace

// Each address fetched with get() and downloaded with a limit of get()'s own, through a proxy
// in the environment that refuses everything: loopback must never go through it. A download
// puts a complete 2xx body in place, or leaves the destination as it was; never a file of its own.
TEST(CurlHttpClient, GetsAndDownloadsWhatWasSentOrFailWithTheTransportsErrorFromManyThreads) {
    TestServer server;
    Socket refusing(false);
    test::ScopedEnv env{{{"http_proxy", refusing.origin}, {"no_proxy", "a.test"}, {"NO_PROXY", {}}, {"all_proxy", {}}}};
    // CURL 63: over the limit; 28: out of time; 7: refused.
    struct Case { std::string path; double timeout; std::string got, downloaded; } cases[] = {
        {"/json", 5, "200 " + kJson, "200"}, {"/empty", 5, "204 no body", "204"}, {"/missing", 5, "404 absent", "404"},
        {"/at-limit", 5, "200 16777216 bytes", "200"}, {"/declared-oversize", 5, "CURL 63", "CURL 63"},
        {"/streamed-oversize", 5, "CURL 63", "CURL 63"}, {"/stalled", 0.5, "CURL 28", "CURL 28"},
        {"", 5, "CURL 7", "CURL 7"},
    };
    auto client = platform::curlHttpClient();
    for (const auto& c : cases) {
        auto url = c.path.empty() ? refusing.origin + "/json" : server.url(c.path);
        SCOPED_TRACE(url);
        auto start = std::chrono::steady_clock::now();
        auto response = client->get(url, c.timeout);
        std::string body = response && response->body ? *response->body : "";
        std::string got = !response ? describe(response.error()) : std::to_string(response->status) + " " +
            (!response->body ? "no body" : body.size() > 100 ? std::to_string(body.size()) + " bytes" : body);
        EXPECT_EQ(got, c.got);

        test::TempDir folder;
        test::writeFile(folder / "download.bin", "old");
        std::vector<std::pair<std::uint64_t, std::optional<std::uint64_t>>> reports{{0, 0}};
        auto report = [&](std::uint64_t received, std::optional<std::uint64_t> total) {
            EXPECT_TRUE(received > reports.back().first && received <= kLimit) << received;
            reports.emplace_back(received, total);
        };
        auto downloaded = client->download(url, folder / "download.bin", {kLimit, c.timeout, report, 0, {}});
        EXPECT_EQ(downloaded ? std::to_string(*downloaded) : describe(downloaded.error()), c.downloaded);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
        bool complete = c.downloaded.starts_with("20");
        EXPECT_TRUE(test::readFile(folder / "download.bin") == (complete ? body : "old"));
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1);
        EXPECT_TRUE(!complete || reports.back() == std::pair(body.size(), std::optional(body.size())));
    }
    // Many threads at once, on the same client.
    std::atomic<int> succeeded{0};
    std::vector<std::jthread> threads(8);
    for (auto& thread : threads) thread = std::jthread([&] {
        for (int i = 0; i < 5; ++i) succeeded += client->get(server.url("/json"), 5).value_or(platform::HttpResponse{}).status == 200;
    });
    threads.clear();  // joins
    EXPECT_EQ(succeeded, 40);
    EXPECT_EQ(server.stale, 0) << "every request asks for fresh data";

    // Quit: a request in flight (a stalled body with 30 s allowed) ends within a second.
    std::jthread quit([&] { std::this_thread::sleep_for(std::chrono::milliseconds(300)), client->stopAll(); });
    auto stopped = client->get(server.url("/stalled"), 30);
    EXPECT_EQ(stopped ? "answered" : describe(stopped.error()), "POSIX " + std::to_string(ECANCELED));
}
