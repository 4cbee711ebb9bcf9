#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <curl/curl.h>
#include <mutex>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "platform/HttpClient.h"
#include "tests/support/TestSupport.h"

using namespace taviro;

namespace {

constexpr std::size_t kLimit = 16 * 1024 * 1024;
const std::string kJson = R"({"status":"ok","items":[1,2,3]})";

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A free loopback port: listening, or bound only, so that it refuses connections and nobody
// else takes it meanwhile.
class Port {
public:
    explicit Port(bool listening = false) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 || (listening && ::listen(fd_, 64) != 0) ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("cannot bind a loopback socket");
        }
        port_ = ntohs(address.sin_port);
    }
    ~Port() { ::close(fd_); }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

protected:
    int fd_;
    std::uint16_t port_ = 0;
};

// A small HTTP/1.1 server on 127.0.0.1 that answers one connection after the other, one
// response each, and records every request head. Where it answers nothing, or stops
// mid-body, it waits for the client to give up.
class TestServer : public Port {
public:
    TestServer() : Port(true), thread_([this] { serve(); }) {}
    ~TestServer() {
        ::shutdown(fd_, SHUT_RDWR);  // wakes the blocked accept()
        thread_.join();
    }
    std::vector<std::string> requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    static bool sendAll(int connection, const std::string& bytes) {
        for (std::size_t sent = 0; sent < bytes.size();) {
            ssize_t count = ::send(connection, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (count <= 0 && errno != EINTR) return false;
            sent += count > 0 ? static_cast<std::size_t>(count) : 0;
        }
        return true;
    }

    static void waitForTheClientToClose(int connection) {
        char byte;
        for (ssize_t count = 1; count > 0 || (count < 0 && errno == EINTR);) count = ::recv(connection, &byte, 1, 0);
    }

    void serve() {
        for (;;) {
            int connection = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0 && errno == EINTR) continue;
            if (connection < 0) return;
            answer(connection);
            ::close(connection);
        }
    }

