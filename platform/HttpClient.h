#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/Error.h"

namespace taviro::platform {

struct HttpResponse {
    long status = 0;
    // Absent when the response carried no body at all.
    std::optional<std::string> body;
};

// Blocking HTTP; call it from background threads only. Requests never use cached data.
class HttpClient {
public:
    virtual ~HttpClient() = default;
    // Fails with the transport's own error (domain "CURL") when no response arrived within
    // `timeoutSeconds`.
    virtual Result<HttpResponse> get(const std::string& url, double timeoutSeconds) = 0;
};

std::shared_ptr<HttpClient> curlHttpClient();

}  // namespace taviro::platform
