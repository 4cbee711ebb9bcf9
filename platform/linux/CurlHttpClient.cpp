#include "platform/HttpClient.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <curl/curl.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace taviro::platform {
namespace {

// Nothing we fetch comes near this; a larger body means a misbehaving server.

// Loopback traffic goes to the local service and must never be handed to a proxy, whatever
// the environment says about other hosts.
constexpr const char* kLoopback = "localhost,127.0.0.0/8,::1";

void initialiseCurlOnce() {
    // Run once, by the first request rather than at launch: it initialises OpenSSL, which the
    // first page does not need. libcurl initialises safely beside other threads since 7.84.
    static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
    (void)initialised;
}

const char* nonEmptyEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

// Setting CURLOPT_NOPROXY replaces the environment's no_proxy, so that list is kept and
// loopback added to it.
std::string noProxyList() {
    const char* fromEnvironment = nonEmptyEnvironment("no_proxy");
    if (fromEnvironment == nullptr) fromEnvironment = nonEmptyEnvironment("NO_PROXY");
    if (fromEnvironment == nullptr) return kLoopback;
    // "*" disables every proxy already; appending to it would turn it into a host name.
    if (std::string(fromEnvironment) == "*") return "*";
    return std::string(fromEnvironment) + "," + kLoopback;
}

long timeoutMilliseconds(double seconds) {
    // Zero means "no timeout" to curl, which a caller asking for a tiny one never wants.
    if (!(seconds > 0)) return 1;
    double milliseconds = std::ceil(seconds * 1000.0);
    return milliseconds > 2e9 ? 2000000000L : std::max(1L, static_cast<long>(milliseconds));
}

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

Error curlError(CURLcode code, const std::string& detail) {
    std::string description = curl_easy_strerror(code);
    if (!detail.empty()) description += ": " + detail;
    return Error{"CURL", static_cast<int>(code), description};
}

Error tooLargeError(std::uint64_t maximumBytes) {
    return curlError(CURLE_FILESIZE_EXCEEDED, "the body exceeds " + std::to_string(maximumBytes) + " bytes");
}

using WriteFunction = std::size_t (*)(char*, std::size_t, std::size_t, void*);

// One request, set up the way every request of ours is: fresh data only, http(s) only, no
// redirects followed, the time limit, loopback never through a proxy, the trust store the
// environment names, and a declared body above the limit refused before any of it is read.
// The body goes to `write`; it must count the bytes that arrive without a declared length.
class Request {
public:
    static Result<std::unique_ptr<Request>> make(const std::string& url, double timeoutSeconds, WriteFunction write,
                                                 void* sink, std::optional<std::uint64_t> maximumBytes,
                                                 const std::atomic<bool>& stopped) {
        if (stopped) return std::unexpected(posixError(ECANCELED, "the application is quitting: " + url));
        initialiseCurlOnce();
        // On the heap: curl keeps pointers to the header list and the error buffer.
        std::unique_ptr<Request> request(new Request);
        request->easy_.reset(curl_easy_init());
        if (!request->easy_) return std::unexpected(curlError(CURLE_FAILED_INIT, ""));
        curl_slist* headers = nullptr;
        headers = curl_slist_append(headers, "Cache-Control: no-cache");
        headers = curl_slist_append(headers, "Pragma: no-cache");
        request->headers_.reset(headers);

        CURL* handle = request->handle();
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
        curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
        // Signals cannot be used for timeouts when requests run on many threads at once.
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, timeoutMilliseconds(timeoutSeconds));
        curl_easy_setopt(handle, CURLOPT_NOPROXY, noProxyList().c_str());
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, request->headers_.get());
        curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, request->errorText_);
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, write);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, sink);
        if (maximumBytes) {
            auto limit = std::min<std::uint64_t>(*maximumBytes, std::numeric_limits<curl_off_t>::max());
            curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limit));
        }
        // The library itself ignores the variables the curl tool reads for its trust store.
        const char* caBundle = nonEmptyEnvironment("CURL_CA_BUNDLE");
        if (caBundle == nullptr) caBundle = nonEmptyEnvironment("SSL_CERT_FILE");
        if (caBundle != nullptr) curl_easy_setopt(handle, CURLOPT_CAINFO, caBundle);
        // Asked at least once a second, also while connecting and while no byte arrives.
        request->stopped_ = &stopped;
        curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &Request::checkStopped);
        curl_easy_setopt(handle, CURLOPT_XFERINFODATA, request.get());
        curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
        return request;
    }

    // Also ends a download whose owner cancels it.
    void setCancelled(std::function<bool()> cancelled) { cancelled_ = std::move(cancelled); }
    bool wasStopped() const { return stopCalled_; }

    CURL* handle() const { return easy_.get(); }
    CURLcode perform() { return curl_easy_perform(handle()); }
    Error error(CURLcode code) const {
        if (stopCalled_) return posixError(ECANCELED, "the request was stopped");
        return curlError(code, errorText_);
    }
    long status() const {
        long status = 0;
        curl_easy_getinfo(handle(), CURLINFO_RESPONSE_CODE, &status);
        return status;
    }

