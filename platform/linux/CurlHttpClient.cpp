#include "platform/HttpClient.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <curl/curl.h>
#include <memory>
#include <string>

namespace taviro::platform {
namespace {

// Nothing we fetch comes near this; a larger body means a misbehaving server.
constexpr std::size_t kMaximumBodySize = 16 * 1024 * 1024;

// Loopback traffic goes to the local service and must never be handed to a proxy, whatever
// the environment says about other hosts.
constexpr const char* kLoopback = "localhost,127.0.0.0/8,::1";

void initialiseCurlOnce() {
    // curl_global_init is not thread-safe; a function-local static runs it exactly once.
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

struct Download {
    std::string body;
    bool tooLarge = false;
};

std::size_t appendBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* download = static_cast<Download*>(user);
    std::size_t length = size * count;
    if (download->body.size() + length > kMaximumBodySize) {
        download->tooLarge = true;
        return 0;  // makes curl abort the transfer
    }
    download->body.append(data, length);
    return length;
}

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

Error curlError(CURLcode code, const char* detail) {
    std::string description = curl_easy_strerror(code);
    if (detail != nullptr && *detail != '\0') description += std::string(": ") + detail;
    return Error{"CURL", static_cast<int>(code), description};
}

class CurlHttpClient final : public HttpClient {
public:
    Result<HttpResponse> get(const std::string& url, double timeoutSeconds) override {
        initialiseCurlOnce();
        std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
        if (!easy) return std::unexpected(curlError(CURLE_FAILED_INIT, nullptr));

        curl_slist* headers = nullptr;
        headers = curl_slist_append(headers, "Cache-Control: no-cache");
        headers = curl_slist_append(headers, "Pragma: no-cache");
        std::unique_ptr<curl_slist, ListDeleter> headerList(headers);

        char errorText[CURL_ERROR_SIZE] = {};
        Download download;
        std::string noProxy = noProxyList();
        CURL* handle = easy.get();
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
        curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
        // Signals cannot be used for timeouts when requests run on many threads at once.
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, timeoutMilliseconds(timeoutSeconds));
        curl_easy_setopt(handle, CURLOPT_NOPROXY, noProxy.c_str());
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headerList.get());
        curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText);
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &appendBody);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &download);
        // Refuses a declared oversize body before any of it is read.
        curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaximumBodySize));
        // The library itself ignores the variables the curl tool reads for its trust store.
        const char* caBundle = nonEmptyEnvironment("CURL_CA_BUNDLE");
        if (caBundle == nullptr) caBundle = nonEmptyEnvironment("SSL_CERT_FILE");
        if (caBundle != nullptr) curl_easy_setopt(handle, CURLOPT_CAINFO, caBundle);

        CURLcode code = curl_easy_perform(handle);
        if (download.tooLarge) {
            return std::unexpected(
                Error{"CURL", CURLE_FILESIZE_EXCEEDED,
                      std::string(curl_easy_strerror(CURLE_FILESIZE_EXCEEDED)) + ": the body exceeds 16 MiB"});
        }
        if (code != CURLE_OK) return std::unexpected(curlError(code, errorText));

        HttpResponse response;
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &response.status);
        if (!download.body.empty()) response.body = std::move(download.body);
        return response;
    }
};

}  // namespace

std::shared_ptr<HttpClient> curlHttpClient() {
    initialiseCurlOnce();
    return std::make_shared<CurlHttpClient>();
}

}  // namespace taviro::platform
