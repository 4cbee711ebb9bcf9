#pragma once

namespace taviro::platform {

// The web view host reports load failures in these terms: a cancelled request, a frame load
// interrupted by a policy change, and a media file the view plays itself (its first load is
// handed to the player) get these domains and codes; other failures keep the web engine's own
// domain and code.
inline constexpr const char* kUrlLoadingErrorDomain = "URLLoadingErrorDomain";
inline constexpr int kUrlLoadingCancelledCode = -999;
inline constexpr const char* kWebKitErrorDomain = "WebKitErrorDomain";
inline constexpr int kFrameLoadInterruptedCode = 102;
inline constexpr int kPlugInWillHandleLoadCode = 204;

}  // namespace taviro::platform