    void answer(int connection) {
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos) {
            ssize_t count = ::recv(connection, buffer, sizeof buffer, 0);
            if (count <= 0) return;
            head.append(buffer, static_cast<std::size_t>(count));
        }
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(head);
        }
        // "GET /path HTTP/1.1", or "GET http://host/path HTTP/1.1" when asked as a proxy.
        std::string target = head.substr(4, head.find(' ', 4) - 4);
        if (target.starts_with("http://")) target = target.substr(target.find('/', 7));
        auto respond = [&](const std::string& status, const std::string& body, const std::string& headers = "") {
            sendAll(connection, "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
                                    "\r\nConnection: close\r\n" + headers + "\r\n" + body);
        };
        if (target == "/json") {
            respond("200 OK", kJson, "Content-Type: application/json\r\n");
        } else if (target == "/empty") {
            sendAll(connection, "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
        } else if (target == "/missing") {
            respond("404 Not Found", "no such thing");
        } else if (target == "/moved") {
            respond("302 Found", "", "Location: " + url("/json") + "\r\n");
        } else if (target == "/at-limit" || target == "/declared-oversize") {
            respond("200 OK", std::string(target == "/at-limit" ? kLimit : kLimit + 1, 'x'));
        } else if (target == "/streamed-oversize") {
            // No length announced: only counting the bytes as they arrive can stop this one.
            bool sending = sendAll(connection, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
            for (std::string piece(64 * 1024, 'y'); sending;) sending = sendAll(connection, piece);
        } else if (target == "/stalled") {
            sendAll(connection, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n0123456789");
            waitForTheClientToClose(connection);
        } else if (target == "/silent") {
            waitForTheClientToClose(connection);
        } else {
            respond("500 Internal Server Error", "unexpected " + target);
        }
    }

    std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

// Every request asked for fresh data.
void expectFreshRequests(TestServer& server) {
    for (auto head : server.requests()) {
        for (auto& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_NE(head.find("\r\ncache-control: no-cache\r\n"), std::string::npos) << head;
        EXPECT_NE(head.find("\r\npragma: no-cache\r\n"), std::string::npos) << head;
    }
}

}  // namespace

TEST(CurlHttpClient, GetReturnsTheResponseOrTheTransportsError) {
    TestServer server;
    Port refusing;
    struct Case {
        std::string url;
        double timeout;
        long status;  // else the error code
        std::optional<std::string> body;
        int code = CURLE_OK;
    } cases[] = {
        {server.url("/json"), 5, 200, kJson},
        {server.url("/empty"), 5, 204, std::nullopt},        // no body told apart from an empty one
        {server.url("/missing"), 5, 404, "no such thing"},   // a response like any other
        {server.url("/moved"), 5, 302, std::nullopt},        // reported, not followed
        {server.url("/at-limit"), 5, 200, std::string(kLimit, 'x')},
        {server.url("/silent"), 0.5, 0, std::nullopt, CURLE_OPERATION_TIMEDOUT},
        {refusing.url("/json"), 5, 0, std::nullopt, CURLE_COULDNT_CONNECT},
        {server.url("/declared-oversize"), 5, 0, std::nullopt, CURLE_FILESIZE_EXCEEDED},
        {server.url("/streamed-oversize"), 5, 0, std::nullopt, CURLE_FILESIZE_EXCEEDED},
        {"file:///etc/hostname", 5, 0, std::nullopt, CURLE_UNSUPPORTED_PROTOCOL},
    };
    auto client = platform::curlHttpClient();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        auto start = std::chrono::steady_clock::now();
        auto result = client->get(c.url, c.timeout);
        EXPECT_GE(secondsSince(start), c.timeout < 1 ? c.timeout * 0.9 : 0);
        EXPECT_LT(secondsSince(start), 5.0);
        if (c.code != CURLE_OK) {
            ASSERT_FALSE(result.has_value()) << "status " << result->status;
            EXPECT_EQ(result.error().domain, "CURL");
            EXPECT_EQ(result.error().code, c.code) << result.error().description;
            continue;
        }
        ASSERT_TRUE(result.has_value()) << result.error().description;
        EXPECT_EQ(result->status, c.status);
        // Compared as a whole without printing megabytes on a mismatch.
        EXPECT_TRUE(result->body == c.body) << (result->body ? result->body->size() : 0) << " bytes";
    }
    // The redirect target was never asked for.
    EXPECT_EQ(server.requests().size(), 8u);
    EXPECT_TRUE(server.requests()[0].starts_with("GET /json HTTP/1.1\r\n")) << server.requests()[0];
    expectFreshRequests(server);
}

TEST(CurlHttpClient, UsesTheEnvironmentsProxyButNeverForLoopback) {
    TestServer server;
    Port deadProxy;
    struct Case {
        std::string proxy;
        std::optional<std::string> noProxy;
        std::string url;
        std::string proxiedHead;  // what the proxy saw, when it is the test server
    } cases[] = {
        // A proxy that would refuse everything, and a no_proxy list that leaves loopback out.
        {deadProxy.url(""), "example.com", server.url("/json"), ""},
        {deadProxy.url(""), "example.com", "http://localhost:" + server.url("/json").substr(17), ""},
        // Other hosts do go through the proxy: here the test server plays it.
        {server.url(""), std::nullopt, "http://updates.example.invalid/json",
         "GET http://updates.example.invalid/json HTTP/1.1\r\n"},
    };
    for (const auto& c : cases) {
        test::ScopedEnv env;
        env.set("http_proxy", c.proxy).set("no_proxy", c.noProxy).set("NO_PROXY", std::nullopt);
        env.set("all_proxy", std::nullopt).set("ALL_PROXY", std::nullopt);
        auto result = platform::curlHttpClient()->get(c.url, 5);
        ASSERT_TRUE(result.has_value()) << c.url << ": " << result.error().description;
        EXPECT_EQ(result->status, 200) << c.url;
        EXPECT_TRUE(server.requests().back().starts_with(c.proxiedHead)) << server.requests().back();
    }
}

TEST(CurlHttpClient, ServesManyThreadsAtOnce) {
    TestServer server;
    auto client = platform::curlHttpClient();
    std::vector<int> succeeded(8, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 5; ++i) {
                auto result = client->get(server.url(i % 2 == 0 ? "/json" : "/empty"), 5);
                succeeded[t] += result && result->status == (i % 2 == 0 ? 200 : 204);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(succeeded, std::vector<int>(8, 5));
}

// A download either puts the whole 2xx body in place or leaves the destination as it was, and
// never leaves a file of its own behind. Progress reports count up to at most the limit.
TEST(CurlHttpClient, DownloadsReplaceTheDestinationOnlyWhenComplete) {
    TestServer server;
    Port refusing;
    constexpr long long kNone = -2, kUnknown = -1;  // no progress reports, or reports without a total
    const auto jsonSize = static_cast<long long>(kJson.size());
    struct Case {
        std::string url;
        std::optional<std::uint64_t> limit;
        double timeout;
        long long total;  // as every progress report gives it
        long status;      // else the error's domain and code
        std::string domain = "";
        int code = 0;
        rlim_t fileSizeLimit = RLIM_INFINITY;
    } cases[] = {
        {server.url("/json"), std::nullopt, 5, jsonSize, 200},
        {server.url("/at-limit"), kLimit, 5, kLimit, 200},
        {server.url("/missing"), kLimit, 5, 13, 404},
        // A declared length above the limit is refused before any of the body is read.
        {server.url("/declared-oversize"), kLimit, 5, kNone, 0, "CURL", CURLE_FILESIZE_EXCEEDED},
        {server.url("/streamed-oversize"), kLimit, 5, kUnknown, 0, "CURL", CURLE_FILESIZE_EXCEEDED},
        {server.url("/stalled"), kLimit, 0.5, 1000, 0, "CURL", CURLE_OPERATION_TIMEDOUT},
        {refusing.url("/json"), kLimit, 5, kNone, 0, "CURL", CURLE_COULDNT_CONNECT},
        // The file system refuses the body after its first kilobyte.
        {server.url("/at-limit"), kLimit, 5, kLimit, 0, "POSIX", EFBIG, 1024},
    };
    // Past the size limit a write fails with EFBIG instead of ending the process.
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit unlimited{};
    ::getrlimit(RLIMIT_FSIZE, &unlimited);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url + " " + c.domain);
        test::TempDir folder;
        auto destination = folder / "download.bin";
        test::writeFile(destination, "old");
        std::vector<std::pair<std::uint64_t, std::optional<std::uint64_t>>> reports;
        auto report = [&](std::uint64_t received, std::optional<std::uint64_t> total) {
            reports.emplace_back(received, total);
        };
        rlimit limited{c.fileSizeLimit, unlimited.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limited);
        auto start = std::chrono::steady_clock::now();
        auto result = platform::curlHttpClient()->download(c.url, destination, {c.limit, c.timeout, report});
        ::setrlimit(RLIMIT_FSIZE, &unlimited);
        EXPECT_GE(secondsSince(start), c.timeout < 1 ? c.timeout * 0.9 : 0);
        EXPECT_LT(secondsSince(start), 5.0);
        EXPECT_EQ(result ? std::to_string(*result) : result.error().domain + " " + std::to_string(result.error().code),
                  c.status != 0 ? std::to_string(c.status) : c.domain + " " + std::to_string(c.code));

        std::vector<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
            left.push_back(entry.path().filename());
        }
        EXPECT_EQ(left, std::vector<std::string>{"download.bin"});
        std::string body = c.url.ends_with("/json") ? kJson : std::string(kLimit, 'x');
        std::string expected = c.status / 100 == 2 ? body : "old";
        EXPECT_TRUE(test::readFile(destination) == expected);

        EXPECT_TRUE(c.total != kNone || reports.empty());
        std::uint64_t previous = 0;
        for (const auto& [received, total] : reports) {
            EXPECT_TRUE(received > previous && received <= c.limit.value_or(kLimit)) << received;
            EXPECT_EQ(total ? static_cast<long long>(*total) : kUnknown, c.total);
            previous = received;
        }
        EXPECT_EQ(previous, c.status / 100 == 2 ? expected.size() : previous);
    }
    std::signal(SIGXFSZ, previousHandler);
    expectFreshRequests(server);
}
