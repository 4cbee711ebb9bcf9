#pragma once

#include <memory>
#include <optional>
#include <string>

namespace taviro::platform {

// One generic password item per (service, account). The data are bytes; callers decide what
// counts as a valid value.
class Keychain {
public:
    virtual ~Keychain() = default;
    // Absent when there is no item, no keychain, or the keychain did not answer in time.
    virtual std::optional<std::string> read(const std::string& service, const std::string& account) = 0;
    // Creates or replaces the item. False when nothing was stored.
    virtual bool save(const std::string& service, const std::string& account, const std::string& data) = 0;
};

// The session's Secret Service through libsecret. Without a session bus or a Secret Service
// every read is absent and every save does nothing; no call blocks for more than about a second.
std::shared_ptr<Keychain> secretServiceKeychain();

}  // namespace taviro::platform