private:
    Request() = default;
    static int checkStopped(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        auto* request = static_cast<Request*>(user);
        request->stopCalled_ = *request->stopped_ || (request->cancelled_ && request->cancelled_());
        return request->stopCalled_ ? 1 : 0;
    }
    const std::atomic<bool>* stopped_ = nullptr;
    std::function<bool()> cancelled_;
    bool stopCalled_ = false;
    std::unique_ptr<CURL, EasyDeleter> easy_;
    std::unique_ptr<curl_slist, ListDeleter> headers_;
    char errorText_[CURL_ERROR_SIZE] = {};
};

struct MemoryBody {
    std::string bytes;
    std::uint64_t limit = kDefaultMaximumBodyBytes;
    bool tooLarge = false;
};

std::size_t appendToMemory(char* data, std::size_t size, std::size_t count, void* user) {
    auto* body = static_cast<MemoryBody*>(user);
    std::size_t length = size * count;
    if (body->bytes.size() + length > body->limit) {
        body->tooLarge = true;
        return 0;  // makes curl abort the transfer
    }
    body->bytes.append(data, length);
    return length;
}

// The process's file-creation mask, read without changing it (umask() would, for every thread).
mode_t creationMask() {
    std::ifstream status("/proc/self/status");
    for (std::string key; status >> key;) {
        if (key == "Umask:") {
            std::string octal;
            status >> octal;
            return static_cast<mode_t>(std::strtoul(octal.c_str(), nullptr, 8) & 0777);
        }
    }
    return 022;
}

// A download's file beside its destination; removed unless it was put in place.
class TemporaryFile {
public:
    static Result<std::unique_ptr<TemporaryFile>> besides(const std::filesystem::path& destination) {
        std::filesystem::path folder = destination.has_parent_path() ? destination.parent_path() : ".";
        std::string name = (folder / ("." + destination.filename().string() + ".download-XXXXXX")).string();
        int descriptor = ::mkostemp(name.data(), O_CLOEXEC);
        if (descriptor < 0) {
            return std::unexpected(posixError(errno, "cannot create a file beside " + destination.string()));
        }
        return std::unique_ptr<TemporaryFile>(new TemporaryFile(std::move(name), descriptor));
    }

