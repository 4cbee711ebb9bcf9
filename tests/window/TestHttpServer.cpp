#include "tests/window/TestHttpServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace taviro::test::window {
namespace {

int listeningSocket(int& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0) {
        ::close(fd);
        throw std::runtime_error("bind/listen failed");
    }
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

void writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

}  // namespace

TestHttpServer::TestHttpServer(Mode mode) : mode_(mode) {
    listener_ = listeningSocket(port_);
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    wakeRead_ = pipeEnds[0];
    wakeWrite_ = pipeEnds[1];
    thread_ = std::thread([this] { serve(); });
}

TestHttpServer::~TestHttpServer() {
    stopping_ = true;
    char byte = 0;
    (void)!::write(wakeWrite_, &byte, 1);
    thread_.join();
    for (auto& each : answering_) each.join();
    for (int fd : heldConnections_) ::close(fd);
    ::close(listener_);
    ::close(wakeRead_);
    ::close(wakeWrite_);
}

std::string TestHttpServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void TestHttpServer::setPage(const std::string& path, const std::string& html) {
    std::lock_guard lock(mutex_);
    pages_[path] = html;
}

std::vector<std::string> TestHttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

bool TestHttpServer::receivedRequestFor(const std::string& path) const {
    std::lock_guard lock(mutex_);
    for (const auto& request : requests_) {
        if (request.starts_with("GET " + path + " ")) return true;
    }
    return false;
}

void TestHttpServer::serve() {
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        if ((fds[0].revents & POLLIN) == 0) continue;
        int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        if (mode_ == Mode::neverAnswer) {
            std::lock_guard lock(mutex_);
            requests_.emplace_back();
            heldConnections_.push_back(connection);
            continue;
        }
        answering_.emplace_back([this, connection] {
            answer(connection);
            ::close(connection);
        });
    }
}

void TestHttpServer::answer(int connection) {
    std::string head;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!stopping_ && head.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd fd{connection, POLLIN, 0};
        if (::poll(&fd, 1, 100) <= 0) continue;
        char buffer[4096];
        ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        head.append(buffer, static_cast<size_t>(n));
    }
    auto end = head.find("\r\n\r\n");
    if (end == std::string::npos) return;
    head.resize(end);
    std::string path;
    auto firstSpace = head.find(' ');
    auto secondSpace = head.find(' ', firstSpace + 1);
    if (firstSpace != std::string::npos && secondSpace != std::string::npos) {
        path = head.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    }
    std::string status = "200 OK";
    std::string body;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(head);
        auto page = pages_.find(path);
        if (page != pages_.end()) {
            body = page->second;
        } else {
            status = "404 Not Found";
            body = "<!doctype html><h1>Not found</h1>";
        }
    }
    writeAll(connection, "HTTP/1.1 " + status +
                             "\r\nContent-Type: text/html; charset=utf-8\r\nConnection: close\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\n\r\n" + body);
}

int closedPort() {
    int port = 0;
    int fd = listeningSocket(port);
    ::close(fd);
    return port;
}

}  // namespace taviro::test::window
