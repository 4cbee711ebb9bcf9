#include "platform/linux/gtk/WebViewDownload.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "platform/Error.h"

namespace taviro::platform::gtk {
namespace {

constexpr const char* kDataKey = "taviro-download";

// Makes the partial file's name beside `destination`, unique, so no other file is ever written.
Result<std::string> reservePartialFile(const std::filesystem::path& destination) {
    std::filesystem::path folder = destination.has_parent_path() ? destination.parent_path() : ".";
    std::string name = (folder / ("." + destination.filename().string() + ".download-XXXXXX")).string();
    int descriptor = ::mkostemp(name.data(), O_CLOEXEC);
    if (descriptor < 0) return std::unexpected(posixError(errno, "cannot create a file beside " + destination.string()));
    ::close(descriptor);
    return name;
}

// Flushed to disk before the rename, so that a crash never leaves a short file under the real name.
VoidResult putInPlace(const std::string& partial, const std::filesystem::path& destination) {
    int descriptor = ::open(partial.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) return std::unexpected(posixError(errno, "cannot open " + partial));
    int flushed = ::fsync(descriptor) == 0 ? 0 : errno;
    ::close(descriptor);
    if (flushed != 0) return std::unexpected(posixError(flushed, "cannot flush " + partial));
    if (::rename(partial.c_str(), destination.c_str()) != 0) {
        return std::unexpected(posixError(errno, "cannot rename " + partial + " to " + destination.string()));
    }
    return {};
}

}  // namespace

void WebViewDownload::follow(WebKitDownload* download, std::weak_ptr<WebViewDelegate> owner) {
    auto* self = new WebViewDownload(download, std::move(owner));
    g_object_set_data_full(G_OBJECT(download), kDataKey, self, [](gpointer data) { delete static_cast<WebViewDownload*>(data); });
}

WebViewDownload::WebViewDownload(WebKitDownload* download, std::weak_ptr<WebViewDelegate> owner)
    : download_(download), owner_(std::move(owner)) {
    g_signal_connect(download, "decide-destination", G_CALLBACK(onDecideDestination), this);
    g_signal_connect(download, "failed", G_CALLBACK(onFailed), this);
    g_signal_connect(download, "finished", G_CALLBACK(onFinished), this);
}

WebViewDownload::~WebViewDownload() {
    if (!partial_.empty()) ::unlink(partial_.c_str());
}

gboolean WebViewDownload::onDecideDestination(WebKitDownload* download, const gchar* suggestedName, gpointer data) {
    auto* self = static_cast<WebViewDownload*>(data);
    auto owner = self->owner_.lock();
    if (!owner) {
        self->cancelledByOwner_ = true;
        webkit_download_cancel(download);
        return TRUE;
    }
    // WebKit holds the transfer until a destination is set or the download is cancelled; the
    // answer keeps the download alive until it comes.
    g_object_ref(download);
    std::shared_ptr<WebKitDownload> held(download, [](WebKitDownload* d) { g_object_unref(d); });
    owner->chooseDownloadDestination(suggestedName != nullptr ? suggestedName : "",
                                     [held](std::optional<std::filesystem::path> destination) {
                                         auto* self = static_cast<WebViewDownload*>(g_object_get_data(G_OBJECT(held.get()), kDataKey));
                                         if (self != nullptr) self->destinationChosen(destination);
                                     });
    return TRUE;
}

void WebViewDownload::destinationChosen(const std::optional<std::filesystem::path>& destination) {
    if (failed_ || destination_ || cancelledByOwner_) return;
    if (!destination) {
        cancelledByOwner_ = true;
        webkit_download_cancel(download_);
        return;
    }
    destination_ = destination;
    auto partial = reservePartialFile(*destination);
    if (!partial) {
        report(partial.error());
        cancelledByOwner_ = true;
        webkit_download_cancel(download_);
        return;
    }
    partial_ = *partial;
    // The reserved name is WebKit's to write over.
    webkit_download_set_allow_overwrite(download_, TRUE);
    webkit_download_set_destination(download_, partial_.c_str());
}

void WebViewDownload::onFailed(WebKitDownload*, GError* error, gpointer data) {
    auto* self = static_cast<WebViewDownload*>(data);
    self->failed_ = true;
    if (!self->partial_.empty()) ::unlink(self->partial_.c_str()), self->partial_.clear();
    if (self->cancelledByOwner_ || !self->destination_) return;
    std::string message = error != nullptr && error->message != nullptr ? error->message : "the download failed";
    const char* domain = error != nullptr ? g_quark_to_string(error->domain) : "WebKitDownloadError";
    self->report(Error{domain != nullptr ? domain : "", error != nullptr ? error->code : 0, message});
}

void WebViewDownload::onFinished(WebKitDownload*, gpointer data) {
    auto* self = static_cast<WebViewDownload*>(data);
    // After a failure WebKit reports a finish too.
    if (self->failed_ || !self->destination_ || self->partial_.empty()) return;
    auto placed = putInPlace(self->partial_, *self->destination_);
    if (!placed) ::unlink(self->partial_.c_str());
    self->partial_.clear();
    self->report(placed ? std::nullopt : std::optional<Error>(placed.error()));
}

void WebViewDownload::report(const std::optional<Error>& failure) {
    if (auto owner = owner_.lock()) owner->downloadEnded(*destination_, failure);
}

}  // namespace taviro::platform::gtk
