#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Error.h"

namespace taviro::platform {

// What a body held in memory may weigh unless the caller asks for less.
inline constexpr std::uint64_t kDefaultMaximumBodyBytes = 16 * 1024 * 1024;

struct HttpResponse {
    long status = 0;
    // Absent when the response carried no body at all.
    std::optional<std::string> body;
};

struct DownloadOptions {
    // The body may have at most this many bytes; a larger declared length, or more bytes
    // arriving, fails the download at once. No limit when absent.
    std::optional<std::uint64_t> maximumBytes;
    // The whole transfer must end within this time (non-positive: no time at all).
    double timeoutSeconds = 0;
    // Called on the downloading thread as the body arrives: bytes so far, and the declared
    // length when the server gave one.
    std::function<void(std::uint64_t received, std::optional<std::uint64_t> expected)> onProgress;
    // The transfer fails when no byte arrives for this long (non-positive: never).
    double stallSeconds = 0;
    // Asked now and then on the downloading thread; true stops the transfer (error ECANCELED).
    std::function<bool()> cancelled;
};

// Blocking HTTP; call it from background threads only. Requests never use cached data and
// never follow redirects.
class HttpClient {
public:
    virtual ~HttpClient() = default;
    // Fails with the transport's own error (domain "CURL") when no response arrived within
    // `timeoutSeconds`, and when the body would exceed `maximumBytes`.
    virtual Result<HttpResponse> get(const std::string& url, double timeoutSeconds,
                                     std::uint64_t maximumBytes = kDefaultMaximumBodyBytes) = 0;
    // Streams the body of `url` into `destination` and returns the HTTP status. The body goes to
    // a temporary file beside `destination`, which replaces it only when the whole body of a
    // 2xx response has arrived; any other status is returned with nothing written. A failure
    // (the transport's, domain "CURL"; a limit, CURLE_FILESIZE_EXCEEDED or
    // CURLE_OPERATION_TIMEDOUT; the file system's, domain "POSIX") leaves `destination` as it
    // was and no temporary file behind.
    virtual Result<long> download(const std::string& url, const std::filesystem::path& destination,
                                  const DownloadOptions& options) = 0;
    // Quit: every request in flight ends within about a second (error ECANCELED), and every later
    // one fails at once, whatever the network does.
    virtual void stopAll() = 0;
};

std::shared_ptr<HttpClient> curlHttpClient();

}  // namespace taviro::platform
