#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <condition_variable>
#include <curl/curl.h>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "platform/HttpClient.h"
#include "tests/platform/ChildTest.h"
#include "tests/support/TestSupport.h"

using namespace taviro;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kLimit = 16 * 1024 * 1024;

// A small HTTP/1.1 server on 127.0.0.1, one thread per connection, one response per connection.
// It records every request head so that tests can see what the client sent.
class TestServer {
public:
    TestServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 64) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("cannot start the test server");
        }
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { acceptConnections(); });
    }

    ~TestServer() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        stopped_.notify_all();
        // Wakes the blocked accept().
        ::shutdown(listener_, SHUT_RDWR);
        acceptor_.join();
        for (auto& connection : connections_) connection.join();
        ::close(listener_);
    }

    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    std::uint16_t port() const { return port_; }

    std::vector<std::string> requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    void acceptConnections() {
        for (;;) {
            int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                return;
            }
            std::lock_guard lock(mutex_);
            if (stopping_) {
                ::close(connection);
                return;
            }
            connections_.emplace_back([this, connection] {
                serve(connection);
                ::close(connection);
            });
        }
    }

    static bool sendAll(int connection, const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t count = ::send(connection, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (count < 0 && errno == EINTR) continue;
            if (count <= 0) return false;
            sent += static_cast<std::size_t>(count);
        }
        return true;
    }

    static std::string response(const std::string& statusLine, const std::string& body,
                                const std::string& extraHeaders = "") {
        return "HTTP/1.1 " + statusLine + "\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body;
    }

    void serve(int connection) {
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos) {
            ssize_t count = ::recv(connection, buffer, sizeof buffer, 0);
            if (count < 0 && errno == EINTR) continue;
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

        if (target == "/json") {
            sendAll(connection, response("200 OK", R"({"status":"ok","items":[1,2,3]})",
                                         "Content-Type: application/json\r\n"));
        } else if (target == "/empty") {
            sendAll(connection, "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
        } else if (target == "/missing") {
            sendAll(connection, response("404 Not Found", "no such thing"));
        } else if (target == "/moved") {
            sendAll(connection, response("302 Found", "", "Location: " + url("/json") + "\r\n"));
        } else if (target == "/at-limit") {
            sendAll(connection, response("200 OK", std::string(kLimit, 'x')));
        } else if (target == "/declared-oversize") {
            std::string body(kLimit + 1, 'x');
            sendAll(connection, response("200 OK", body));
        } else if (target == "/streamed-oversize") {
            // No length announced: only counting the bytes as they arrive can stop this one.
            if (!sendAll(connection, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n")) return;
            std::string piece(64 * 1024, 'y');
            for (std::size_t sent = 0; sent <= kLimit + piece.size() && sendAll(connection, piece); sent += piece.size()) {
            }
        } else if (target == "/silent") {
            // Accepts and reads the request, then never answers.
            std::unique_lock lock(mutex_);
            stopped_.wait(lock, [&] { return stopping_; });
        } else {
            sendAll(connection, response("500 Internal Server Error", "unexpected " + target));
        }
    }

    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::thread acceptor_;
    std::mutex mutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;
    std::vector<std::thread> connections_;
    std::vector<std::string> requests_;
};

// A port that refuses connections: bound, so nobody else takes it, but not listening.
class RefusingPort {
public:
    RefusingPort() {
        socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~RefusingPort() { ::close(socket_); }
    std::uint16_t port() const { return port_; }

private:
    int socket_ = -1;
    std::uint16_t port_ = 0;
};

std::string lowercase(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

TEST(CurlHttpClient, ReturnsStatusAndBodyAsTheServerSentThem) {
    TestServer server;
    auto client = platform::curlHttpClient();
    struct Case {
        const char* path;
        long status;
        std::optional<std::string> body;
    } cases[] = {
        {"/json", 200, R"({"status":"ok","items":[1,2,3]})"},
        // No body at all is told apart from an empty string.
        {"/empty", 204, std::nullopt},
        // An error status is a response like any other, body included.
        {"/missing", 404, "no such thing"},
        // Redirects are reported, not followed.
        {"/moved", 302, std::nullopt},
        // The limit itself is still accepted.
        {"/at-limit", 200, std::string(kLimit, 'x')},
    };
    for (const auto& c : cases) {
        auto result = client->get(server.url(c.path), 5);
        ASSERT_TRUE(result.has_value()) << c.path << ": " << result.error().description;
        EXPECT_EQ(result->status, c.status) << c.path;
        EXPECT_EQ(result->body.has_value(), c.body.has_value()) << c.path;
        if (result->body && c.body) {
            // Compared as a whole without printing megabytes on a mismatch.
            EXPECT_TRUE(*result->body == *c.body) << c.path << ": " << result->body->size() << " bytes";
        }
    }
    // The redirect target was never asked for.
    EXPECT_EQ(server.requests().size(), std::size(cases));
}

TEST(CurlHttpClient, AsksForFreshDataEveryTime) {
    TestServer server;
    ASSERT_TRUE(platform::curlHttpClient()->get(server.url("/json"), 5).has_value());
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    auto head = lowercase(requests[0]);
    EXPECT_TRUE(head.starts_with("get /json http/1.1\r\n")) << requests[0];
    EXPECT_NE(head.find("\r\ncache-control: no-cache\r\n"), std::string::npos) << requests[0];
    EXPECT_NE(head.find("\r\npragma: no-cache\r\n"), std::string::npos) << requests[0];
}

TEST(CurlHttpClient, TransportFailuresAreCurlErrors) {
    TestServer server;
    RefusingPort refusing;
    auto client = platform::curlHttpClient();
    struct Case {
        const char* name;
        std::string url;
        double timeout;
        int code;
        double atLeast;
        double atMost;
    } cases[] = {
        {"no answer", server.url("/silent"), 0.5, CURLE_OPERATION_TIMEDOUT, 0.45, 3.0},
        {"connection refused", "http://127.0.0.1:" + std::to_string(refusing.port()) + "/json", 5,
         CURLE_COULDNT_CONNECT, 0, 3.0},
        {"oversize body, announced", server.url("/declared-oversize"), 5, CURLE_FILESIZE_EXCEEDED, 0, 5.0},
        {"oversize body, streamed", server.url("/streamed-oversize"), 5, CURLE_FILESIZE_EXCEEDED, 0, 5.0},
        {"not http", "file:///etc/hostname", 5, CURLE_UNSUPPORTED_PROTOCOL, 0, 3.0},
    };
    for (const auto& c : cases) {
        auto start = Clock::now();
        auto result = client->get(c.url, c.timeout);
        double elapsed = test::secondsSince(start);
        ASSERT_FALSE(result.has_value()) << c.name << ": status " << result->status;
        EXPECT_EQ(result.error().domain, "CURL") << c.name;
        EXPECT_EQ(result.error().code, c.code) << c.name << ": " << result.error().description;
        EXPECT_FALSE(result.error().description.empty()) << c.name;
        EXPECT_GE(elapsed, c.atLeast) << c.name;
        EXPECT_LT(elapsed, c.atMost) << c.name;
    }
}

TEST(CurlHttpClient, UsesTheEnvironmentsProxyButNeverForLoopback) {
    TestServer server;
    RefusingPort deadProxy;
    auto client = platform::curlHttpClient();
    {
        // A proxy that would refuse everything, and a no_proxy list that leaves loopback out.
        test::ScopedEnv env;
        env.set("http_proxy", "http://127.0.0.1:" + std::to_string(deadProxy.port()))
            .set("no_proxy", "example.com")
            .set("NO_PROXY", std::nullopt)
            .set("all_proxy", std::nullopt)
            .set("ALL_PROXY", std::nullopt);
        for (const auto& url : {server.url("/json"), "http://localhost:" + std::to_string(server.port()) + "/json"}) {
            auto result = client->get(url, 5);
            ASSERT_TRUE(result.has_value()) << url << ": " << result.error().description;
            EXPECT_EQ(result->status, 200) << url;
        }
    }
    {
        // Other hosts do go through the proxy: here the test server plays it.
        test::ScopedEnv env;
        env.set("http_proxy", server.url(""))
            .set("no_proxy", std::nullopt)
            .set("NO_PROXY", std::nullopt)
            .set("all_proxy", std::nullopt)
            .set("ALL_PROXY", std::nullopt);
        auto result = client->get("http://updates.example.invalid/json", 5);
        ASSERT_TRUE(result.has_value()) << result.error().description;
        EXPECT_EQ(result->status, 200);
        EXPECT_TRUE(server.requests().back().starts_with("GET http://updates.example.invalid/json HTTP/1.1\r\n"))
            << server.requests().back();
    }
}

TEST(CurlHttpClient, ServesManyThreadsAtOnce) {
    TestServer server;
    auto client = platform::curlHttpClient();
    constexpr int kThreads = 8;
    constexpr int kRequests = 5;
    std::vector<int> succeeded(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRequests; ++i) {
                auto result = client->get(server.url(i % 2 == 0 ? "/json" : "/empty"), 5);
                if (result && result->status == (i % 2 == 0 ? 200 : 204)) ++succeeded[t];
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(succeeded[t], kRequests) << "thread " << t;
}
