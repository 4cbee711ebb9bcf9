#include "platform/linux/gtk/WebKitLoadError.h"

#include <webkit2/webkit2.h>

#include "platform/WebErrors.h"

namespace taviro::platform::gtk {

Error loadErrorFromGError(const GError* error) {
    if (error == nullptr) return Error{"WebKitNetworkError", WEBKIT_NETWORK_ERROR_FAILED, "The load failed."};
    std::string message = error->message != nullptr ? error->message : "";
    if (g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED)) {
        return Error{kUrlLoadingErrorDomain, kUrlLoadingCancelledCode, message};
    }
    if (g_error_matches(error, WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE)) {
        return Error{kWebKitErrorDomain, kFrameLoadInterruptedCode, message};
    }
    if (g_error_matches(error, WEBKIT_PLUGIN_ERROR, WEBKIT_PLUGIN_ERROR_WILL_HANDLE_LOAD)) {
        return Error{kWebKitErrorDomain, kPlugInWillHandleLoadCode, message};
    }
    const char* domain = g_quark_to_string(error->domain);
    return Error{domain != nullptr ? domain : "", error->code, message};
}

Error tlsLoadError(const std::string& uri, GTlsCertificateFlags flags) {
    return Error{g_quark_to_string(G_TLS_ERROR), G_TLS_ERROR_BAD_CERTIFICATE,
                 "The TLS certificate of " + uri + " was not accepted (flags " +
                     std::to_string(static_cast<unsigned>(flags)) + ")."};
}

Error loadTimeoutError() { return Error{"URLLoadingErrorDomain", -1001, "请求超时。"}; }

}  // namespace taviro::platform::gtk
