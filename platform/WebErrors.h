#pragma once

namespace taviro::platform {

// The web view host reports load failures in these terms: a cancelled request, and a frame
// load interrupted by a policy change, get these domains and codes; other failures keep the
// web engine's own domain and code.
inline constexpr const char* kUrlLoadingErrorDomain = "URLLoadingErrorDomain";
inline constexpr int kUrlLoadingCancelledCode = -999;
inline constexpr const char* kWebKitErrorDomain = "WebKitErrorDomain";
inline constexpr int kFrameLoadInterruptedCode = 102;

}  // namespace taviro::platform
