#pragma once

#include <string>

#include "platform/Error.h"
#include "platform/HttpClient.h"

namespace taviro {

// The local service's word on whether the application may quit for an update now.
struct InstallSafety {
    bool safe = false;
    std::string message;
};

inline constexpr double kInstallSafetyTimeoutSeconds = 5.0;

// http://127.0.0.1:PORT/api/update/install-safety
std::string updateSafetyURL(int localPort);

// Anything but a 2xx JSON object counts as an unconfirmed task state: not safe.
InstallSafety readInstallSafety(const Result<platform::HttpResponse>& answer);

}  // namespace taviro
