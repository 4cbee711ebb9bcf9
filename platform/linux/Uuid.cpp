#include "platform/Uuid.h"

#include <cstdint>
#include <random>
#include <sys/random.h>

namespace taviro::platform {

std::string randomUuid() {
    std::uint8_t bytes[16];
    std::size_t filled = 0;
    while (filled < sizeof bytes) {
        ssize_t count = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (count <= 0) break;
        filled += static_cast<std::size_t>(count);
    }
    if (filled < sizeof bytes) {
        std::random_device device;
        for (auto& byte : bytes) byte = static_cast<std::uint8_t>(device());
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
        text.push_back(kHex[bytes[i] >> 4]);
        text.push_back(kHex[bytes[i] & 0x0F]);
    }
    return text;
}

}  // namespace taviro::platform
