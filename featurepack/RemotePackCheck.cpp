#include "featurepack/RemotePackCheck.h"

#include <algorithm>
#include <future>
#include <nlohmann/json.hpp>
#include <regex>

#include "featurepack/FeaturePackUpdater.h"
#include "lib/JsonNumbers.h"
#include "lib/Text.h"
#include "lib/UrlParts.h"
#include "platform/Files.h"
#include "platform/ReleasePlatform.h"
#include "platform/Uuid.h"

namespace taviro {
namespace {

constexpr const char* kPackDownloadPathPrefix = "/downloads/feature-packs/ui-rules/";

// Scheme, host and port, the port filled in from the scheme when the address names none.
std::optional<std::tuple<std::string, std::string, int>> originOf(std::string_view url) {
    auto parts = parseUrl(url);
    if (!parts || !parts->scheme || !parts->host) return std::nullopt;
    std::string scheme = lowercaseASCII(*parts->scheme);
    int port = parts->port.value_or(scheme == "https" ? 443 : scheme == "http" ? 80 : -1);
    return std::tuple{scheme, lowercaseASCII(*parts->host), port};
}

// "." and ".." segments, plain or percent-encoded: the client or the server resolves them, so a
// path that passed the prefix check could still name a file outside the packs' folder.
bool hasDotSegment(std::string_view path) {
    std::string decoded = lowercaseASCII(path);
    for (std::size_t at; (at = decoded.find("%2e")) != std::string::npos;) decoded.replace(at, 3, ".");
    std::size_t start = 0;
    for (std::size_t end; start <= decoded.size(); start = end + 1) {
        end = std::min(decoded.find('/', start), decoded.size());
        std::string_view segment = std::string_view(decoded).substr(start, end - start);
        if (segment == "." || segment == "..") return true;
    }
    return false;
}

}  // namespace

std::string packCheckURL(std::string_view origin, std::string_view channel, std::string_view appVersion,
                         std::int64_t activeRevision) {
    return std::string(origin) + "/api/feature-packs/check?component=" + FeaturePackUpdater::component +
           "&platform=" + percentEncodedQueryValue(platform::kReleasePlatform) +
           "&channel=" + percentEncodedQueryValue(channel) + "&app_version=" + percentEncodedQueryValue(appVersion) +
           "&engine_api=" + std::to_string(FeaturePackUpdater::engineAPI) +
           "&current_revision=" + std::to_string(activeRevision);
}

Result<std::optional<RemotePack>> readPackCheck(const Result<platform::HttpResponse>& answer,
                                                const PackOfferContext& context) {
    if (!answer) return std::unexpected(answer.error());
    if (answer->status < 200 || answer->status > 299 || !answer->body) return std::nullopt;
    auto body = nlohmann::json::parse(*answer->body, nullptr, /*allow_exceptions=*/false);
    if (!body.is_object()) return std::nullopt;
    auto available = body.find("update_available");
    if (available == body.end() || *available != true) return std::nullopt;
    auto pack = body.find("pack");
    if (pack == body.end() || !pack->is_object()) return std::nullopt;
    auto field = [&](const char* key) { return pack->contains(key) ? (*pack)[key] : nlohmann::json(); };
    const auto version = field("version"), revision = field("revision"), url = field("download_url"),
               sha256 = field("archive_sha256"), size = field("size_bytes");
    if (!version.is_string() || !revision.is_number() || !url.is_string() || !sha256.is_string() ||
        !size.is_number()) {
        return std::nullopt;
    }
    auto offered = exactInt64(revision);
    auto urlText = url.get<std::string>();
    auto from = originOf(urlText);
    auto parts = parseUrl(urlText);
    // Packs come only from the configured origin itself, and only from the packs' own folder.
    if (!offered || !from || from != originOf(context.origin) || !parts->path.starts_with(kPackDownloadPathPrefix) ||
        hasDotSegment(parts->path)) {
        return std::nullopt;
    }
    if (*offered <= context.activeRevision || context.pendingRevision == *offered) return std::nullopt;
    const auto& quarantined = context.quarantinedRevisions;
    if (std::find(quarantined.begin(), quarantined.end(), *offered) != quarantined.end()) return std::nullopt;
    static const std::regex kDigest("^[a-f0-9]{64}$");
    const auto digest = sha256.get<std::string>();
    if (!std::regex_search(digest, kDigest)) return std::nullopt;
    auto bytes = truncatedInt64(size);
    if (!bytes || *bytes < 1 || *bytes > context.maxArchiveBytes) return std::nullopt;
    return RemotePack{version.get<std::string>(), *offered, urlText, digest, *bytes};
}

void FeaturePackUpdater::connectRemote(std::shared_ptr<platform::HttpClient> http, std::string origin) {
    http_ = std::move(http);
    remoteOrigin_ = std::move(origin);
}

void FeaturePackUpdater::checkForUpdatesInBackground(std::function<bool()> coreUpdateInProgress) {
    if (!http_) return;
    if (!worker_) worker_ = std::make_unique<platform::SerialQueue>("taviro-packs");
    // The worker belongs to this object and is joined before the rest of it goes.
    worker_->post([this, coreUpdateInProgress] {
        if (coreUpdateInProgress()) return;
        auto offer = requestRemote();
        // The application's own update comes first: an answer that finds it busy is dropped, as
        // is one that arrives while the application quits.
        if (stopping_ || coreUpdateInProgress()) return;
        if (!offer) {
            log("feature pack check failed: " + offer.error().description);
        } else if (*offer) {
            downloadAndStage(**offer);
        }
    });
}

void FeaturePackUpdater::waitUntilBackgroundWorkDone() {
    if (!worker_) return;
    std::promise<void> done;
    worker_->post([&done] { done.set_value(); });
    done.get_future().wait();
}

Result<std::optional<RemotePack>> FeaturePackUpdater::requestRemote() {
    PackOfferContext context{remoteOrigin_, 0, std::nullopt, {}, maxArchiveBytes};
    {
        std::lock_guard lock(stateMutex_);
        if (state_.active) context.activeRevision = state_.active->revision;
        if (state_.pending) context.pendingRevision = state_.pending->revision;
        // A revision the user rolled back from is refused like a quarantined one.
        context.quarantinedRevisions = state_.quarantinedRevisions;
        context.quarantinedRevisions.insert(context.quarantinedRevisions.end(), state_.declinedRevisions.begin(),
                                            state_.declinedRevisions.end());
    }
    auto url = packCheckURL(remoteOrigin_, channel_, appVersion_, context.activeRevision);
    return readPackCheck(http_->get(url, kPackCheckTimeoutSeconds, kMaxPackCheckAnswerBytes), context);
}

void FeaturePackUpdater::downloadAndStage(const RemotePack& offer) {
    log("feature pack download started revision=" + std::to_string(offer.revision) + " bytes=" + std::to_string(offer.sizeBytes));
    // Kept in the store's own staging area, and gone again whatever happens.
    const auto archive = stagingRoot_ / ("download-" + platform::randomUuid() + ".zip");
    struct Remover {
        std::filesystem::path file;
        ~Remover() { std::error_code ignored; std::filesystem::remove(file, ignored); }
    } remover{archive};
    std::error_code error;
    std::filesystem::create_directories(stagingRoot_, error);
    platform::DownloadOptions options;
    // A server that sends more than it offered is cut off at once rather than trusted.
    options.maximumBytes = static_cast<std::uint64_t>(std::min(offer.sizeBytes, maxArchiveBytes));
    options.timeoutSeconds = kPackDownloadTimeoutSeconds;
    options.cancelled = [this] { return stopping_.load(); };
    auto status = http_->download(offer.downloadURL, archive, options);
    if (!status) {
        log("feature pack download failed: " + status.error().description);
        return;
    }
    if (*status < 200 || *status > 299) {
        log("feature pack download failed: invalid response");
        return;
    }
    auto staged = [&]() -> VoidResult {
        auto size = std::filesystem::file_size(archive, error);
        if (error) return std::unexpected(posixError(error.value(), "cannot read " + archive.string()));
        if (size > static_cast<std::uintmax_t>(maxArchiveBytes) || size != static_cast<std::uintmax_t>(offer.sizeBytes)) {
            return std::unexpected(this->error("功能包压缩文件大小不符"));
        }
        auto digest = sha256(archive);
        if (!digest) return std::unexpected(digest.error());
        if (*digest != offer.archiveSHA256) return std::unexpected(this->error("功能包压缩文件哈希不符"));
        return stageDownloaded(archive, offer);
    }();
    if (!staged) log("feature pack staging failed revision=" + std::to_string(offer.revision) + ": " + staged.error().description);
}

}  // namespace taviro