    ~TemporaryFile() {
        if (descriptor_ >= 0) ::close(descriptor_);
        if (!placed_) ::unlink(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    int descriptor() const { return descriptor_; }
    const std::string& path() const { return path_; }

    // Flushed to disk first, so that a crash never leaves a short file under the real name. It
    // gets the mode of any new file of the user's (the temporary one was private to the download).
    VoidResult placeAt(const std::filesystem::path& destination) {
        ::fchmod(descriptor_, 0666 & ~creationMask());
        if (::fsync(descriptor_) != 0) return std::unexpected(posixError(errno, "cannot flush " + path_));
        int closed = ::close(descriptor_);
        descriptor_ = -1;
        if (closed != 0) return std::unexpected(posixError(errno, "cannot close " + path_));
        if (::rename(path_.c_str(), destination.c_str()) != 0) {
            return std::unexpected(posixError(errno, "cannot rename " + path_ + " to " + destination.string()));
        }
        placed_ = true;
        return {};
    }

private:
    TemporaryFile(std::string path, int descriptor) : path_(std::move(path)), descriptor_(descriptor) {}
    std::string path_;
    int descriptor_;
    bool placed_ = false;
};

struct FileBody {
    int descriptor = -1;
    const DownloadOptions* options = nullptr;
    CURL* handle = nullptr;
    std::uint64_t received = 0;
    bool tooLarge = false;
    int writeError = 0;
};

std::size_t appendToFile(char* data, std::size_t size, std::size_t count, void* user) {
    auto* body = static_cast<FileBody*>(user);
    std::size_t length = size * count;
    const auto& limit = body->options->maximumBytes;
    if (limit && body->received + length > *limit) {
        body->tooLarge = true;
        return 0;
    }
    for (std::size_t written = 0; written < length;) {
        ssize_t n = ::write(body->descriptor, data + written, length - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            body->writeError = n < 0 ? errno : EIO;
            return 0;
        }
        written += static_cast<std::size_t>(n);
    }
    body->received += length;
    if (body->options->onProgress) {
        curl_off_t declared = -1;
        curl_easy_getinfo(body->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &declared);
        body->options->onProgress(body->received,
                                  declared >= 0 ? std::optional<std::uint64_t>(declared) : std::nullopt);
    }
    return length;
}

class CurlHttpClient final : public HttpClient {
public:
    Result<HttpResponse> get(const std::string& url, double timeoutSeconds, std::uint64_t maximumBytes) override {
        MemoryBody body;
        body.limit = maximumBytes;
        auto request = Request::make(url, timeoutSeconds, &appendToMemory, &body, maximumBytes, stopped_);
        if (!request) return std::unexpected(request.error());
        CURLcode code = (*request)->perform();
        if (body.tooLarge) return std::unexpected(tooLargeError(maximumBytes));
        if (code != CURLE_OK) return std::unexpected((*request)->error(code));

        HttpResponse response;
        response.status = (*request)->status();
        if (!body.bytes.empty()) response.body = std::move(body.bytes);
        return response;
    }

    Result<long> download(const std::string& url, const std::filesystem::path& destination,
                          const DownloadOptions& options) override {
        auto file = TemporaryFile::besides(destination);
        if (!file) return std::unexpected(file.error());
        FileBody body{(*file)->descriptor(), &options};
        auto request = Request::make(url, options.timeoutSeconds, &appendToFile, &body, options.maximumBytes, stopped_);
        if (!request) return std::unexpected(request.error());
        body.handle = (*request)->handle();
        if (options.stallSeconds > 0) {
            curl_easy_setopt(body.handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
            curl_easy_setopt(body.handle, CURLOPT_LOW_SPEED_TIME, static_cast<long>(std::ceil(options.stallSeconds)));
        }
        if (options.cancelled) (*request)->setCancelled(options.cancelled);
        CURLcode code = (*request)->perform();
        if ((*request)->wasStopped()) return std::unexpected(posixError(ECANCELED, "download cancelled: " + url));
        if (body.tooLarge) return std::unexpected(tooLargeError(*options.maximumBytes));
        if (body.writeError != 0) {
            return std::unexpected(posixError(body.writeError, "cannot write " + (*file)->path()));
        }
        if (code != CURLE_OK) return std::unexpected((*request)->error(code));
        long status = (*request)->status();
        // Only a successful answer's body is what the caller asked for.
        if (status < 200 || status > 299) return status;
        if (auto placed = (*file)->placeAt(destination); !placed) return std::unexpected(placed.error());
        return status;
    }

    void stopAll() override { stopped_ = true; }

private:
    std::atomic<bool> stopped_{false};
};

}  // namespace

std::shared_ptr<HttpClient> curlHttpClient() {
    return std::make_shared<CurlHttpClient>();
}

}  // namespace taviro::platform
