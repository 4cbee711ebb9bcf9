#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace taviro::test::window {

// A local HTTP server on 127.0.0.1 for the web view to load from. It either serves its pages
// (unknown paths get a 404 page) or accepts every connection and never answers.
class TestHttpServer {
public:
    enum class Mode { serve, neverAnswer };

    explicit TestHttpServer(Mode mode = Mode::serve);
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& path) const;
    void setPage(const std::string& path, const std::string& html);

    // The head of every request received so far ("GET /path HTTP/1.1\r\nHost: ..."), or, for a
    // server that never answers, one empty entry per accepted connection.
    std::vector<std::string> requests() const;
    bool receivedRequestFor(const std::string& path) const;

private:
    void serve();
    void answer(int connection);

    const Mode mode_;
    int listener_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::map<std::string, std::string> pages_;
    std::vector<std::string> requests_;
    std::vector<int> heldConnections_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    // One per answered connection: WebKit opens connections ahead of time that never carry a
    // request, and those must not hold up the others.
    std::vector<std::thread> answering_;
};

// A port on 127.0.0.1 where nothing listens.
int closedPort();

}  // namespace taviro::test::window
