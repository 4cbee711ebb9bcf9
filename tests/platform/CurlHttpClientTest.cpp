#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <condition_variable>
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

sockaddr_in loopback() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A socket bound to a free loopback port; listening or not (then it refuses connections, and
// nobody else takes the port meanwhile).
int boundSocket(std::uint16_t& port, bool listening) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback();
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (listening && ::listen(fd, 64) != 0) || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot bind a loopback socket");
    }
    port = ntohs(address.sin_port);
    return fd;
}

// A small HTTP/1.1 server on 127.0.0.1, one thread per connection, one response per connection.
// It records every request head so that tests can see what the client sent.
class TestServer {
public:
    TestServer() : listener_(boundSocket(port_, true)) { acceptor_ = std::thread([this] { acceptConnections(); }); }

    ~TestServer() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        stopped_.notify_all();
        ::shutdown(listener_, SHUT_RDWR);  // wakes the blocked accept()
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
            if (connection < 0 && (errno == EINTR || errno == ECONNABORTED)) continue;
            std::lock_guard lock(mutex_);
            if (connection < 0 || stopping_) {
                if (connection >= 0) ::close(connection);
                return;
            }
            connections_.emplace_back([this, connection] {
                serve(connection);
                ::close(connection);
            });
        }
    }

    static bool sendAll(int connection, const std::string& bytes) {
        for (std::size_t sent = 0; sent < bytes.size();) {
            ssize_t count = ::send(connection, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (count < 0 && errno == EINTR) continue;
            if (count <= 0) return false;
            sent += static_cast<std::size_t>(count);
        }
        return true;
    }

    void waitForStop() {
        std::unique_lock lock(mutex_);
        stopped_.wait(lock, [&] { return stopping_; });
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
            if (!sendAll(connection, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n")) return;
            std::string piece(64 * 1024, 'y');
            for (std::size_t sent = 0; sent <= kLimit + piece.size() && sendAll(connection, piece); sent += piece.size()) {
            }
        } else if (target == "/stalled") {
            // Part of the announced body, then nothing more.
            if (sendAll(connection, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n0123456789")) waitForStop();
        } else if (target == "/silent") {
            waitForStop();  // reads the request, never answers
        } else {
            respond("500 Internal Server Error", "unexpected " + target);
        }
    }

    std::uint16_t port_ = 0;
    int listener_ = -1;
    std::thread acceptor_;
    std::mutex mutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;
    std::vector<std::thread> connections_;
    std::vector<std::string> requests_;
};

class RefusingPort {
public:
    RefusingPort() : socket_(boundSocket(port_, false)) {}
    ~RefusingPort() { ::close(socket_); }
    std::string url(const std::string& path = "/json") const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

private:
    std::uint16_t port_ = 0;
    int socket_ = -1;
};

std::string lowercase(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Every request asked for fresh data.
void expectFreshRequests(TestServer& server) {
    for (const auto& request : server.requests()) {
        auto head = lowercase(request);
        EXPECT_NE(head.find("\r\ncache-control: no-cache\r\n"), std::string::npos) << request;
        EXPECT_NE(head.find("\r\npragma: no-cache\r\n"), std::string::npos) << request;
    }
}

std::vector<std::string> folderListing(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
    return names;
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
        {"/json", 200, kJson},
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
        // Compared as a whole without printing megabytes on a mismatch.
        if (result->body && c.body) {
            EXPECT_TRUE(*result->body == *c.body) << c.path << ": " << result->body->size();
        }
    }
    // The redirect target was never asked for.
    EXPECT_EQ(server.requests().size(), std::size(cases));
    EXPECT_TRUE(server.requests()[0].starts_with("GET /json HTTP/1.1\r\n")) << server.requests()[0];
    expectFreshRequests(server);
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
    } cases[] = {
        {"no answer", server.url("/silent"), 0.5, CURLE_OPERATION_TIMEDOUT, 0.45},
        {"connection refused", refusing.url(), 5, CURLE_COULDNT_CONNECT, 0},
        {"oversize body, announced", server.url("/declared-oversize"), 5, CURLE_FILESIZE_EXCEEDED, 0},
        {"oversize body, streamed", server.url("/streamed-oversize"), 5, CURLE_FILESIZE_EXCEEDED, 0},
        {"not http", "file:///etc/hostname", 5, CURLE_UNSUPPORTED_PROTOCOL, 0},
    };
    for (const auto& c : cases) {
        auto start = std::chrono::steady_clock::now();
        auto result = client->get(c.url, c.timeout);
        double elapsed = secondsSince(start);
        ASSERT_FALSE(result.has_value()) << c.name << ": status " << result->status;
        EXPECT_EQ(result.error().domain, "CURL") << c.name;
        EXPECT_EQ(result.error().code, c.code) << c.name << ": " << result.error().description;
        EXPECT_FALSE(result.error().description.empty()) << c.name;
        EXPECT_GE(elapsed, c.atLeast) << c.name;
        EXPECT_LT(elapsed, 5.0) << c.name;
    }
}

TEST(CurlHttpClient, UsesTheEnvironmentsProxyButNeverForLoopback) {
    TestServer server;
    RefusingPort deadProxy;
    auto client = platform::curlHttpClient();
    struct Case {
        std::string proxy;
        std::optional<std::string> noProxy;
        std::string url;
        std::string proxiedHead;  // what the proxy saw, when it is the test server
    } cases[] = {
        // A proxy that would refuse everything, and a no_proxy list that leaves loopback out.
        {deadProxy.url(""), "example.com", server.url("/json"), ""},
        {deadProxy.url(""), "example.com", "http://localhost:" + std::to_string(server.port()) + "/json", ""},
        // Other hosts do go through the proxy: here the test server plays it.
        {server.url(""), std::nullopt, "http://updates.example.invalid/json",
         "GET http://updates.example.invalid/json HTTP/1.1\r\n"},
    };
    for (const auto& c : cases) {
        test::ScopedEnv env;
        env.set("http_proxy", c.proxy).set("no_proxy", c.noProxy).set("NO_PROXY", std::nullopt);
        env.set("all_proxy", std::nullopt).set("ALL_PROXY", std::nullopt);
        auto result = client->get(c.url, 5);
        ASSERT_TRUE(result.has_value()) << c.url << ": " << result.error().description;
        EXPECT_EQ(result->status, 200) << c.url;
        if (!c.proxiedHead.empty()) {
            EXPECT_TRUE(server.requests().back().starts_with(c.proxiedHead)) << server.requests().back();
        }
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

// A download either puts the whole 2xx body in place or leaves the destination as it was, and
// never leaves a file of its own behind.
TEST(CurlHttpClient, DownloadsReplaceTheDestinationOnlyWhenComplete) {
    TestServer server;
    RefusingPort refusing;
    auto client = platform::curlHttpClient();
    struct Case {
        const char* name;
        std::string url;
        std::optional<std::uint64_t> limit;
        double timeout;
        std::optional<long> status;  // else the failure's domain and code
        std::string domain;
        int code;
        std::optional<std::string> content;  // else the old content stays
        rlim_t fileSizeLimit = RLIM_INFINITY;
    } cases[] = {
        {"complete, no limit", server.url("/json"), std::nullopt, 5, 200, "", 0, kJson},
        {"complete, at the limit", server.url("/at-limit"), kLimit, 5, 200, "", 0, std::string(kLimit, 'x')},
        {"error status", server.url("/missing"), kLimit, 5, 404, "", 0, std::nullopt},
        {"over the limit, declared", server.url("/declared-oversize"), kLimit, 5, std::nullopt, "CURL",
         CURLE_FILESIZE_EXCEEDED, std::nullopt},
        {"over the limit, undeclared", server.url("/streamed-oversize"), kLimit, 5, std::nullopt, "CURL",
         CURLE_FILESIZE_EXCEEDED, std::nullopt},
        {"time limit mid-body", server.url("/stalled"), kLimit, 0.5, std::nullopt, "CURL", CURLE_OPERATION_TIMEDOUT,
         std::nullopt},
        {"unreachable", refusing.url(), kLimit, 5, std::nullopt, "CURL", CURLE_COULDNT_CONNECT, std::nullopt},
        // The file system refuses the body after its first kilobyte.
        {"write error", server.url("/at-limit"), kLimit, 5, std::nullopt, "POSIX", EFBIG, std::nullopt, 1024},
    };
    // Past the size limit a write fails with EFBIG instead of ending the process.
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    for (const auto& c : cases) {
        test::TempDir folder;
        auto destination = folder / "download.bin";
        test::writeFile(destination, "old");
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        rlimit limited{c.fileSizeLimit, saved.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limited);
        auto start = std::chrono::steady_clock::now();
        auto result = client->download(c.url, destination, {c.limit, c.timeout, nullptr});
        ::setrlimit(RLIMIT_FSIZE, &saved);
        if (c.status) {
            ASSERT_TRUE(result.has_value()) << c.name << ": " << result.error().description;
            EXPECT_EQ(*result, *c.status) << c.name;
        } else {
            ASSERT_FALSE(result.has_value()) << c.name << ": status " << *result;
            EXPECT_EQ(result.error().domain, c.domain) << c.name << ": " << result.error().description;
            EXPECT_EQ(result.error().code, c.code) << c.name << ": " << result.error().description;
        }
        EXPECT_TRUE(test::readFile(destination) == c.content.value_or("old")) << c.name;
        EXPECT_EQ(folderListing(folder.path()), std::vector<std::string>{"download.bin"}) << c.name;
        EXPECT_GE(secondsSince(start), c.timeout < 1 ? c.timeout * 0.9 : 0) << c.name;
        EXPECT_LT(secondsSince(start), 5.0) << c.name;
    }
    std::signal(SIGXFSZ, previousHandler);
    expectFreshRequests(server);
}

TEST(CurlHttpClient, DownloadsReportProgressAndStopAtTheLimit) {
    TestServer server;
    auto client = platform::curlHttpClient();
    struct Case {
        const char* path;
        std::uint64_t limit;
        std::optional<std::uint64_t> expected;  // as each report gives it
        std::uint64_t atLeast;                  // bytes last reported
    } cases[] = {
        {"/at-limit", kLimit, kLimit, kLimit},
        {"/streamed-oversize", 1024 * 1024, std::nullopt, 1},
        // A declared length above the limit is refused before any of the body is read.
        {"/declared-oversize", kLimit, std::nullopt, 0},
    };
    for (const auto& c : cases) {
        test::TempDir folder;
        std::vector<std::pair<std::uint64_t, std::optional<std::uint64_t>>> reports;
        platform::DownloadOptions options{c.limit, 5, [&](std::uint64_t received, std::optional<std::uint64_t> total) {
                                              reports.emplace_back(received, total);
                                          }};
        (void)client->download(server.url(c.path), folder / "file", options);
        EXPECT_EQ(reports.empty(), c.atLeast == 0) << c.path;
        std::uint64_t previous = 0;
        for (const auto& [received, total] : reports) {
            EXPECT_GT(received, previous) << c.path;
            EXPECT_LE(received, c.limit) << c.path;
            EXPECT_EQ(total, c.expected) << c.path;
            previous = received;
        }
        EXPECT_GE(previous, c.atLeast) << c.path;
    }
}
