#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <thread>
#include <unistd.h>

#include "platform/PortProbe.h"

using namespace taviro;
using namespace std::chrono_literals;

namespace {

// A socket bound to a port of its own, deaf (connections refused) until it listens, as a
// service that is still starting.
struct Listener {
    Listener() {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        ::bind(descriptor, reinterpret_cast<sockaddr*>(&address), length);
        ::getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~Listener() { ::close(descriptor); }
    int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), port = 0;
};

}  // namespace

// A port found listening only after the first refusals, and a wait for a port that never listens
// ended by a stop request.
TEST(PortProbe, WaitsForAPortToListenUntilAStop) {
    Listener late, deaf;  // deaf: a service that never listens
    std::jthread opener([&] { std::this_thread::sleep_for(200ms), ::listen(late.descriptor, 8); });
    EXPECT_TRUE(platform::waitUntilListening(late.port, 30));

    std::stop_source stop;
    std::jthread stopper([&] { std::this_thread::sleep_for(100ms), stop.request_stop(); });
    const auto begun = std::chrono::steady_clock::now();
    EXPECT_FALSE(platform::waitUntilListening(deaf.port, 600, stop.get_token()));
    EXPECT_LT(std::chrono::steady_clock::now() - begun, 60s) << "the stop ends the wait";
}
