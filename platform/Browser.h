#pragma once

#include <memory>
#include <string>

namespace taviro::platform {

// Hands an address to the desktop's default handler for its scheme.
class BrowserOpener {
public:
    virtual ~BrowserOpener() = default;
    virtual void open(const std::string& url) = 0;
};

std::shared_ptr<BrowserOpener> desktopBrowserOpener();

}  // namespace taviro::platform
