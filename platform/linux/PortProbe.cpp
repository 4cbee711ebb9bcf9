#include "platform/PortProbe.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace taviro::platform {
namespace {

constexpr auto kRetryInterval = std::chrono::milliseconds(5);
// A connection on the loopback interface completes at once, or is refused at once.
constexpr int kListeningProbeMilliseconds = 200;

sockaddr_in loopbackAddress(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// One connection attempt, given at most `waitMilliseconds` to complete.
bool accepts(int port, int waitMilliseconds) {
    const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (descriptor < 0) return false;
    sockaddr_in address = loopbackAddress(port);
    bool connected = ::connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (!connected && errno == EINPROGRESS) {
        pollfd watched{descriptor, POLLOUT, 0};
        int error = 0;
        socklen_t length = sizeof error;
        connected = ::poll(&watched, 1, waitMilliseconds) == 1 &&
                    ::getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    ::close(descriptor);
    return connected;
}

}  // namespace

bool waitUntilListening(int port, double seconds, std::stop_token stop) {
    using Clock = std::chrono::steady_clock;
    if (port < 1 || port > 65535) return false;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (!stop.stop_requested()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (accepts(port, static_cast<int>(std::max<long long>(left, 0)))) return true;
        if (Clock::now() + kRetryInterval >= deadline) return false;
        std::this_thread::sleep_for(kRetryInterval);
    }
    return false;
}

int freeLoopbackPort() {
    const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0) return 0;
    sockaddr_in address = loopbackAddress(0);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(descriptor);
    return port;
}

bool isListening(int port) { return accepts(port, kListeningProbeMilliseconds); }

}  // namespace taviro::platform
