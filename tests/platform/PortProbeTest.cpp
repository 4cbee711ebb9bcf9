#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "platform/PortProbe.h"

using namespace taviro;

namespace {

// A socket bound to a port of its own, deaf (connections refused) until `listen()`, as a
// service that is still starting.
struct Listener {
    int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port = 0;
    Listener() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~Listener() { ::close(descriptor); }
    void listen() { ::listen(descriptor, 8); }
};

}  // namespace

// A port found listening only after the first refusals, a port that never listens, a stop request,
// and ports that cannot exist.
TEST(PortProbe, WaitsForAPortToListenUntilItsTimeOrAStop) {
    Listener late;
    std::jthread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        late.listen();
    });
    EXPECT_TRUE(platform::waitUntilListening(late.port, 30));

    Listener deaf;
    EXPECT_FALSE(platform::waitUntilListening(deaf.port, 0.3));

    std::stop_source stop;
    std::jthread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stop.request_stop();
    });
    const auto begun = std::chrono::steady_clock::now();
    EXPECT_FALSE(platform::waitUntilListening(deaf.port, 600, stop.get_token()));
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(60)) << "the stop ends the wait";

    for (int port : {0, -1, 65536}) EXPECT_FALSE(platform::waitUntilListening(port, 0.1)) << port;
}
